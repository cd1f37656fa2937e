# The download entry and the engine objects it drives, and the saved list.
list(APPEND WEXA_DOWNLOADER_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/TCPObject.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AddressResolver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TlsChannel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HeadRequester.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FileDownloader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DownloadEntry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DownloadsList.cpp)
