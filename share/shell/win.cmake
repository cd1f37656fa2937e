# The settings record and its registry code go into the core library (the headless host loads
# them too); the window, its tabs and their dialogs make up the program.
list(APPEND WEXA_SHARE_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/HSMainSettings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/StatusImages.cpp)
list(APPEND WEXA_SHARE_APP_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/HSMain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HSMainWindow.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HSMainStatus.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HSMainDialogs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NetStatusDialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TabWindow.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TabControls.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ShareTab.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ShareTabConnections.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ShareTabImages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NetworkTab.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NetworkTabDialogs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OptionsTab.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OptionsTabUpdate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HelpTab.cpp)
