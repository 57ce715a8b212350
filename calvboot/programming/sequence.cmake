# Firmware file (.ldr) reading and check, and the programming sequence.
add_library(calv_programming STATIC
  ${CMAKE_CURRENT_LIST_DIR}/FirmwareFile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ProgramModule.cpp)
target_include_directories(calv_programming PUBLIC ${PROJECT_SOURCE_DIR}/calvboot)
target_link_libraries(calv_programming PUBLIC calv_protocol calv_image kestrune_text kestrune_serial kestrune_settings Qt6::Core)
