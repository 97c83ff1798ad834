// Builds the test files' bytes: chunks, WAVE headers and RF64 headers.
#pragma once

#include <cstdint>
#include <string>

inline std::string le32(uint32_t v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF), static_cast<char>(v >> 16 & 0xFF),
            static_cast<char>(v >> 24 & 0xFF)};
}
inline std::string le64(uint64_t v) { return le32(static_cast<uint32_t>(v)) + le32(static_cast<uint32_t>(v >> 32)); }

// An id and a size as stored, which need not match what follows.
inline std::string chunk_header(const std::string& id, uint32_t size) { return id + le32(size); }
// A whole chunk, with its pad byte when the body is odd.
inline std::string chunk(const std::string& id, const std::string& body) {
    return chunk_header(id, static_cast<uint32_t>(body.size())) + body + std::string(body.size() % 2, '\0');
}
inline std::string audio(size_t count) {
    std::string a;
    for (size_t i = 0; i < count; ++i) a += static_cast<char>((i * 37) & 0xFF);
    return a;
}
// 8000 Hz, 16-bit PCM mono by default; `frame` bytes a frame (or block), of format `tag`; a codec's
// samples per block follow cbSize when given.
inline std::string fmt_chunk(uint16_t frame = 2, uint16_t tag = 1, uint16_t samples_per_block = 0) {
    const std::string tag_and_mono = {static_cast<char>(tag & 0xFF), static_cast<char>(tag >> 8), 1, 0};
    const std::string codec = samples_per_block ? le32(2u | static_cast<uint32_t>(samples_per_block) << 16) : "";
    return chunk("fmt ", tag_and_mono + le32(8000) + le32(8000u * frame) + le32(frame | 16u << 16) + codec);  // nBlockAlign, then 16 bits
}
// "RIFF", the RIFF size (kept as a writer would have left it) and "WAVE", then `rest`.
inline std::string riff_wave(const std::string& rest) {
    return "RIFF" + le32(static_cast<uint32_t>(4 + rest.size())) + "WAVE" + rest;
}
// The file with another RIFF size at offset 4.
inline std::string with_form(std::string file, uint32_t riff) { return file.replace(4, 4, le32(riff)); }
// The common 44-byte header (identifier at 36) with `stored` as data size, then `count` bytes of audio.
inline std::string wav44(uint32_t stored, size_t count) {
    return riff_wave(fmt_chunk() + chunk_header("data", stored) + audio(count));
}
// An RF64 (or BW64) file whose ds64 says `ds64_data`, then `rest` (fmt, data and so on). The
// ds64 chunk starts at 12; its riffSize, at 20, counts the bytes given unless `riff` is set.
inline std::string rf64_wave(uint64_t ds64_data, const std::string& rest, const char* form = "RF64",
                             uint64_t riff = 0) {
    if (riff == 0) riff = 40 + rest.size();
    return form + le32(0xFFFFFFFF) + "WAVE" + chunk("ds64", le64(riff) + le64(ds64_data) + le64(0) + le32(0)) + rest;
}
