# The port-mapping and firewall controllers (used by the share program only) and their thread base.
list(APPEND WEXA_SHARED_WIN_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/ThreadController.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UPnPThread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FWThread.cpp)
