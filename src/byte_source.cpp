#include "byte_source.h"

#include <algorithm>
#include <cstring>

namespace ostrel {

CachedBytes::CachedBytes(ByteSource& source, uint64_t length) : source_(source), length_(length) {
    extend_head(kBlockBytes);
}

// Reads straight into the cache's storage; after a failure every later call fails too.
bool CachedBytes::fetch(uint64_t offset, uint8_t* into, size_t count) {
    if (count > 0 && !source_.read_at(offset, into, count)) failed_ = true;
    return !failed_;
}

bool CachedBytes::extend_head(size_t bytes) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length_, bytes));
    if (failed_ || want <= head_.size()) return !failed_;
    const size_t have = head_.size();
    head_.resize(want);
    return fetch(have, head_.data() + have, want - have);
}

bool CachedBytes::get(uint64_t offset, uint8_t* out, size_t count) {
    if (failed_ || offset > length_ || count > length_ - offset) return false;
    if (offset + count <= head_.size()) {
        std::memcpy(out, head_.data() + offset, count);
        return true;
    }
    const bool in_block = offset >= block_offset_ && offset + count <= block_offset_ + block_.size();
    if (!in_block) {
        const uint64_t to_end = length_ - offset;  // offset <= length_ was checked above
        block_.resize(static_cast<size_t>(std::min<uint64_t>(to_end, std::max(count, kBlockBytes))));
        if (!fetch(offset, block_.data(), block_.size())) return false;
        block_offset_ = offset;
    }
    std::memcpy(out, block_.data() + (offset - block_offset_), count);
    return true;
}

}  // namespace ostrel
