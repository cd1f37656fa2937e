# The address answer, the network status rules and the port status texts.
list(APPEND WEXA_PORTABLE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/AddressResponse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NetStatusRules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PortStatusTexts.cpp)
list(APPEND WEXA_INCLUDE_DIRS ${CMAKE_CURRENT_LIST_DIR})
