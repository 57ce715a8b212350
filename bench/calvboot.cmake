# calvboot's benchmarks: programming against calvsim pacing the line (in
# process and through the program's --program run), and the cost of one
# transaction and of an idle reply wait.
if(TARGET calvsim AND TARGET calv_programming)
  add_executable(calvboot_bench ${CMAKE_CURRENT_LIST_DIR}/calvboot_bench.cpp)
  target_link_libraries(calvboot_bench PRIVATE calv_programming Qt6::Widgets)
  target_compile_definitions(calvboot_bench PRIVATE CALVSIM_PATH="$<TARGET_FILE:calvsim>"
                                                    CALVBOOT_PATH="$<TARGET_FILE:calvboot>")
  add_dependencies(calvboot_bench calvsim calvboot)

  add_executable(transaction_bench ${CMAKE_CURRENT_LIST_DIR}/transaction_bench.cpp)
  target_link_libraries(transaction_bench PRIVATE calv_programming Qt6::Widgets)
  target_compile_definitions(transaction_bench PRIVATE CALVSIM_PATH="$<TARGET_FILE:calvsim>")
  add_dependencies(transaction_bench calvsim)
endif()

if(TARGET calv_programming)
  add_executable(file_bench ${CMAKE_CURRENT_LIST_DIR}/file_bench.cpp)
  target_link_libraries(file_bench PRIVATE calv_programming)
endif()

# Start-up of both windows; romlift's is measured beside calvboot's.
if(TARGET calv_app AND TARGET romlift_core)
  add_executable(startup_bench ${CMAKE_CURRENT_LIST_DIR}/startup_bench.cpp)
  target_link_libraries(startup_bench PRIVATE calv_app romlift_core Qt6::Widgets)
endif()
