# Upload pace: romlift's window sending a file to bootsim over a
# pseudo-terminal, with the line unpaced and paced at 115200 and 9600 baud.
add_executable(romlift_pace_bench romlift/RomliftPaceBench.cpp)
target_link_libraries(romlift_pace_bench PRIVATE romlift_core srecord_tools bootsim_process)
