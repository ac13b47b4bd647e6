# Three-day look-ahead over the 26 stored schedules of a CLS with full entry lists.
add_executable(lookahead_bench ${CMAKE_CURRENT_LIST_DIR}/lookahead_bench.cpp)
target_link_libraries(lookahead_bench PRIVATE iec_schedules iec_test_support)
