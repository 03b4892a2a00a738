# Sound output over libcanberra. Kept apart from pelmor_platform so that only the programs
# that play sounds link the audio libraries.
pkg_check_modules(CANBERRA REQUIRED IMPORTED_TARGET libcanberra)

add_library(pelmor_platform_sound STATIC linux/CanberraSound.cpp)
target_include_directories(pelmor_platform_sound PUBLIC ${PROJECT_SOURCE_DIR})
# dlopen and dlsym reach the ALSA library that libcanberra's driver loads.
target_link_libraries(pelmor_platform_sound PUBLIC PkgConfig::CANBERRA PRIVATE ${CMAKE_DL_LIBS})
