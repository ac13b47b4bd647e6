# The two switched limit sources: source switch through the core, and the
# time from a control-box limit change to AnOut1.
add_executable(limit_sources_bench ${CMAKE_CURRENT_LIST_DIR}/limit_sources_bench.cpp
               ${CMAKE_SOURCE_DIR}/tests/nymea/StandIn.cpp)
target_link_libraries(limit_sources_bench PRIVATE iec_production_interfaces server_test_support)
target_compile_definitions(limit_sources_bench PRIVATE
  NYMEA_STANDIN_PYTHON="${IEC_PYTHON3}"
  NYMEA_STANDIN_SCRIPT="${CMAKE_SOURCE_DIR}/tools/nymea-standin/nymea_standin.py")
