# Variable services over loopback: reads per second and latency (also with
# idle associations), listing a CLS domain, reports per second and
# update-to-report latency.
add_executable(services_bench ${CMAKE_CURRENT_LIST_DIR}/services_bench.cpp
               ${CMAKE_SOURCE_DIR}/tests/services/ServiceTestModel.cpp)
target_link_libraries(services_bench PRIVATE iec61850 iec_model mms_test_client iec_test_support iec_util iec61850_internal_headers)
