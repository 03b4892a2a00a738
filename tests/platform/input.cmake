# Unit tests of the input backends' tables and logic; the parts that need an X server are
# tested in tests/xserver.
add_executable(test_input
  ${CMAKE_CURRENT_LIST_DIR}/VirtualKeysTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KeyPacerTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KeyLayoutTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HotKeyBookTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UinputKeyOutputTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EvdevScanButtonTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/InputDevicesTest.cpp
)
target_include_directories(test_input PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(test_input PRIVATE pelmor_platform_input GTest::gtest_main)
gtest_discover_tests(test_input TEST_PREFIX "platform.input.")
