# Win32 units of the shared framework: engine, log, window routing,
# the outbound request plumbing, and the share program's UPnP and firewall controllers.
set(WEXA_SHARED_WIN_SOURCES
  ${CMAKE_SOURCE_DIR}/Shared/Log.cpp
  ${CMAKE_SOURCE_DIR}/Shared/ServerWithReg.cpp
  ${CMAKE_SOURCE_DIR}/Shared/ServerObject.cpp
  ${CMAKE_SOURCE_DIR}/Shared/WndProcDispatcher1.cpp
  ${CMAKE_SOURCE_DIR}/Shared/WindowPlacement.cpp
  ${CMAKE_SOURCE_DIR}/Shared/OutboundObject.cpp
  ${CMAKE_SOURCE_DIR}/Shared/ThreadController.cpp
  ${CMAKE_SOURCE_DIR}/Shared/UPnPController.cpp
  ${CMAKE_SOURCE_DIR}/Shared/FWController.cpp
)
