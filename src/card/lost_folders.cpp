// Folders that never reached their parent: which clusters are folders by their bytes alone, and
// reading those that no directory lists as the folders they are.
#include "lost_folders.h"

#include <algorithm>
#include <cstring>

#include "byte_codec.h"
#include "file_systems.h"

namespace ostrel::card {

namespace {

// What a cluster's entries are: whether every one is an entry, and the files they hold.
struct Listing {
    bool folder = false;
    struct File {
        uint32_t first;
        uint64_t size;
    };
    std::vector<File> files;  // live files of more than 0 bytes
    uint32_t newest = 0;      // the latest day and time any live entry was modified
};

bool short_char(uint8_t c) {
    return c >= 0x20 && c != 0x7F && !(c >= 'a' && c <= 'z') && !std::strchr("\"*+,./:;<=>?[\\]|", c);
}

// `.` or `..`, as a folder's first two entries are.
bool dot_entry(const uint8_t* e, int dots) {
    for (int k = 0; k < 11; ++k)
        if (e[k] != (k < dots ? '.' : ' ')) return false;
    return (e[11] & 0x10) != 0;
}

// A short entry a driver could have written: its name's characters, its attributes, its case bits.
bool short_entry(const uint8_t* e) {
    if (e[0] == 0x20 || (e[11] & 0xC8) != 0 || (e[12] & ~0x18) != 0) return false;
    for (int k = e[0] == 0xE5 || e[0] == 0x05 ? 1 : 0; k < 11; ++k)
        if (!short_char(e[k])) return false;
    return !(e[11] & 0x10) || load_le32(e + 28) == 0;
}

Listing fat_listing(FsKind kind, const uint8_t* b, size_t n) {
    Listing l;
    size_t live = 0, named = 0, at = 0;  // live entries, and those a long name's checksum bears out
    const bool dots = n >= 64 && dot_entry(b, 1) && dot_entry(b + 32, 2);
    if (dots) at = 64, l.newest = uint32_t{load_le16(b + 24)} << 16 | load_le16(b + 22);  // when it was made
    uint32_t expect = 0;  // the long-name piece to come next, 0 where none
    uint8_t sum = 0;
    for (; at + 32 <= n && b[at] != 0; at += 32) {
        const uint8_t* e = b + at;
        if (e[11] == 0x0F) {  // a long-name piece: in order, last first, all with one checksum
            if (e[12] != 0 || load_le16(e + 26) != 0) return l;
            if (e[0] == 0xE5) continue;
            const uint32_t ordinal = e[0] & 0x1F;
            if ((e[0] & 0xA0) != 0 || ordinal == 0 || ordinal > 20) return l;
            if (e[0] & 0x40) expect = ordinal, sum = e[13];
            if (ordinal != expect || e[13] != sum) return l;
            --expect;
            continue;
        }
        if (!short_entry(e) || expect != 0) return l;
        if (e[0] == 0xE5) continue;
        const bool long_name = at >= 32 && e[-32 + 11] == 0x0F && e[-32] != 0xE5;
        if (long_name && short_name_sum(e) != sum) return l;
        ++live, named += long_name;
        l.newest = std::max(l.newest, uint32_t{load_le16(e + 24)} << 16 | load_le16(e + 22));
        const uint32_t first = kind == FsKind::Fat32 ? uint32_t{load_le16(e + 20)} << 16 | load_le16(e + 26)
                                                     : load_le16(e + 26);
        if (!(e[11] & 0x10) && load_le32(e + 28) > 0) l.files.push_back({first, load_le32(e + 28)});
    }
    l.folder = expect == 0 && (dots || live >= 2 || named > 0);
    return l;
}

Listing exfat_listing(const uint8_t* b, size_t n) {
    Listing l;
    size_t sets = 0;
    for (size_t at = 0; at + 32 <= n && b[at] != 0; at += 32) {
        const uint8_t* e = b + at;
        if (!(e[0] & 0x80)) continue;  // no longer in use
        const size_t count = 1u + e[1];
        if (e[0] != 0x85 || count < 3 || count > 19) return l;
        if (at + count * 32 > n) break;  // the set goes on in the folder's next cluster
        if (e[32] != 0xC0 || set_checksum(e, count) != load_le16(e + 2)) return l;
        for (size_t k = 2; k < count; ++k)
            if ((e[32 * k] & 0xC0) != 0xC0) return l;  // secondary entries in use
        ++sets;
        l.newest = std::max(l.newest, load_le32(e + 12));
        if (!(load_le16(e + 4) & 0x10) && load_le64(e + 56) > 0) l.files.push_back({load_le32(e + 52), load_le64(e + 56)});
        at += (count - 1) * 32;
    }
    l.folder = sets > 0;
    return l;
}

Listing listing(FsKind kind, const uint8_t* b, size_t n) {
    return kind == FsKind::ExFat ? exfat_listing(b, n) : fat_listing(kind, b, n);
}

// Each file's first cluster is the FAT's or the bitmap's, and no one else's, and no live entry
// was written on a later day: the folder is today's, not one a format left behind.
bool todays(const VolumeContents& vc, const Listing& l) {
    for (const Entry& e : vc.files)
        if (!e.deleted && e.modified >> 16 > l.newest >> 16) return false;
    for (const Listing::File& f : l.files) {
        if (!vc.link(f.first) || vc.live[f.first]) return false;
        const bool exfat = vc.volume.kind == FsKind::ExFat;
        if (exfat ? !vc.allocated.empty() && !vc.allocated[f.first] : vc.fat[f.first] == 0) return false;
    }
    return true;
}

}  // namespace

bool holds_entries(FsKind kind, const uint8_t* cluster, size_t bytes) { return listing(kind, cluster, bytes).folder; }

size_t adopt_lost_folders(ByteSource& source, VolumeContents& vc, const std::vector<uint32_t>& candidates) {
    size_t adopted = 0;
    std::vector<uint8_t> bytes(vc.volume.cluster_bytes);
    for (uint32_t c : candidates) {
        if (!vc.link(c) || vc.live[c] || !source.read_at(vc.volume.cluster_offset(c), bytes.data(), bytes.size()))
            continue;
        const Listing l = listing(vc.volume.kind, bytes.data(), bytes.size());
        if (!l.folder || !todays(vc, l)) continue;
        std::string path = "/folder-cluster" + std::to_string(c);
        for (const Entry& gone : vc.gone_folders)
            if (gone.first == c) path = gone.path;
        read_lost_folder(source, vc, c, path);
        vc.notes.push_back(path + "/: a folder no directory lists, read from cluster " + std::to_string(c));
        ++adopted;
    }
    return adopted;
}

}  // namespace ostrel::card
