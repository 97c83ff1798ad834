// A file in memory for the core: the given bytes, then zeros up to `length`, as a sparse file
// reads. It counts the reads and can be told to fail one of them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "byte_source.h"

struct MemorySource : ostrel::ByteSource {
    MemorySource(std::string b, uint64_t len) : bytes(std::move(b)), length(len) {}
    bool read_at(uint64_t offset, uint8_t* buf, size_t count) override {
        if (reads++ == fail_read || offset > length || count > length - offset) return false;
        const size_t have = offset < bytes.size() ? static_cast<size_t>(std::min<uint64_t>(count, bytes.size() - offset)) : 0;
        if (have > 0) std::memcpy(buf, bytes.data() + offset, have);
        std::memset(buf + have, 0, count - have);
        return true;
    }
    std::string bytes;
    uint64_t length;
    int reads = 0;
    int fail_read = -1;  // the index of the read that fails, or -1
};
