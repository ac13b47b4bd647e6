# Server core figures: MMS latency through the main loop, operate to listener,
# daemon resident memory.
add_executable(server_bench ${CMAKE_CURRENT_LIST_DIR}/server_bench.cpp)
target_link_libraries(server_bench PRIVATE server_test_support)
target_compile_definitions(server_bench PRIVATE IEC_SERVER_BINARY="$<TARGET_FILE:iec-server>"
                           NYMEA_STANDIN="${CMAKE_SOURCE_DIR}/tools/nymea-standin/nymea_standin.py")
add_dependencies(server_bench iec-server)
