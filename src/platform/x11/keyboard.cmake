# Keyboard output and the workspace on X11: XTEST typing, the active window, activation.
pkg_check_modules(VOXLET_X11_KEYBOARD REQUIRED IMPORTED_TARGET xcb xcb-xtest xcb-xkb xkbcommon xkbcommon-x11)
add_library(voxlet_x11_keyboard STATIC
  ${CMAKE_CURRENT_LIST_DIR}/XcbConnection.cpp ${CMAKE_CURRENT_LIST_DIR}/XcbConnection.h
  ${CMAKE_CURRENT_LIST_DIR}/XkbLayoutSnapshot.cpp ${CMAKE_CURRENT_LIST_DIR}/XkbLayoutSnapshot.h
  ${CMAKE_CURRENT_LIST_DIR}/XTestKeyboardSink.cpp ${CMAKE_CURRENT_LIST_DIR}/XTestKeyboardSink.h
  ${CMAKE_CURRENT_LIST_DIR}/X11Workspace.cpp ${CMAKE_CURRENT_LIST_DIR}/X11Workspace.h
)
target_link_libraries(voxlet_x11_keyboard PUBLIC voxlet_base PkgConfig::VOXLET_X11_KEYBOARD PRIVATE voxlet_warnings)
target_link_libraries(voxlet_core INTERFACE voxlet_x11_keyboard)
