# The downloads view's arithmetic and texts.
list(APPEND WEXA_PORTABLE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/DownloadViewRules.cpp)
list(APPEND WEXA_INCLUDE_DIRS ${CMAKE_CURRENT_LIST_DIR})
