# Portable units of the shared framework (no Win32).
set(WEXA_SHARED_PORTABLE_SOURCES
  ${CMAKE_SOURCE_DIR}/Shared/TextHelpers.cpp
  ${CMAKE_SOURCE_DIR}/Shared/ResponseHeader.cpp
)
