# Global shortcuts through X11 key grabs (xcb).
pkg_check_modules(VOXLET_XCB_SHORTCUTS REQUIRED IMPORTED_TARGET xcb xcb-xkb xcb-keysyms)
# Qt keys and keysyms; keysyms are also the key names of the desktop portal's triggers.
add_library(voxlet_keysyms STATIC ${CMAKE_CURRENT_LIST_DIR}/X11KeyMapping.cpp ${CMAKE_CURRENT_LIST_DIR}/X11KeyMapping.h)
target_link_libraries(voxlet_keysyms PUBLIC voxlet_base PRIVATE voxlet_warnings)
add_library(voxlet_x11_shortcuts STATIC
  ${CMAKE_CURRENT_LIST_DIR}/X11ShortcutBackend.cpp ${CMAKE_CURRENT_LIST_DIR}/X11ShortcutBackend.h
)
target_link_libraries(voxlet_x11_shortcuts PUBLIC voxlet_shortcuts voxlet_keysyms PRIVATE PkgConfig::VOXLET_XCB_SHORTCUTS voxlet_warnings)
target_link_libraries(voxlet_core INTERFACE voxlet_x11_shortcuts)
