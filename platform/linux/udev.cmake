# Serial devices coming and going, from udev. Kept apart so that only the program links
# libudev.
pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)

add_library(pelmor_platform_udev STATIC linux/UdevDeviceWatch.cpp)
target_include_directories(pelmor_platform_udev PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(pelmor_platform_udev PUBLIC PkgConfig::UDEV)
