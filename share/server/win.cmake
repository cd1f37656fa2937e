# The share server's listener, connections, file registry and transfer buffers.
list(APPEND WEXA_SHARE_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/HTTPListener.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HTTPConnection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HTTPConnectionUpload.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HTTPConnectionZip.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FolderZip.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ConnectionWatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TransferBuffers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FileHandler.cpp)
