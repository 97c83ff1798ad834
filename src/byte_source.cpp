#include "byte_source.h"

#include <algorithm>
#include <cstring>

namespace ostrel {

CachedBytes::CachedBytes(ByteSource& source, uint64_t length) : source_(source), length_(length) {
    extend_head(kBlockBytes);
}

bool CachedBytes::fetch(uint64_t offset, std::vector<uint8_t>& into, size_t count) {
    into.resize(count);
    if (count > 0 && !source_.read_at(offset, into.data(), count)) {
        into.clear();
        failed_ = true;
    }
    return !failed_;
}

bool CachedBytes::extend_head(size_t bytes) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length_, bytes));
    if (failed_ || want <= head_.size()) return !failed_;
    std::vector<uint8_t> rest;
    if (!fetch(head_.size(), rest, want - head_.size())) return false;
    head_.insert(head_.end(), rest.begin(), rest.end());
    return true;
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
        if (!fetch(offset, block_, static_cast<size_t>(std::min<uint64_t>(to_end, std::max(count, kBlockBytes)))))
            return false;
        block_offset_ = offset;
    }
    std::memcpy(out, block_.data() + (offset - block_offset_), count);
    return true;
}

}  // namespace ostrel
