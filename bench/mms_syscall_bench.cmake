# System calls of the MMS server per read request (strace -c on a child
# process running the daemon's loop) and sequential reads per second.
add_executable(mms_syscall_bench ${CMAKE_CURRENT_LIST_DIR}/mms_syscall_bench.cpp)
target_link_libraries(mms_syscall_bench PRIVATE server_test_support iec_model)
