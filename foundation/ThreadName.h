#pragma once
// Threads named after their job, as ps -L, top -H and gdb show them. The
// kernel keeps at most 15 characters of a name; a longer one is cut. A name
// is a help for the reader only: when it cannot be set the thread keeps the
// process's name and runs all the same.

#include <pthread.h>

#include <string>
#include <thread>
#include <utility>

inline constexpr size_t kThreadNameMax = 15;

// Names the calling thread; false when the system refused the name.
inline bool nameThisThread(const std::string& name) {
    return pthread_setname_np(pthread_self(), name.substr(0, kThreadNameMax).c_str()) == 0;
}

// Starts a thread that names itself, then runs job.
template <typename Job>
std::thread namedThread(std::string name, Job&& job) {
    return std::thread([name = std::move(name), job = std::forward<Job>(job)]() mutable {
        nameThisThread(name);
        job();
    });
}
