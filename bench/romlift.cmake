# Upload pace and processor load: romlift's window sending a file to bootsim
# over a pseudo-terminal paced at a baud rate, and waiting for its announcement.
if(TARGET bootsim AND TARGET romlift_core)
  add_executable(romlift_pace_bench ${CMAKE_CURRENT_LIST_DIR}/romlift/RomliftPaceBench.cpp)
  target_link_libraries(romlift_pace_bench PRIVATE romlift_core srecord_tools)
  target_compile_definitions(romlift_pace_bench PRIVATE BOOTSIM_PATH="$<TARGET_FILE:bootsim>")
  add_dependencies(romlift_pace_bench bootsim)
endif()
