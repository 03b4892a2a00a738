# The input backends: hot keys (X11 key grabs, an evdev scan button) and key output (XTest,
# uinput with keyboard layouts, paced by a timer), with the key tables they share. Included
# from platform/CMakeLists.txt.
pkg_check_modules(EVDEV REQUIRED IMPORTED_TARGET libevdev)
# Keyboard layouts for the uinput output, compiled from xkb-data as desktops compile theirs.
pkg_check_modules(XKBCOMMON REQUIRED IMPORTED_TARGET xkbcommon)

add_library(pelmor_platform_input STATIC
  ${CMAKE_CURRENT_LIST_DIR}/VirtualKeys.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KeyPacer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KeyLayout.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HotKeyBook.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11HotKeys.cpp
  ${CMAKE_CURRENT_LIST_DIR}/XTestKeyOutput.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UinputKeyOutput.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EvdevScanButton.cpp
)
target_include_directories(pelmor_platform_input PUBLIC ${PROJECT_SOURCE_DIR})
# pelmor_platform brings the owned file descriptor (UniqueFd).
target_link_libraries(pelmor_platform_input
  PUBLIC pelmor_platform PkgConfig::EVDEV
  PRIVATE X11::X11 X11::Xtst X11::Xi PkgConfig::XKBCOMMON)
