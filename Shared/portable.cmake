# Portable units of the framework (no Win32) and the include folders of Shared/.
list(APPEND WEXA_INCLUDE_DIRS ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_LIST_DIR}/engine
     ${CMAKE_CURRENT_LIST_DIR}/netsetup)
include(${CMAKE_CURRENT_LIST_DIR}/text/portable.cmake)
