# The sound service over libcanberra and the default sound files beside the programs.
add_executable(test_sound
  CanberraSoundTest.cpp
  DefaultSoundFilesTest.cpp
)
target_include_directories(test_sound PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(test_sound PRIVATE pelmor_platform_sound pelmor_device GTest::gtest_main)
target_compile_definitions(test_sound PRIVATE
  # The folder of the programs, which holds the "Sound" folder the build fills.
  PELMOR_APP_DIR="${CMAKE_BINARY_DIR}"
  # The sounds played by the service's tests are taken from the source tree.
  PELMOR_SOUND_SOURCE_DIR="${CMAKE_SOURCE_DIR}/resources/sounds")

# The prefix lets `ctest -R sound` pick these tests. A crash on a playback thread can leave
# the sanitizer's report waiting for a lock; the time-out turns that into a failure.
gtest_discover_tests(test_sound TEST_PREFIX "platform.sound." PROPERTIES TIMEOUT 60)
