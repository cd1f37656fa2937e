# The completion-port engine, its object base, window routing and the outbound request plumbing.
list(APPEND WEXA_SHARED_WIN_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/ServerWithReg.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ServerObject.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WndProcDispatcher1.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OutboundObject.cpp)
