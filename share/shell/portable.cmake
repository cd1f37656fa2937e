# The shell's settings, status and selection rules.
list(APPEND WEXA_PORTABLE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/HSMainSettingsRules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HSMainStatusRules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FileSelection.cpp)
list(APPEND WEXA_INCLUDE_DIRS ${CMAKE_CURRENT_LIST_DIR})
