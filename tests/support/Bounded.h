#pragma once
// Runs a step that must end, on its own thread; a step that hangs aborts the
// test program (so a hang ends the run instead of CI's time limit).

#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <utility>

namespace testsupport {

template <class F>
void runOrAbort(const char* what, F&& f, std::chrono::seconds limit = std::chrono::seconds(20)) {
    auto done = std::async(std::launch::async, std::forward<F>(f));
    if (done.wait_for(limit) != std::future_status::ready) {
        std::cerr << what << " hangs; aborting" << std::endl;
        std::abort();
    }
    done.get();
}

}  // namespace testsupport
