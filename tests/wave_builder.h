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

// AIFF and CAF are big-endian; Wave64's ids are GUIDs whose last 12 bytes are WAVE's.
inline std::string be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16 & 0xFF), static_cast<char>(v >> 8 & 0xFF),
            static_cast<char>(v & 0xFF)};
}
inline std::string be64(uint64_t v) { return be32(static_cast<uint32_t>(v >> 32)) + be32(static_cast<uint32_t>(v)); }
inline std::string aiff_chunk(const std::string& id, const std::string& body) {
    return id + be32(static_cast<uint32_t>(body.size())) + body + std::string(body.size() % 2, '\0');
}
// COMM of mono 8000 Hz (the 80-bit rate), `frames` of `bits`, and in AIFF-C the `coding` and an empty name.
inline std::string comm(uint32_t frames, const std::string& coding = "", uint16_t bits = 16) {
    const std::string rate = std::string("\x40\x0B\xFA", 3) + std::string(7, '\0');
    return aiff_chunk("COMM", std::string("\0\1", 2) + be32(frames) + be32(bits).substr(2) + rate +
                                  (coding.empty() ? "" : coding + std::string(2, '\0')));
}
// "FORM", its size as a whole file would have it, the type, then `rest`.
inline std::string aiff(const std::string& rest, const char* type = "AIFF") {
    return "FORM" + be32(static_cast<uint32_t>(4 + rest.size())) + type + rest;
}
inline std::string ssnd(uint32_t stored) { return "SSND" + be32(stored) + be32(0) + be32(0); }
inline std::string w64_chunk(const std::string& id, const std::string& body, uint64_t size = 0) {
    const std::string tail("\xF3\xAC\xD3\x11\x8C\xD1\x00\xC0\x4F\x8E\xDB\x8A", 12);
    return id + tail + le64(size ? size : 24 + body.size()) + body +
           std::string((8 - body.size() % 8) % 8, '\0');
}
inline std::string wave64(const std::string& rest) {
    const std::string riff("riff\x2E\x91\xCF\x11\xA5\xD6\x28\xDB\x04\xC1\x00\x00", 16);
    return riff + le64(40 + rest.size()) + w64_chunk("wave", "").substr(0, 16) + rest;
}
// desc of 16-bit mono lpcm at 8000 Hz, or of `format`; then `rest`.
inline std::string caf(const std::string& rest, const std::string& format = "lpcm") {
    const std::string desc = be64(0x40BF400000000000ull) + format + be32(0) + be32(2) + be32(1) + be32(1) + be32(16);
    return std::string("caff\0\1\0\0", 8) + "desc" + be64(32) + desc + rest;
}
