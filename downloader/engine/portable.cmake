# Byte ranges, URL and name rules, the response-head fields the downloader checks, the saved
# list's codec.
list(APPEND WEXA_PORTABLE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/ByteRangeList.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DownloadUrl.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HeadFields.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DownloadsListCodec.cpp)
list(APPEND WEXA_INCLUDE_DIRS ${CMAKE_CURRENT_LIST_DIR})
