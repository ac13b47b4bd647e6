# Schedule handling: one evaluation of a CLS with all 26 schedule files
# present, and the full hand-over of every schedule of every CLS.
add_executable(schedules_bench ${CMAKE_CURRENT_LIST_DIR}/schedules_bench.cpp)
target_link_libraries(schedules_bench PRIVATE iec_schedules iec_model iec_test_support)
