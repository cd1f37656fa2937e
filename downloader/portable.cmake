# Portable units of the downloader, folder by folder.
include(${CMAKE_CURRENT_LIST_DIR}/engine/portable.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/window/portable.cmake)
