# Upload pace: romlift's window sending a file to bootsim over a
# pseudo-terminal, with the line unpaced and paced at 115200 and 9600 baud.
add_executable(romlift_pace_bench
  romlift/RomliftPaceBench.cpp
  ${PROJECT_SOURCE_DIR}/tests/romlift/BootSimProcess.cpp)
target_include_directories(romlift_pace_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/romlift)
target_link_libraries(romlift_pace_bench PRIVATE romlift_core srecord_tools)
target_compile_definitions(romlift_pace_bench PRIVATE BOOTSIM_PATH="$<TARGET_FILE:bootsim>")
add_dependencies(romlift_pace_bench bootsim)
