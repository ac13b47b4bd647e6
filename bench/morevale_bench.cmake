# MoreVale gateway over a mutual-TLS mosquitto: LPC -> ACK latency, MGCP gaps
# at 1 s and the sender thread's CPU time.
add_executable(morevale_bench ${CMAKE_CURRENT_LIST_DIR}/morevale_bench.cpp)
target_link_libraries(morevale_bench PRIVATE iec_external iec_model iec_test_support)
