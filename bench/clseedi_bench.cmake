# CLSEEDI gateway figures: control message to ACK, a burst of 1,000 messages.
add_executable(clseedi_bench ${CMAKE_CURRENT_LIST_DIR}/clseedi_bench.cpp)
target_link_libraries(clseedi_bench PRIVATE iec_core iec_external iec_test_support)
target_compile_definitions(clseedi_bench PRIVATE IEC_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
