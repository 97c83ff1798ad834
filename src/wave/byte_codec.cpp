#include "byte_codec.h"

int32_t wrap_to_int32(uint32_t u) {
    if (u <= 0x7FFFFFFFu) return static_cast<int32_t>(u);
    return static_cast<int32_t>(u - 0x80000000u) + INT32_MIN;
}

int32_t Assem4(const uint8_t quad[4]) {
    const uint32_t u = static_cast<uint32_t>(quad[0]) | static_cast<uint32_t>(quad[1]) << 8 |
                       static_cast<uint32_t>(quad[2]) << 16 | static_cast<uint32_t>(quad[3]) << 24;
    return wrap_to_int32(u);
}

void Decon4(int32_t num, uint8_t quad[4]) {
    // Conversion to unsigned is modular, so negative values come out in two's complement.
    const uint32_t u = static_cast<uint32_t>(num);
    quad[0] = static_cast<uint8_t>(u & 0xFFu);
    quad[1] = static_cast<uint8_t>((u >> 8) & 0xFFu);
    quad[2] = static_cast<uint8_t>((u >> 16) & 0xFFu);
    quad[3] = static_cast<uint8_t>((u >> 24) & 0xFFu);
}

namespace ostrel {

void store_le64(uint64_t value, uint8_t bytes[8]) {
    for (int k = 0; k < 8; ++k) bytes[k] = static_cast<uint8_t>((value >> (8 * k)) & 0xFFu);
}

}  // namespace ostrel
