# The update rules: version answers and the installer's receiving checks.
list(APPEND WEXA_PORTABLE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/UpdateRules.cpp)
list(APPEND WEXA_INCLUDE_DIRS ${CMAKE_CURRENT_LIST_DIR})
