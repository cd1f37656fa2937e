# The update check, the installer download and its signature check. UpdateKey.cpp, the
# built-in public key, is compiled per program (share/win.cmake).
list(APPEND WEXA_SHARE_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/UpdateRequester.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UpdateDownloader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UpdateSignature.cpp)
