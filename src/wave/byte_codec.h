// The data chunk's size field: 4 little-endian bytes on disk, a 32-bit value in memory; and the
// 64-bit little-endian sizes of an RF64 file's ds64 chunk.
#pragma once

#include <cstdint>

// Little-endian bytes to a signed 32-bit value; a top byte of 0x80 or more gives a negative value.
int32_t Assem4(const uint8_t quad[4]);

// A signed 32-bit value to its 4-byte little-endian two's-complement form, the inverse of Assem4.
void Decon4(int32_t num, uint8_t quad[4]);

// The signed value whose two's-complement bits are `u`, without the implementation-defined cast.
int32_t wrap_to_int32(uint32_t u);

namespace ostrel {

// Inline: the card readers and the chunk walks call these once a byte over whole sectors.
inline uint32_t load_le16(const uint8_t bytes[2]) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8;
}
inline uint32_t load_le32(const uint8_t bytes[4]) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}
inline uint64_t load_le64(const uint8_t bytes[8]) {
    return static_cast<uint64_t>(load_le32(bytes)) | static_cast<uint64_t>(load_le32(bytes + 4)) << 32;
}
void store_le64(uint64_t value, uint8_t bytes[8]);

}  // namespace ostrel
