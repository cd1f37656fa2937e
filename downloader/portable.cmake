# Portable units of the downloader (no Win32): byte ranges, URL and name rules, the list codec, the window's arithmetic.
set(WEXA_DOWNLOADER_PORTABLE_SOURCES
  ${CMAKE_SOURCE_DIR}/downloader/ByteRangeList.cpp
  ${CMAKE_SOURCE_DIR}/downloader/DownloadUrl.cpp
  ${CMAKE_SOURCE_DIR}/downloader/DownloadsListCodec.cpp
  ${CMAKE_SOURCE_DIR}/downloader/DownloadViewRules.cpp
)
