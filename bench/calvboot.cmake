# Programming time of the two-block sample against calvsim pacing the line at
# a given baud rate, beside the time the frames alone need on the wire.
if(TARGET calvsim AND TARGET calv_programming)
  add_executable(calvboot_bench ${CMAKE_CURRENT_LIST_DIR}/calvboot_bench.cpp)
  target_link_libraries(calvboot_bench PRIVATE calv_programming Qt6::Widgets)
  target_compile_definitions(calvboot_bench PRIVATE
    CALVSIM_PATH="$<TARGET_FILE:calvsim>"
    SAMPLE_PATH="${PROJECT_SOURCE_DIR}/examples/calvboot/calv-two-block.ldr")
  add_dependencies(calvboot_bench calvsim)
endif()

# Processor load of the reply wait while a silent device keeps it waiting.
add_executable(wait_load_bench ${CMAKE_CURRENT_LIST_DIR}/wait_load_bench.cpp)
target_link_libraries(wait_load_bench PRIVATE calv_protocol calv_image kestrune_serial Qt6::Widgets)
