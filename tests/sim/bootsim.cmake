# bootsim: S-record parsing, the boot loader's behaviour on a given clock, and
# the program itself on its pseudo-terminal. bootsim_process runs it as a
# child for these tests, romlift's and the pace benchmark.
add_library(bootsim_process STATIC ${CMAKE_CURRENT_LIST_DIR}/BootSimProcess.cpp)
target_include_directories(bootsim_process PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(bootsim_process PUBLIC Qt6::Core)
target_compile_definitions(bootsim_process PRIVATE BOOTSIM_PATH="$<TARGET_FILE:bootsim>")
add_dependencies(bootsim_process bootsim)

