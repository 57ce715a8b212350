# calvsim for tests: starting it, a raw line to it, frame bytes as the PC builds them.
add_library(calvsim_testkit STATIC ${CMAKE_CURRENT_LIST_DIR}/CalvsimProcess.cpp)
target_include_directories(calvsim_testkit PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(calvsim_testkit PUBLIC Qt6::Core)
target_compile_definitions(calvsim_testkit PUBLIC CALVSIM_PATH="$<TARGET_FILE:calvsim>")
add_dependencies(calvsim_testkit calvsim)

