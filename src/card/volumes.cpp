// The partition table and the boot sectors: where each FAT or exFAT volume lies in the source,
// and the sizes its boot sector gives.
#include <cstring>

#include "byte_codec.h"
#include "card_layout.h"
#include "file_systems.h"

namespace ostrel::card {

namespace {

constexpr uint64_t kSector = 512;  // partition tables count in 512-byte sectors on cards
constexpr uint32_t kMaxGptEntries = 256;

bool power_of_two(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The FAT type follows from the cluster count alone, whatever the boot sector's type string.
bool fat_volume(const uint8_t* b, uint64_t offset, Volume& v) {
    const uint32_t bps = load_le16(b + 11), spc = b[13], reserved = load_le16(b + 14), fats = b[16];
    const uint32_t root_entries = load_le16(b + 17);
    const uint32_t total = load_le16(b + 19) != 0 ? load_le16(b + 19) : load_le32(b + 32);
    const uint32_t fat_size = load_le16(b + 22) != 0 ? load_le16(b + 22) : load_le32(b + 36);
    const bool jump = b[0] == 0xE9 || (b[0] == 0xEB && b[2] == 0x90);
    if (!jump || bps < 512 || bps > 4096 || !power_of_two(bps) || !power_of_two(spc) || reserved == 0 || fats == 0 ||
        fats > 4 || total == 0 || fat_size == 0)
        return false;
    const uint64_t root_sectors = (uint64_t{root_entries} * 32 + bps - 1) / bps;
    const uint64_t data_start = reserved + uint64_t{fats} * fat_size + root_sectors;
    if (data_start >= total) return false;
    v.declared_clusters = static_cast<uint32_t>((total - data_start) / spc);
    v.kind = v.declared_clusters < 4085 ? FsKind::Fat12 : v.declared_clusters < 65525 ? FsKind::Fat16 : FsKind::Fat32;
    if (v.kind == FsKind::Fat32 && (root_entries != 0 || load_le16(b + 22) != 0)) return false;
    v.offset = offset;
    v.sector_bytes = bps;
    v.cluster_bytes = bps * spc;
    uint32_t active = 0;  // FAT32 may name one FAT as the only one kept up to date
    if (v.kind == FsKind::Fat32 && (load_le16(b + 40) & 0x80) != 0) active = load_le16(b + 40) & 0x0F;
    if (active >= fats) return false;
    v.fat_offset = offset + (uint64_t{reserved} + uint64_t{active} * fat_size) * bps;
    v.root_offset = offset + (reserved + uint64_t{fats} * fat_size) * bps;
    v.root_bytes = static_cast<uint32_t>(root_sectors * bps);
    v.root_cluster = v.kind == FsKind::Fat32 ? load_le32(b + 44) : 0;
    v.heap = offset + data_start * bps;
    return true;
}

bool exfat_volume(const uint8_t* b, uint64_t offset, Volume& v) {
    if (std::memcmp(b + 3, "EXFAT   ", 8) != 0) return false;
    const uint32_t bps_shift = b[108], spc_shift = b[109];
    if (bps_shift < 9 || bps_shift > 12 || spc_shift > 25 - bps_shift || b[110] < 1 || b[110] > 2) return false;
    const uint64_t bps = uint64_t{1} << bps_shift;
    const uint32_t active = b[110] == 2 ? (load_le16(b + 106) & 1) : 0;  // TexFAT keeps two
    v.kind = FsKind::ExFat;
    v.offset = offset;
    v.sector_bytes = static_cast<uint32_t>(bps);
    v.cluster_bytes = static_cast<uint32_t>(bps << spc_shift);
    v.fat_offset = offset + (uint64_t{load_le32(b + 80)} + uint64_t{active} * load_le32(b + 84)) * bps;
    v.heap = offset + uint64_t{load_le32(b + 88)} * bps;
    v.declared_clusters = load_le32(b + 92);
    v.root_cluster = load_le32(b + 96);
    return v.declared_clusters > 0 && load_le32(b + 80) >= 24;
}

// A volume's boot sector at `offset`, or false when none is there.
bool volume_at(ByteSource& source, uint64_t length, uint64_t offset, Volume& v) {
    uint8_t b[512];
    if (offset > length || length - offset < sizeof b || !source.read_at(offset, b, sizeof b)) return false;
    if (!exfat_volume(b, offset, v) && !fat_volume(b, offset, v)) return false;
    v.source_length = length;
    // FAT32's FSInfo sector: where the allocator was to look next, a hint the driver keeps.
    uint8_t info[512];
    const uint64_t info_at = offset + uint64_t{load_le16(b + 48)} * v.sector_bytes;
    if (v.kind == FsKind::Fat32 && load_le16(b + 48) != 0 && info_at <= length - sizeof info &&
        source.read_at(info_at, info, sizeof info) && load_le32(info) == 0x41615252u &&
        load_le32(info + 484) == 0x61417272u)
        v.next_free = load_le32(info + 492);
    // An image cut short ends the volume where it ends.
    const uint64_t room = v.heap < length ? (length - v.heap) / v.cluster_bytes : 0;
    v.clusters = room < v.declared_clusters ? static_cast<uint32_t>(room) : v.declared_clusters;
    return true;
}

struct Slot {
    uint64_t first_sector, sectors;
};

bool mbr_slots(const uint8_t* s, std::vector<Slot>& slots, bool& gpt) {
    if (s[510] != 0x55 || s[511] != 0xAA) return false;
    for (int k = 0; k < 4; ++k) {
        const uint8_t* e = s + 446 + 16 * k;
        if (e[4] == 0xEE) gpt = true;
        if (e[4] != 0 && (e[0] == 0 || e[0] == 0x80))
            slots.push_back({load_le32(e + 8), load_le32(e + 12)});
        else if (e[4] != 0)
            return false;  // a boot flag other than 00 or 80: not a table
    }
    return !slots.empty();
}

bool gpt_slots(ByteSource& source, uint64_t length, std::vector<Slot>& slots, std::string& error) {
    uint8_t h[92];
    if (length < 2 * kSector || !source.read_at(kSector, h, sizeof h) || std::memcmp(h, "EFI PART", 8) != 0)
        return error = "its protective MBR announces a GPT that is not there", false;
    const uint64_t table = load_le64(h + 72) * kSector;
    const uint32_t count = load_le32(h + 80), size = load_le32(h + 84);
    if (size < 128 || size > 4096 || count > kMaxGptEntries || table > length ||
        uint64_t{count} * size > length - table)
        return error = "its GPT's partition entries lie past the end or are malformed", false;
    std::vector<uint8_t> entries(uint64_t{count} * size);
    if (!source.read_at(table, entries.data(), entries.size())) return error = "its GPT cannot be read", false;
    for (uint32_t k = 0; k < count; ++k) {
        const uint8_t* e = entries.data() + uint64_t{k} * size;
        bool used = false;
        for (int i = 0; i < 16; ++i) used |= e[i] != 0;
        const uint64_t first = load_le64(e + 32), last = load_le64(e + 40);
        slots.push_back(used && last >= first ? Slot{first, last - first + 1} : Slot{0, 0});
    }
    return true;
}

}  // namespace

const char* kind_name(FsKind kind) {
    switch (kind) {
        case FsKind::Fat12: return "FAT12";
        case FsKind::Fat16: return "FAT16";
        case FsKind::Fat32: return "FAT32";
        case FsKind::ExFat: return "exFAT";
    }
    return "";
}

bool looks_like_card(const uint8_t* s) {
    Volume v;
    std::vector<Slot> slots;
    bool gpt = false;
    return exfat_volume(s, 0, v) || fat_volume(s, 0, v) || mbr_slots(s, slots, gpt);
}

Card read_card(ByteSource& source, uint64_t length) {
    Card card;
    uint8_t s[512];
    if (length < sizeof s)
        return card.error = "it is too small to hold a file system (" + std::to_string(length) + " bytes)", card;
    if (!source.read_at(0, s, sizeof s)) return card.error = "its first sector cannot be read", card;
    Volume bare;
    if (volume_at(source, length, 0, bare)) {  // a card formatted without a partition table
        card.volumes.push_back(read_volume(source, bare));
        return card;
    }
    std::vector<Slot> slots;
    bool gpt = false;
    if (!mbr_slots(s, slots, gpt))
        return card.error = "sector 0 holds neither a FAT or exFAT boot sector nor a partition table", card;
    const char* table = gpt ? "GPT" : "MBR";
    if (gpt && (slots.clear(), !gpt_slots(source, length, slots, card.error))) return card;
    for (size_t k = 0; k < slots.size(); ++k) {
        const Slot& slot = slots[k];
        const std::string name = "partition " + std::to_string(k + 1);
        if (slot.sectors == 0) continue;
        if (slot.first_sector >= length / kSector) {
            card.notes.push_back(name + " begins past the end of the source, at sector " +
                                 std::to_string(slot.first_sector));
            continue;
        }
        Volume v;
        if (!volume_at(source, length, slot.first_sector * kSector, v)) {
            card.notes.push_back(name + " holds no FAT or exFAT volume");
            continue;
        }
        v.partition = static_cast<int>(k + 1);
        v.table = table;
        card.volumes.push_back(read_volume(source, v));
    }
    if (card.volumes.empty())
        card.error = std::string("its ") + table + " names no partition holding a FAT or exFAT volume";
    return card;
}

}  // namespace ostrel::card
