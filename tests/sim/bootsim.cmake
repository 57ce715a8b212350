# bootsim: S-record parsing, the boot loader's behaviour on a given clock, and
# the program itself on its pseudo-terminal.
add_executable(bootsim_tests BootSimTest.cpp)
target_link_libraries(bootsim_tests PRIVATE srecord_tools GTest::gtest_main)
target_compile_definitions(bootsim_tests PRIVATE BOOTSIM_PATH="$<TARGET_FILE:bootsim>")
add_dependencies(bootsim_tests bootsim)
gtest_discover_tests(bootsim_tests DISCOVERY_TIMEOUT 60)
