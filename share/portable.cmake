# Portable units of the share program, folder by folder.
include(${CMAKE_CURRENT_LIST_DIR}/server/portable.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/netsetup/portable.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/shell/portable.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/update/portable.cmake)
