add_executable(calv_image_tests ${CMAKE_CURRENT_LIST_DIR}/ImageBufferTest.cpp)
target_link_libraries(calv_image_tests PRIVATE calv_image GTest::gtest_main)
gtest_discover_tests(calv_image_tests DISCOVERY_TIMEOUT 60)
