# Win32 units of the downloader's engine. wexa_downloader_core holds everything the window
# will use, so that tests and the headless host link the same code the program runs.
set(WEXA_DL_RECEIVE_BUFFER "" CACHE STRING "Override the transfer connections' receive buffer, in bytes (benchmarks only)")
include(${CMAKE_CURRENT_LIST_DIR}/engine/win.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/window/win.cmake)
add_library(wexa_downloader_core STATIC ${WEXA_DOWNLOADER_CORE_SOURCES})
target_compile_options(wexa_downloader_core PRIVATE ${WEXA_WARNINGS})
if(WEXA_DL_RECEIVE_BUFFER)
  target_compile_definitions(wexa_downloader_core PUBLIC WEXA_DL_RECEIVE_BUFFER=${WEXA_DL_RECEIVE_BUFFER})
endif()
# secur32 and crypt32: TLS through Schannel and the certificate check.
target_link_libraries(wexa_downloader_core PUBLIC wexa_shared advapi32 shell32 secur32 crypt32)

# The download engine without its window, for end-to-end tests, benchmarks and scripts.
add_executable(WexaDownloadHost ${CMAKE_SOURCE_DIR}/tools/DownloadHost.cpp)
target_compile_options(WexaDownloadHost PRIVATE ${WEXA_WARNINGS})
target_link_libraries(WexaDownloadHost PRIVATE wexa_downloader_core)
target_link_options(WexaDownloadHost PRIVATE -municode)

# The downloader program.
add_executable(WexaDownload WIN32 ${WEXA_DOWNLOADER_APP_SOURCES}
  ${CMAKE_SOURCE_DIR}/resources/download.rc)
target_compile_options(WexaDownload PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${WEXA_WARNINGS}>)
target_include_directories(WexaDownload PRIVATE ${CMAKE_SOURCE_DIR}/resources)
target_link_libraries(WexaDownload PRIVATE wexa_downloader_core comctl32 comdlg32 shell32 ole32 gdi32)
target_link_options(WexaDownload PRIVATE -municode)
# The .rc names its icon, picture and manifest relative to resources/.
set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/download.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/resources/DownloadRes.h;${CMAKE_SOURCE_DIR}/resources/WexaDownload.ico;${CMAKE_SOURCE_DIR}/resources/download_about.bmp;${CMAKE_SOURCE_DIR}/resources/WexaShare.manifest")
