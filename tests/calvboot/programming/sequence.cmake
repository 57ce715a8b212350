# Firmware file reading and check.
add_executable(calv_firmware_file_test ${CMAKE_CURRENT_LIST_DIR}/FirmwareFileTest.cpp)
target_link_libraries(calv_firmware_file_test PRIVATE calv_programming testbench)
gtest_discover_tests(calv_firmware_file_test DISCOVERY_TIMEOUT 60)

# The programming sequence end to end against the simulated amplifier.
if(TARGET calvsim)
  include(${CMAKE_CURRENT_LIST_DIR}/sequence-sim.cmake OPTIONAL)
endif()
