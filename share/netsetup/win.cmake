# The requests to the web service (address, connectivity test) and the network status flags.
list(APPEND WEXA_SHARE_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/ServiceRequest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AddrRequester.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TestRequester.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NetStatus.cpp)
