// How the core reads a file without touching one: the shell answers with pread, the tests and
// fuzzers from memory. CachedBytes keeps what was read, so that walking small chunks costs one
// read per block rather than one per chunk header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ostrel {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Fills `buf` with exactly `count` bytes at `offset`; false when that cannot be done.
    virtual bool read_at(uint64_t offset, uint8_t* buf, size_t count) = 0;
};

// The common headers end within a few hundred bytes, and a LIST chunk after the audio rarely
// holds more than a few hundred either, so one block usually settles each end of a file.
constexpr size_t kBlockBytes = 4096;

class CachedBytes {
public:
    // Reads the file's first min(length, kBlockBytes) bytes at once.
    CachedBytes(ByteSource& source, uint64_t length);

    uint64_t length() const { return length_; }
    bool failed() const { return failed_; }  // a read of the source has failed
    const uint8_t* head() const { return head_.data(); }
    size_t head_size() const { return head_.size(); }

    // Copies `count` bytes at `offset`, which must lie inside the file; false if a read failed.
    bool get(uint64_t offset, uint8_t* out, size_t count);
    // Grows the head to min(length, bytes) with one read of what it lacks.
    bool extend_head(size_t bytes);

private:
    bool fetch(uint64_t offset, uint8_t* into, size_t count);

    ByteSource& source_;
    uint64_t length_;
    bool failed_ = false;
    std::vector<uint8_t> head_;   // bytes from offset 0
    std::vector<uint8_t> block_;  // the latest block read elsewhere
    uint64_t block_offset_ = 0;
};

}  // namespace ostrel
