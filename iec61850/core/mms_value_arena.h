#pragma once
// Block storage for long-lived values (the server's value cache): values and
// element lists placed here carry no per-allocation overhead. A placed value
// is still released with MmsValue_delete, which frees its heap payload (texts)
// but leaves its storage to the arena; the arena must outlive its values.

#include <cstddef>
#include <memory>
#include <vector>

#include "iec61850/mms_value.h"

class MmsValueArena {
public:
    MmsValueArena() = default;
    MmsValueArena(const MmsValueArena&) = delete;
    MmsValueArena& operator=(const MmsValueArena&) = delete;

    // Moves a value that is not a structure or array into the arena and frees
    // its heap shell; returns the placed value.
    MmsValue* adopt(MmsValue* value);
    // An empty structure of size null elements, placed with its element list.
    MmsValue* newStructure(int size);

private:
    void* allocate(size_t bytes);

    static constexpr size_t kBlockBytes = 64 * 1024;
    std::vector<std::unique_ptr<std::byte[]>> blocks_;
    size_t used_ = kBlockBytes;
};
