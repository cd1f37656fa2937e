# Text, number and date helpers and the response-head parser.
list(APPEND WEXA_PORTABLE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/TextHelpers.cpp
     ${CMAKE_CURRENT_LIST_DIR}/ResponseHeader.cpp)
list(APPEND WEXA_INCLUDE_DIRS ${CMAKE_CURRENT_LIST_DIR})
