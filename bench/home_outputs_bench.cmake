# Home-side outputs: operate to the ActPow signal on the bus (energy-management
# server answering and blackholed), daemon resident memory with both on.
add_executable(home_outputs_bench ${CMAKE_CURRENT_LIST_DIR}/home_outputs_bench.cpp)
target_link_libraries(home_outputs_bench PRIVATE server_test_support home_test_peers)
target_compile_definitions(home_outputs_bench PRIVATE IEC_SERVER_BINARY="$<TARGET_FILE:iec-server>"
                           NYMEA_STANDIN="${CMAKE_SOURCE_DIR}/tools/nymea-standin/nymea_standin.py")
add_dependencies(home_outputs_bench iec-server)
