# The whole box with every interface on against its real peers: idle memory,
# threads and CPU; scenario 1 at 200 commands/s to the MMS-visible AnOut1.
add_executable(system_bench ${CMAKE_CURRENT_LIST_DIR}/system_bench.cpp)
target_link_libraries(system_bench PRIVATE system_test_support)
