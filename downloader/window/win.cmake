# The downloader's window program: start-up, main window, dialogs and the downloads view.
list(APPEND WEXA_DOWNLOADER_APP_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/HttpDL.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HttpDLWindow.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DownloadsHandler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DownloadsHandlerActions.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DownloaderDialogs.cpp)
