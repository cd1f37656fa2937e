# Win32 units of the framework: the log and window placement here, the engine and the
# network-setup controllers in their folders. One library, wexa_shared, for both programs.
set(WEXA_SHARED_WIN_SOURCES ${CMAKE_CURRENT_LIST_DIR}/Log.cpp ${CMAKE_CURRENT_LIST_DIR}/WindowPlacement.cpp)
include(${CMAKE_CURRENT_LIST_DIR}/engine/win.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/netsetup/win.cmake)
add_library(wexa_shared STATIC ${WEXA_SHARED_WIN_SOURCES})
target_compile_options(wexa_shared PRIVATE ${WEXA_WARNINGS})
target_link_libraries(wexa_shared PUBLIC wexa_portable ws2_32 mswsock ole32 oleaut32)
