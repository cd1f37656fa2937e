# The share server's parsers, page builders and codecs, and its built-in web content.
list(APPEND WEXA_PORTABLE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/HttpRequest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HTTPConnectionRanges.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UploadParts.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FileHandlerPaths.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ShareListCodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/IndexPage.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ServerUrls.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BuddyBlocks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ZipStream.cpp)
list(APPEND WEXA_INCLUDE_DIRS ${CMAKE_CURRENT_LIST_DIR})
include(${CMAKE_CURRENT_LIST_DIR}/BuiltinContent.cmake)
