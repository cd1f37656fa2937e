# Portable units of the share program (no Win32).
set(WEXA_SHARE_PORTABLE_SOURCES
  ${CMAKE_SOURCE_DIR}/share/HSMainSettingsRules.cpp ${CMAKE_SOURCE_DIR}/share/ShareListCodec.cpp ${CMAKE_SOURCE_DIR}/share/FileHandlerPaths.cpp ${CMAKE_SOURCE_DIR}/share/IndexPage.cpp
  ${CMAKE_SOURCE_DIR}/share/HttpRequest.cpp
  ${CMAKE_SOURCE_DIR}/share/HTTPConnectionRanges.cpp ${CMAKE_SOURCE_DIR}/share/UploadParts.cpp
  ${CMAKE_SOURCE_DIR}/share/HSMainStatusRules.cpp ${CMAKE_SOURCE_DIR}/share/NetStatusRules.cpp
  ${CMAKE_SOURCE_DIR}/share/ServerUrls.cpp ${CMAKE_SOURCE_DIR}/share/FileSelection.cpp
  ${CMAKE_SOURCE_DIR}/share/AddressResponse.cpp ${CMAKE_SOURCE_DIR}/share/UpdateRules.cpp
  ${CMAKE_SOURCE_DIR}/share/PortStatusTexts.cpp ${CMAKE_SOURCE_DIR}/share/BuddyBlocks.cpp
)
include(${CMAKE_CURRENT_LIST_DIR}/BuiltinContent.cmake)
