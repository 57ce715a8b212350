# The programming sequence end to end against calvsim over pseudo-terminals;
# its fault matrix runs under the label "faults".
add_executable(calv_program_module_test ${CMAKE_CURRENT_LIST_DIR}/ProgramModuleTest.cpp)
target_link_libraries(calv_program_module_test PRIVATE calv_programming sim_process testbench)
target_compile_definitions(calv_program_module_test PRIVATE
  LDRTOOL_PATH="$<TARGET_FILE:ldrtool>"
  EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples/calvboot")
add_dependencies(calv_program_module_test calvsim ldrtool)
gtest_discover_tests(calv_program_module_test TEST_FILTER "-CalvbootFaults.*" DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
gtest_discover_tests(calv_program_module_test TEST_FILTER "CalvbootFaults.*" DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120 LABELS faults)
