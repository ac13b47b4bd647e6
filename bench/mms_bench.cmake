# MMS server over loopback: reads per second and latency, the same with idle
# associations open, resident memory with 100 associations.
add_executable(mms_bench ${CMAKE_CURRENT_LIST_DIR}/mms_bench.cpp)
target_link_libraries(mms_bench PRIVATE iec61850 iec_model mms_test_client iec_test_support iec_util iec61850_internal_headers)
