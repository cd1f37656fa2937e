# Win32 units of the share program. wexa_share_core holds everything but WinMain so that
# tests and the headless test host link the same code the program runs.
# Each folder lists its units; this file makes the libraries and programs of them.
include(${CMAKE_CURRENT_LIST_DIR}/server/win.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/netsetup/win.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/update/win.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/shell/win.cmake)
add_library(wexa_share_core STATIC ${WEXA_SHARE_CORE_SOURCES})
target_compile_options(wexa_share_core PRIVATE ${WEXA_WARNINGS})
target_include_directories(wexa_share_core PUBLIC ${CMAKE_SOURCE_DIR}/resources)
target_link_libraries(wexa_share_core PUBLIC wexa_shared advapi32 gdi32 bcrypt)

# The share server without its window, for end-to-end tests and benchmarks: settings and
# shares from the registry, one listener on SharePort, commands on standard input.
add_executable(WexaShareHost ${CMAKE_SOURCE_DIR}/tools/ShareHost.cpp)
target_compile_options(WexaShareHost PRIVATE ${WEXA_WARNINGS})
target_link_libraries(WexaShareHost PRIVATE wexa_share_core)
target_link_options(WexaShareHost PRIVATE -municode)

# The share program: the shell's window, tabs and dialogs.
add_library(wexa_share_app OBJECT ${WEXA_SHARE_APP_SOURCES})
target_compile_options(wexa_share_app PRIVATE ${WEXA_WARNINGS})
target_link_libraries(wexa_share_app PUBLIC wexa_share_core)
# The .rc names its icon, cursors, bitmaps and manifest relative to resources/.
set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/share.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/resources/ShareRes.h;${CMAKE_SOURCE_DIR}/resources/ShareTabs.rc;${CMAKE_SOURCE_DIR}/resources/GettingStarted.rtf;${CMAKE_SOURCE_DIR}/resources/WexaShare.manifest;${CMAKE_SOURCE_DIR}/resources/WexaShare.ico;${CMAKE_SOURCE_DIR}/resources/program.bmp")

# One share program per update key: the same objects, a key unit of its own.
function(wexa_share_program name key_hex)
  wexa_key_bytes("${key_hex}" key_bytes)
  add_executable(${name} WIN32 $<TARGET_OBJECTS:wexa_share_app> ${CMAKE_CURRENT_LIST_DIR}/update/UpdateKey.cpp
    ${CMAKE_SOURCE_DIR}/resources/share.rc)
  target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${WEXA_WARNINGS}>)
  target_compile_definitions(${name} PRIVATE "WEXA_UPDATE_PUBLIC_KEY_BYTES=${key_bytes}")
  target_link_libraries(${name} PRIVATE wexa_share_core comctl32 comdlg32 shell32 ole32 gdi32)
  target_link_options(${name} PRIVATE -municode)
endfunction()

wexa_share_program(WexaShare "${WEXA_UPDATE_PUBLIC_KEY}")

if(WEXA_TESTS)
  # The update tests sign with a throw-away key made once per build tree, never the release key.
  set(WEXA_TEST_UPDATE_KEY ${CMAKE_BINARY_DIR}/update-test-key/test-key.pem)
  if(NOT EXISTS ${WEXA_TEST_UPDATE_KEY})
    execute_process(COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/sign-release.py keygen ${WEXA_TEST_UPDATE_KEY}
                    OUTPUT_QUIET RESULT_VARIABLE key_result)
    if(NOT key_result EQUAL 0)
      message(FATAL_ERROR "could not make the update test key (needs python3 and openssl)")
    endif()
  endif()
  execute_process(COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/sign-release.py public ${WEXA_TEST_UPDATE_KEY}
                  OUTPUT_VARIABLE test_key_hex OUTPUT_STRIP_TRAILING_WHITESPACE)
  wexa_share_program(WexaShareTestKey "${test_key_hex}")
endif()

# Drives the share program's windows from outside for the end-to-end tests.
add_executable(GuiDriver ${CMAKE_SOURCE_DIR}/tools/GuiDriver.cpp)
target_compile_options(GuiDriver PRIVATE ${WEXA_WARNINGS})
target_link_libraries(GuiDriver PRIVATE comctl32 gdi32)
target_link_options(GuiDriver PRIVATE -municode)
