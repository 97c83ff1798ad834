// FAT12/16/32 and exFAT: the allocation table, the directory tree and the live clusters. What a
// damaged card shows (a chain that loops, chains that cross, a directory inside itself, an entry
// set whose checksum is wrong) is noted in words and walked around, never followed twice.
#include "file_systems.h"

#include <algorithm>
#include <deque>

#include "byte_codec.h"

namespace ostrel::card {

uint8_t short_name_sum(const uint8_t* e) {
    uint8_t sum = 0;
    for (int k = 0; k < 11; ++k) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + e[k]);
    return sum;
}

uint16_t set_checksum(const uint8_t* set, size_t count) {
    uint16_t sum = 0;
    for (size_t k = 0; k < count * 32; ++k) {
        if (k == 2 || k == 3) continue;
        sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[k]);
    }
    return sum;
}

namespace {

// A FAT directory holds at most 65536 entries; no card's directory is larger.
constexpr uint64_t kMaxDirectoryBytes = uint64_t{65536} * 32;
constexpr int kMaxDepth = 64;

uint64_t fat_table_bytes(const Volume& v) {
    const uint64_t n = v.end();
    if (v.kind == FsKind::Fat12) return n * 3 / 2 + 2;
    return v.kind == FsKind::Fat16 ? n * 2 : n * 4;
}

std::vector<uint32_t> load_fat(ByteSource& source, const Volume& v, std::vector<std::string>& notes) {
    std::vector<uint32_t> fat(v.end(), 0);
    std::vector<uint8_t> raw(fat_table_bytes(v));
    const bool inside = v.fat_offset <= v.source_length && raw.size() <= v.source_length - v.fat_offset;
    if (!inside || !source.read_at(v.fat_offset, raw.data(), raw.size())) {
        notes.push_back("its FAT cannot be read; clusters are taken in order");
        return fat;
    }
    for (uint32_t c = 0; c < v.end(); ++c) {
        if (v.kind == FsKind::Fat12) {
            const uint32_t pair = load_le16(raw.data() + c * 3 / 2);
            fat[c] = c & 1 ? pair >> 4 : pair & 0xFFF;
        } else {
            fat[c] = v.kind == FsKind::Fat16 ? load_le16(raw.data() + uint64_t{c} * 2)
                                             : load_le32(raw.data() + uint64_t{c} * 4) &
                                                   (v.kind == FsKind::Fat32 ? 0x0FFFFFFF : 0xFFFFFFFF);
        }
    }
    return fat;
}

std::string utf8_from_utf16(const std::vector<uint16_t>& units) {
    std::string out;
    for (size_t k = 0; k < units.size(); ++k) {
        uint32_t c = units[k];
        if (c == 0 || c == 0xFFFF) break;
        if (c >= 0xD800 && c < 0xDC00 && k + 1 < units.size() && units[k + 1] >= 0xDC00 && units[k + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++k] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

struct Walker {
    ByteSource& source;
    VolumeContents& vc;
    struct Dir {
        std::string path;
        uint32_t first;
        uint64_t bytes;  // exFAT: the directory's size; FAT: 0, to the chain's end
        bool contiguous;
        int depth;
    };
    std::deque<Dir> todo;

    // Marks a file's or directory's clusters live; a cluster already live is a crossing.
    bool hold(const std::vector<uint32_t>& clusters, const std::string& path) {
        for (uint32_t c : clusters) {
            if (vc.live[c]) {
                vc.notes.push_back(path + " shares cluster " + std::to_string(c) + " with another entry");
                return false;
            }
            vc.live[c] = 1;
        }
        return true;
    }

    uint64_t clusters_for(uint64_t bytes) const {
        const uint64_t cs = vc.volume.cluster_bytes;
        return bytes / cs + (bytes % cs != 0);
    }

    void add_file(Entry e) {
        if (!e.deleted && e.size > 0) {
            const uint64_t want = clusters_for(e.size);
            const std::vector<uint32_t> got = vc.chain(e.first, want, !e.contiguous);
            if (got.size() < want)
                vc.notes.push_back(e.path + ": its chain ends after " + std::to_string(got.size()) + " of " +
                                   std::to_string(want) + " clusters");
            hold(got, e.path);
        }
        vc.files.push_back(std::move(e));
    }

    // A directory's bytes, its clusters marked live; empty when it was met before.
    std::vector<uint8_t> read_dir(const Dir& d) {
        std::vector<uint32_t> clusters;
        if (d.first == 0 && vc.volume.root_bytes > 0) {  // FAT12/16's fixed root
            const Volume& v = vc.volume;
            std::vector<uint8_t> bytes(v.root_bytes);
            const bool inside = v.root_offset <= v.source_length && v.root_bytes <= v.source_length - v.root_offset;
            return inside && source.read_at(v.root_offset, bytes.data(), bytes.size()) ? bytes : std::vector<uint8_t>{};
        }
        const uint64_t most = kMaxDirectoryBytes / vc.volume.cluster_bytes + 1;
        const uint64_t want = d.bytes > 0 ? clusters_for(d.bytes) : most;
        clusters = vc.chain(d.first, want < most ? want : most, !d.contiguous);
        if (clusters.empty() || !hold(clusters, d.path + "/")) return {};
        // One read for each run of clusters that follow each other, as most directories' do.
        const size_t cs = vc.volume.cluster_bytes;
        std::vector<uint8_t> bytes(clusters.size() * cs);
        for (size_t k = 0, n; k < clusters.size(); k += n) {
            for (n = 1; k + n < clusters.size() && clusters[k + n] == clusters[k] + n;) ++n;
            if (!source.read_at(vc.volume.cluster_offset(clusters[k]), bytes.data() + k * cs, n * cs)) return {};
        }
        return bytes;
    }

    // exFAT's allocation bitmap: one bit a cluster from cluster 2, in the clusters it holds.
    void load_bitmap(const std::vector<uint32_t>& clusters) {
        const Volume& v = vc.volume;
        const size_t need = (size_t{v.clusters} + 7) / 8, most = (need + v.cluster_bytes - 1) / v.cluster_bytes;
        const size_t count = clusters.size() < most ? clusters.size() : most;
        std::vector<uint8_t> bits(count * size_t{v.cluster_bytes});
        for (size_t k = 0; k < count; ++k)
            if (!source.read_at(v.cluster_offset(clusters[k]), bits.data() + k * v.cluster_bytes, v.cluster_bytes))
                return;
        vc.allocated.assign(v.end(), 0);
        for (uint32_t c = kFirstCluster; c < v.end() && (c - kFirstCluster) / 8 < bits.size(); ++c)
            vc.allocated[c] = (bits[(c - kFirstCluster) / 8] >> ((c - kFirstCluster) % 8)) & 1;
    }

    void subdirectory(const Dir& parent, const std::string& name, uint32_t first, uint64_t bytes, bool contiguous) {
        if (parent.depth + 1 >= kMaxDepth) return vc.notes.push_back(parent.path + "/" + name + ": too deep; not read");
        todo.push_back({parent.path + "/" + name, first, bytes, contiguous, parent.depth + 1});
    }
};

std::string short_name(const uint8_t* e) {
    auto part = [&](int from, int count, bool lower) {
        std::string s(reinterpret_cast<const char*>(e + from), static_cast<size_t>(count));
        while (!s.empty() && s.back() == ' ') s.pop_back();
        for (char& c : s)
            if (lower && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return s;
    };
    std::string name = part(0, 8, e[12] & 0x08);
    if (e[0] == 0xE5) name[0] = '_';  // the deleted mark replaced the first letter
    if (e[0] == 0x05) name[0] = static_cast<char>(0xE5);
    const std::string ext = part(8, 3, e[12] & 0x10);
    return ext.empty() ? name : name + "." + ext;
}

// The 13 characters of a long-name piece, into `to`.
void piece_units(const uint8_t* e, uint16_t* to) {
    static const int kAt[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int k = 0; k < 13; ++k) to[k] = load_le16(e + kAt[k]);
}

// A deleted entry's long name, from the deleted pieces before it, where their checksum still
// matches its short name with the first letter the long name begins with; else its short name.
std::string deleted_name(const uint8_t* e, const std::vector<uint16_t>& gone, uint8_t gone_sum) {
    uint8_t short_entry[11];
    std::copy(e, e + 11, short_entry);
    const uint16_t first = gone.empty() ? 0 : gone[0];
    short_entry[0] = static_cast<uint8_t>(first >= 'a' && first <= 'z' ? first - 32 : first);
    const bool whole = first > 0x20 && first < 0x7F && short_name_sum(short_entry) == gone_sum;
    return whole ? utf8_from_utf16(gone) : short_name(e);
}

void walk_fat_dir(Walker& w, const Walker::Dir& d) {
    const std::vector<uint8_t> bytes = w.read_dir(d);
    std::vector<uint16_t> lfn, gone;  // the live long name, and one deleted with its entry
    uint8_t lfn_sum = 0, gone_sum = 0;
    uint32_t holes = 0, pieces = 0;
    for (size_t at = 0; at + 32 <= bytes.size(); at += 32) {
        const uint8_t* e = bytes.data() + at;
        if (e[0] == 0) break;
        holes += e[0] == 0xE5;
        if (e[11] == 0x0F) {  // a long-name piece; the last comes first
            ++pieces;
            if (e[0] == 0xE5) {
                if (gone.empty() || gone_sum != e[13]) gone.clear(), gone_sum = e[13];
                gone.insert(gone.begin(), 13, 0xFFFF);
                piece_units(e, gone.data());
            }
            if (e[0] == 0xE5 || (e[0] & 0x1F) == 0) continue;
            gone.clear();
            const size_t slot = ((e[0] & 0x1F) - 1u) * 13;
            if (e[0] & 0x40) lfn.assign(slot + 13, 0xFFFF), lfn_sum = e[13];
            if (slot + 13 > lfn.size()) continue;
            piece_units(e, lfn.data() + slot);
            continue;
        }
        const bool deleted = e[0] == 0xE5;
        std::string name =
            !deleted && !lfn.empty() && lfn_sum == short_name_sum(e) ? utf8_from_utf16(lfn) : short_name(e);
        lfn.clear();
        const uint32_t slots = deleted ? 1 : pieces + 1;
        pieces = 0;
        const std::vector<uint16_t> gone_name = std::move(gone);
        gone.clear();
        if ((e[11] & 0x08) || name == "." || name == "..") continue;  // the volume label, and links up
        const uint32_t first = w.vc.volume.kind == FsKind::Fat32 ? uint32_t{load_le16(e + 20)} << 16 | load_le16(e + 26)
                                                                 : load_le16(e + 26);
        if (e[11] & 0x10) {
            if (!deleted && w.vc.link(first)) w.subdirectory(d, name, first, 0, false);
            if (deleted && w.vc.link(first))
                w.vc.gone_folders.push_back({d.path + "/" + deleted_name(e, gone_name, gone_sum), first});
            continue;
        }
        w.add_file({d.path + "/" + name, first, load_le32(e + 28), deleted, false,
                    uint32_t{load_le16(e + 24)} << 16 | load_le16(e + 22), slots, holes});
    }
}

void walk_exfat_dir(Walker& w, const Walker::Dir& d) {
    const std::vector<uint8_t> bytes = w.read_dir(d);
    uint32_t holes = 0;
    for (size_t at = 0; at + 32 <= bytes.size(); at += 32) {
        const uint8_t* e = bytes.data() + at;
        if (e[0] == 0) break;
        if (e[0] == 0x81 || e[0] == 0x82) {  // the allocation bitmap and the up-case table
            const uint64_t want = w.clusters_for(load_le64(e + 24));
            const uint32_t first = load_le32(e + 20);
            const bool chained = w.vc.link(first) && w.vc.link(w.vc.fat[first]);
            const std::vector<uint32_t> clusters = w.vc.chain(first, want, chained);
            if (w.hold(clusters, e[0] == 0x81 ? "the allocation bitmap" : "the up-case table") && e[0] == 0x81)
                w.load_bitmap(clusters);
            continue;
        }
        if ((e[0] & 0x80) == 0) ++holes;  // an entry no longer in use
        if ((e[0] & 0x7F) != 0x05) continue;
        const size_t count = 1u + e[1];
        const bool deleted = (e[0] & 0x80) == 0;
        if (count < 3 || at + count * 32 > bytes.size() || (bytes[at + 32] & 0x7F) != 0x40) continue;
        const bool broken = !deleted && set_checksum(e, count) != load_le16(e + 2);
        if (broken)
            w.vc.notes.push_back(d.path + "/: the entry set at byte " + std::to_string(at) +
                                 " has a wrong checksum; skipped");
        if (broken && !(load_le16(e + 4) & 0x10)) continue;
        const uint8_t* stream = e + 32;
        std::vector<uint16_t> units;
        for (size_t k = 2; k < count; ++k)
            for (int c = 0; c < 15; ++c) units.push_back(load_le16(e + 32 * k + 2 + 2 * c));
        units.resize(stream[3] < units.size() ? stream[3] : units.size());
        const std::string name = utf8_from_utf16(units);
        const uint32_t first = load_le32(stream + 20);
        const uint64_t size = load_le64(stream + 24);
        const bool contiguous = (stream[1] & 0x02) != 0;
        if (load_le16(e + 4) & 0x10) {
            if (!deleted && !broken && w.vc.link(first)) w.subdirectory(d, name, first, size, contiguous);
            if ((deleted || broken) && w.vc.link(first)) w.vc.gone_folders.push_back({d.path + "/" + name, first});
            if (broken) continue;
        } else {
            w.add_file({d.path + "/" + name, first, size, deleted, contiguous, load_le32(e + 12),
                        static_cast<uint32_t>(count), holes});
        }
        if (deleted) holes += static_cast<uint32_t>(count - 1);
        at += (count - 1) * 32;
    }
}

// Every directory from `top` down, each met once.
void walk_from(ByteSource& source, VolumeContents& vc, const Walker::Dir& top) {
    Walker w{source, vc, {}};
    w.todo.push_back(top);
    for (size_t walked = 0; !w.todo.empty() && walked < vc.volume.end(); ++walked) {
        const Walker::Dir d = w.todo.front();
        w.todo.pop_front();
        if (vc.volume.kind == FsKind::ExFat)
            walk_exfat_dir(w, d);
        else
            walk_fat_dir(w, d);
    }
}

}  // namespace

std::vector<uint32_t> VolumeContents::chain(uint32_t first, uint64_t count, bool by_fat) const {
    std::vector<uint32_t> out;
    const uint64_t most = count < volume.clusters ? count : volume.clusters;
    if (seen_.size() != fat.size()) seen_.assign(fat.size(), 0);
    if (++epoch_ == 0) std::fill(seen_.begin(), seen_.end(), 0), epoch_ = 1;
    // A chain that comes back on itself is a loop, followed once.
    for (uint32_t c = first; out.size() < most && link(c) && seen_[c] != epoch_; c = by_fat ? fat[c] : c + 1) {
        seen_[c] = epoch_;
        out.push_back(c);
    }
    return out;
}

VolumeContents read_volume(ByteSource& source, const Volume& volume) {
    VolumeContents vc;
    vc.volume = volume;
    vc.live.assign(volume.end(), 0);
    vc.fat = load_fat(source, volume, vc.notes);
    if (volume.truncated())
        vc.notes.push_back("the source ends inside the volume: " + std::to_string(volume.clusters) + " of its " +
                           std::to_string(volume.declared_clusters) + " clusters are there");
    walk_from(source, vc, {"", volume.root_cluster, 0, false, 0});
    return vc;
}

void read_lost_folder(ByteSource& source, VolumeContents& vc, uint32_t first, const std::string& path) {
    // On exFAT a folder's size is in the entry that is lost: its clusters by the FAT where it
    // links them, else the one.
    const bool chained = vc.link(vc.fat[first]);
    const bool exfat = vc.volume.kind == FsKind::ExFat;
    walk_from(source, vc, {path, first, exfat && !chained ? vc.volume.cluster_bytes : 0, exfat && !chained, 1});
}

}  // namespace ostrel::card
