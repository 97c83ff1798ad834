// The file each take is written to: its entry's path, the name its own header gives, or where it
// lay on the card; always a relative path that stays inside the folder given.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "byte_codec.h"
#include "finder.h"

namespace ostrel::card {

namespace {

constexpr uint64_t kMaxChunkWalk = 65536;  // bext and iXML come before the audio

// Windows drops a name's trailing dots and spaces, which would make "..." or ".. " climb out of
// the folder: they become '_', there as here.
std::string safe_path(const std::string& path) {
    std::string out, part;
    auto flush = [&]() {
        if (part.empty()) return;
        if (part == "." || part == "..") part = "_";
        for (size_t k = part.size(); k-- > 0 && (part[k] == '.' || part[k] == ' ');) part[k] = '_';
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

namespace {

// A volume's 0-byte entries with no first cluster, still to be given to a take: what a recorder
// leaves of each file it was writing until its first sync.
struct Unclaimed {
    std::vector<const Entry*> entries;  // in directory order

    std::vector<const Entry*> in(const std::string& folder) const {
        std::vector<const Entry*> out;
        for (const Entry* e : entries)
            if (e->path.substr(0, e->path.rfind('/') + 1) == folder) out.push_back(e);
        return out;
    }
    void claim(const Entry* e) { entries.erase(std::find(entries.begin(), entries.end(), e)); }
};

bool same_name(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k)
        if (std::toupper(static_cast<unsigned char>(a[k])) != std::toupper(static_cast<unsigned char>(b[k])))
            return false;
    return true;
}

void name_by_entry(LostTake& t, const Entry* e, const std::string& how) {
    t.name = safe_path(e->path), t.entry = e->path, t.named_by = how;
}

// A header that names its file wins: that entry, or the name alone.
void name_by_header(LostTake& t, Unclaimed& left) {
    for (const Entry* e : left.entries)
        if (same_name(base_of(e->path), t.own_name)) {
            left.claim(e);
            return name_by_entry(t, e, "named after " + e->path + ", the name its own bext or iXML chunk gives");
        }
    t.name = safe_path(t.own_name), t.named_by = "named as its own bext or iXML chunk names it";
}

// A lost take, or the takes of a group, get the 0-byte entries of the one folder that holds as
// many as they are: the first entry in the directory to the take with the lowest first cluster.
// A recorder's driver puts a new entry in the first free slots big enough, so the order is sure
// where the entries take as many slots each, or no free slot lies before the last of them.
void name_by_folder(std::vector<LostTake*> takes, Unclaimed& left) {
    std::vector<std::string> folders;
    for (const Entry* e : left.entries) {
        const std::string folder = e->path.substr(0, e->path.rfind('/') + 1);
        const bool counted = std::find(folders.begin(), folders.end(), folder) != folders.end();
        if (!counted && left.in(folder).size() == takes.size()) folders.push_back(folder);
    }
    if (folders.size() != 1) return;
    const std::vector<const Entry*> entries = left.in(folders[0]);
    std::sort(takes.begin(), takes.end(), [](const LostTake* a, const LostTake* b) { return a->first < b->first; });
    bool same_slots = true;
    for (const Entry* e : entries) same_slots = same_slots && e->slots == entries[0]->slots;
    const bool sure = same_slots || entries.back()->holes_before == 0;
    for (size_t k = 0; k < takes.size(); ++k) {
        left.claim(entries[k]);
        std::string how = "named after " + entries[k]->path;
        if (takes.size() == 1)
            how += ", the one entry of 0 bytes with no cluster in its folder";
        else
            how += ", entry " + std::to_string(k + 1) + " of the " + std::to_string(takes.size()) +
                   " of 0 bytes in its folder, in the order of the takes' first clusters" +
                   (sure ? "" : " (a guess: their entries take different numbers of slots, and free slots lie "
                                "before them, which a shorter name may have filled)");
        name_by_entry(*takes[k], entries[k], how);
        takes[k]->name_guessed = !sure;
    }
}

// Takes recorded together, or a take alone, still to be named by entries.
std::vector<std::vector<LostTake*>> units_of(Findings& f, size_t vi) {
    std::vector<std::vector<LostTake*>> units;
    for (size_t k = 0; k < f.takes.size(); ++k) {
        LostTake& t = f.takes[k];
        if (t.volume != vi || !t.name.empty() || t.older || t.after_end_of >= 0) continue;
        if (t.group > 1 && k > 0 && f.takes[k - 1].group == t.group && f.takes[k - 1].volume == vi &&
            !units.empty() && units.back().size() < t.group && units.back().back() == &f.takes[k - 1])
            units.back().push_back(&t);
        else
            units.push_back({&t});
    }
    return units;
}

void name_volume(Findings& f, size_t vi) {
    const VolumeContents& vc = f.card.volumes[vi];
    Unclaimed left;
    for (const Entry& e : vc.files)
        if (!e.deleted && e.size == 0 && !vc.link(e.first)) left.entries.push_back(&e);
    for (LostTake& t : f.takes)
        if (t.volume == vi && !t.entry.empty())
            t.name = safe_path(t.entry) + (t.start == Start::Reclaimed ? ".wav" : ""),
            t.named_by = "named after its entry";
    for (LostTake& t : f.takes)
        if (t.volume == vi && t.name.empty() && !t.own_name.empty() && t.after_end_of < 0) name_by_header(t, left);
    std::vector<std::vector<LostTake*>> units = units_of(f, vi);
    std::stable_sort(units.begin(), units.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    for (std::vector<LostTake*>& unit : units) {
        std::vector<LostTake*> unnamed;
        for (LostTake* t : unit)
            if (t->name.empty()) unnamed.push_back(t);
        if (!unnamed.empty()) name_by_folder(unnamed, left);
    }
}

}  // namespace

void name_takes(Findings& f) {
    for (size_t vi = 0; vi < f.card.volumes.size(); ++vi) {
        name_volume(f, vi);
        const VolumeContents& vc = f.card.volumes[vi];
        const std::string p = vc.volume.partition ? "-p" + std::to_string(vc.volume.partition) : "";
        for (LostTake& t : f.takes) {
            if (t.volume != vi || !t.name.empty()) continue;
            const std::string cluster = "cluster" + std::to_string(t.first) + ".wav";
            if (t.after_end_of >= 0) {
                const std::string& of = f.takes[static_cast<size_t>(t.after_end_of)].name;
                const size_t dot = of.rfind('.');
                t.name = (dot == std::string::npos || dot < of.rfind('/') + 1 ? of : of.substr(0, dot)) +
                         " after the end.wav";
                t.named_by = "named after the take whose end it follows";
            } else {
                t.name = (t.older ? "older" : "lost") + p + "-" + cluster;
                t.named_by = "named after its first cluster";
            }
        }
    }
}

}  // namespace ostrel::card
