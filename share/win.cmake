# Win32 units of the share program. wexa_share_core holds everything but WinMain so that
# tests and the headless test host link the same code the program runs.
add_library(wexa_share_core STATIC
  ${CMAKE_SOURCE_DIR}/share/HSMainSettings.cpp
  ${CMAKE_SOURCE_DIR}/share/FileHandler.cpp
  ${CMAKE_SOURCE_DIR}/share/HTTPConnection.cpp
  ${CMAKE_SOURCE_DIR}/share/HTTPListener.cpp
  ${CMAKE_SOURCE_DIR}/share/NetStatus.cpp
)
target_compile_options(wexa_share_core PRIVATE ${WEXA_WARNINGS})
target_include_directories(wexa_share_core PUBLIC ${CMAKE_SOURCE_DIR}/share ${CMAKE_SOURCE_DIR}/resources)
target_link_libraries(wexa_share_core PUBLIC wexa_shared advapi32)

# The share server without its window, for end-to-end tests and benchmarks: settings and
# shares from the registry, one listener on SharePort, commands on standard input.
add_executable(WexaShareHost ${CMAKE_SOURCE_DIR}/tools/ShareHost.cpp)
target_compile_options(WexaShareHost PRIVATE ${WEXA_WARNINGS})
target_link_libraries(WexaShareHost PRIVATE wexa_share_core)
target_link_options(WexaShareHost PRIVATE -municode)
