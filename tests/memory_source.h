// A file in memory for the core: the given bytes, then zeros up to `length`, as a sparse file
// reads. It counts the reads and can be told to fail one of them.
#pragma once

#include <cstdint>
#include <string>

#include "byte_source.h"

struct MemorySource : ostrel::ByteSource {
    MemorySource(std::string b, uint64_t len) : bytes(std::move(b)), length(len) {}
    bool read_at(uint64_t offset, uint8_t* buf, size_t count) override {
        if (reads++ == fail_read || offset > length || count > length - offset) return false;
        for (size_t k = 0; k < count; ++k) {
            const uint64_t at = offset + k;
            buf[k] = at < bytes.size() ? static_cast<uint8_t>(bytes[static_cast<size_t>(at)]) : 0;
        }
        return true;
    }
    std::string bytes;
    uint64_t length;
    int reads = 0;
    int fail_read = -1;  // the index of the read that fails, or -1
};
