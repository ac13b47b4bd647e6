#pragma once
// Holds an object in static storage that is built on first use and never
// destroyed, so that records pointing into it stay valid until the process
// ends, also while other static objects are torn down.

#include <new>
#include <utility>

namespace model {

template <typename T>
union NoDestroy {
    T value;
    template <typename... Args>
    explicit NoDestroy(Args&&... args) : value(std::forward<Args>(args)...) {}
    ~NoDestroy() {}
};

}  // namespace model
