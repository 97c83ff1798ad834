// The file each take is written to: its entry's path, the name its own header gives, or where it
// lay on the card; always a relative path that stays inside the folder given.
#include <cstring>

#include "byte_codec.h"
#include "finder.h"

namespace ostrel::card {

namespace {

constexpr uint64_t kMaxChunkWalk = 65536;  // bext and iXML come before the audio

std::string safe_path(const std::string& path) {
    std::string out, part;
    auto flush = [&]() {
        if (part.empty()) return;
        if (part == "." || part == "..") part = "_";
        out += (out.empty() ? "" : "/") + part;
        part.clear();
    };
    for (const unsigned char c : path) {
        if (c == '/')
            flush();
        else
            part += c < 0x20 || std::strchr("\\:*?\"<>|", c) ? '_' : static_cast<char>(c);
    }
    flush();
    return out.empty() ? "_" : out;
}

bool wave_name(const std::string& s) {
    if (s.size() < 5 || s.size() > 255) return false;
    std::string end = s.substr(s.size() - 4);
    for (char& c : end) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return end == ".WAV" || end == ".BWF";
}

// A name ending in .wav among the words of a bext description ("sFILENAME=A001.WAV", "A001.WAV").
std::string name_in_words(const std::string& text) {
    std::string word;
    for (size_t k = 0; k <= text.size(); ++k) {
        const char c = k < text.size() ? text[k] : '\0';
        if (c != '\0' && c != ' ' && c != '\r' && c != '\n' && c != '\t' && c != '=' && c != ';') {
            word += c;
            continue;
        }
        if (wave_name(word)) return word;
        word.clear();
    }
    return "";
}

std::string name_in_ixml(const std::string& text) {
    const size_t open = text.find("<FILE_NAME>"), close = text.find("</FILE_NAME>");
    if (open == std::string::npos || close == std::string::npos || close < open + 11) return "";
    const std::string name = text.substr(open + 11, close - open - 11);
    return wave_name(name) ? name : "";
}

std::string base_of(const std::string& name) {
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace

std::string name_in_header(ByteSource& take, uint64_t length) {
    const uint64_t end = length < kMaxChunkWalk ? length : kMaxChunkWalk;
    uint8_t h[8];
    for (uint64_t at = 12; at + 8 <= end;) {
        if (!take.read_at(at, h, sizeof h)) return "";
        const uint64_t size = load_le32(h + 4);
        if (std::memcmp(h, "data", 4) == 0 || size > end - at - 8) return "";
        const bool bext = std::memcmp(h, "bext", 4) == 0, ixml = std::memcmp(h, "iXML", 4) == 0;
        if (bext || ixml) {
            std::string text(bext && size > 256 ? 256 : size, '\0');
            if (!take.read_at(at + 8, reinterpret_cast<uint8_t*>(text.data()), text.size())) return "";
            text = text.substr(0, text.find('\0'));
            const std::string name = base_of(bext ? name_in_words(text) : name_in_ixml(text));
            if (!name.empty()) return name;
        }
        at += 8 + size + (size & 1);
    }
    return "";
}

void name_takes(Findings& f) {
    for (size_t vi = 0; vi < f.card.volumes.size(); ++vi) {
        const VolumeContents& vc = f.card.volumes[vi];
        const Entry* lone = nullptr;
        int empties = 0, unnamed = 0;
        for (const Entry& e : vc.files)
            if (!e.deleted && e.size == 0 && !vc.link(e.first)) ++empties, lone = &e;
        for (const LostTake& t : f.takes)
            unnamed += t.volume == vi && t.entry.empty() && !t.older && t.after_end_of < 0;
        const std::string p = vc.volume.partition ? "-p" + std::to_string(vc.volume.partition) : "";
        for (LostTake& t : f.takes) {
            if (t.volume != vi) continue;
            const std::string cluster = "cluster" + std::to_string(t.first) + ".wav";
            if (t.after_end_of >= 0) {
                const std::string& of = f.takes[static_cast<size_t>(t.after_end_of)].name;
                const size_t dot = of.rfind('.');
                t.name = (dot == std::string::npos || dot < of.rfind('/') + 1 ? of : of.substr(0, dot)) +
                         " after the end.wav";
                t.named_by = "named after the take whose end it follows";
            } else if (!t.entry.empty()) {
                t.name = safe_path(t.entry) + (t.start == Start::Reclaimed ? ".wav" : "");
                t.named_by = "named after its entry";
            } else if (t.older) {
                t.name = t.own_name.empty() ? "older" + p + "-" + cluster : safe_path(t.own_name);
                t.named_by = t.own_name.empty() ? "named after its first cluster"
                                                : "named as its own bext or iXML chunk names it";
            } else if (empties == 1 && unnamed == 1) {
                t.name = safe_path(lone->path), t.entry = lone->path;
                t.named_by = "named after " + lone->path + ", the one entry of 0 bytes with no cluster on the volume";
            } else {
                t.name = "lost" + p + "-" + cluster;
                t.named_by = "named after its first cluster";
            }
        }
    }
}

}  // namespace ostrel::card
