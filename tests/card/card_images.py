"""Card images as a power cut leaves them, for card_check.py: made by mkfs.vfat and mcopy, or by
mkfs.exfat and this module's own entry-set writer, then edited where the recorder's driver had
not yet written: the entry's size and first cluster, the FAT chain, the exFAT bitmap."""
import struct
import subprocess


def run(*args):
    subprocess.run(list(args), check=True, capture_output=True)


class Fat:
    """A FAT12/16/32 volume in an image file, at `base` bytes (0, or a partition's start)."""

    def __init__(self, path, base=0):
        self.path, self.base = path, base
        b = self.read(0, 512)
        bps, self.spc, reserved, nfats, root_entries = struct.unpack_from("<HBHBH", b, 11)
        total = struct.unpack_from("<H", b, 19)[0] or struct.unpack_from("<I", b, 32)[0]
        fatsz = struct.unpack_from("<H", b, 22)[0] or struct.unpack_from("<I", b, 36)[0]
        self.bps, self.cs = bps, bps * self.spc
        self.fat_at = [reserved * bps + k * fatsz * bps for k in range(nfats)]
        self.root_at = (reserved + nfats * fatsz) * bps
        root_bytes = (root_entries * 32 + bps - 1) // bps * bps
        self.heap = self.root_at + root_bytes
        self.clusters = (total - self.heap // bps) // self.spc
        self.bits = 12 if self.clusters < 4085 else 16 if self.clusters < 65525 else 32
        self.root_cluster = struct.unpack_from("<I", b, 44)[0] if self.bits == 32 else 0

    def read(self, at, n):
        with open(self.path, "rb") as f:
            f.seek(self.base + at)
            return f.read(n)

    def write(self, at, data):
        with open(self.path, "r+b") as f:
            f.seek(self.base + at)
            f.write(data)

    def cluster_at(self, c):
        return self.heap + (c - 2) * self.cs

    def get(self, c):
        if self.bits == 12:
            v = struct.unpack("<H", self.read(self.fat_at[0] + c * 3 // 2, 2))[0]
            return v >> 4 if c & 1 else v & 0xFFF
        return struct.unpack("<H" if self.bits == 16 else "<I", self.read(self.fat_at[0] + c * self.bits // 8, self.bits // 8))[0]

    def set(self, c, value):
        for fat in self.fat_at:
            if self.bits == 12:
                old = struct.unpack("<H", self.read(fat + c * 3 // 2, 2))[0]
                new = (old & 0x000F) | (value << 4) if c & 1 else (old & 0xF000) | value
                self.write(fat + c * 3 // 2, struct.pack("<H", new))
            else:
                self.write(fat + c * self.bits // 8, struct.pack("<H" if self.bits == 16 else "<I", value))

    def chain(self, first):
        out, end = [], 0xFF8 if self.bits == 12 else 0xFFF8 if self.bits == 16 else 0x0FFFFFF8
        while 2 <= first < end and len(out) <= self.clusters:
            out.append(first)
            first = self.get(first)
        return out

    def dir_entries(self, first):
        """(offset in the volume, 32 bytes) of every entry of a directory; first 0 is the root."""
        if first == 0 and self.bits != 32:
            regions = [(self.root_at, self.heap - self.root_at)]
        else:
            regions = [(self.cluster_at(c), self.cs) for c in self.chain(first or self.root_cluster)]
        for at, n in regions:
            data = self.read(at, n)
            for k in range(0, n, 32):
                yield at + k, data[k:k + 32]

    def entry(self, path):
        """The offset of the short entry of `path` ("ZOOM0001/TAKE1.WAV")."""
        first = 0
        *folders, name = path.upper().split("/")
        for part in folders + [name]:
            for at, e in self.dir_entries(first):
                short = (e[:8].decode("latin1").rstrip() + "." + e[8:11].decode("latin1").rstrip()).rstrip(".")
                if e[11] != 0x0F and short == part:
                    break
            else:
                raise KeyError(path)
            first = struct.unpack_from("<H", e, 26)[0] | struct.unpack_from("<H", e, 20)[0] << 16
        return at, first

    def cut(self, path, size=0, keep_first=False, fat_kept=0, header_sizes=0):
        """What a power cut leaves: the entry at `size` with or without its first cluster, the FAT
        chain written for `fat_kept` clusters (ending there in an end-of-chain mark, or all of it
        with -1), the header's sizes as the recorder wrote them before Stop. Returns the chain."""
        at, first = self.entry(path)
        clusters = self.chain(first)
        e = bytearray(self.read(at, 32))
        struct.pack_into("<I", e, 28, size)
        if not keep_first:
            struct.pack_into("<HH", e, 20, 0, 0)
            struct.pack_into("<H", e, 26, 0)
        self.write(at, bytes(e))
        if fat_kept >= 0:
            for k, c in enumerate(clusters):
                self.set(c, 0 if k >= fat_kept else (0xFFFFFFF if self.bits == 32 else (1 << self.bits) - 1)
                         if k == fat_kept - 1 else clusters[k + 1])
        if header_sizes is not None:
            self.write(self.cluster_at(clusters[0]) + 4, struct.pack("<I", header_sizes))
            head = self.read(self.cluster_at(clusters[0]), 512)
            self.write(self.cluster_at(clusters[0]) + head.index(b"data") + 4, struct.pack("<I", header_sizes))
        return clusters

    def unlist(self, path, deleted=False):
        """A folder's entry in its parent, and its long name's, as a cache left them: never
        written (zeros), or deleted. Returns the folder's cluster."""
        at, first = self.entry(path)
        while True:
            self.write(at, b"\xe5" if deleted else bytes(32))
            at -= 32
            if self.read(at, 32)[11] != 0x0F:
                return first


def fat_image(path, size_mb, fat_bits, sectors_per_cluster, table="none", files=(), folders=()):
    """A FAT image of `size_mb`, bare or inside an MBR or GPT partition from 1 MiB; `files` are
    (local path, card path) copied in order with mcopy. Returns the volume."""
    subprocess.run(["truncate", "-s", f"{size_mb}M", path], check=True)
    base = 0 if table == "none" else 1 << 20
    if table != "none":
        kind = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" if table == "gpt" else "c"
        subprocess.run(["sfdisk", "-q", path], input=f"label: {'gpt' if table == 'gpt' else 'dos'}\n2048,,{kind}\n",
                       text=True, check=True, capture_output=True)
    size_kb = (size_mb * 1024 - base // 1024 - (1024 if table == "gpt" else 0))
    run("mkfs.vfat", "-F", str(fat_bits), "-s", str(sectors_per_cluster), "--offset", str(base // 512), "-n", "CARD",
        path, str(size_kb))
    target = f"{path}@@{base}"
    for folder in folders:
        run("mmd", "-i", target, "::" + folder)
    for local, card in files:
        run("mcopy", "-i", target, local, "::" + card)
    return Fat(path, base)


class ExFat:
    """An exFAT volume in an image file; files are put in through exfat-fuse on a loop device."""

    def __init__(self, path):
        self.path = path
        b = self.read(0, 512)
        self.bps, self.cs = 1 << b[108], 1 << (b[108] + b[109])
        self.fat_at = struct.unpack_from("<I", b, 80)[0] * self.bps
        self.heap = struct.unpack_from("<I", b, 88)[0] * self.bps
        self.root = struct.unpack_from("<I", b, 96)[0]

    read, write = Fat.read, Fat.write
    base = 0

    def cluster_at(self, c):
        return self.heap + (c - 2) * self.cs

    def entry_set(self, name, folder=None):
        """The offset of the file entry set named `name` in the root (or a folder's first cluster), and its bytes."""
        folder = folder or self.root
        data = self.read(self.cluster_at(folder), self.cs)
        for k in range(0, self.cs, 32):
            if data[k] == 0x85:
                count = data[k + 1] + 1
                s = bytearray(data[k:k + 32 * count])
                length = s[32 + 3]
                got = b"".join(s[64 + 32 * j + 2:64 + 32 * j + 32] for j in range(count - 2)).decode("utf-16-le")[:length]
                if got == name:
                    return self.cluster_at(folder) + k, s
        raise KeyError(name)

    def cut(self, name, size=0, keep_first=False, header_sizes=0, bitmap=False, folder=None):
        """The entry as exfat-fuse leaves it when killed mid-take: lengths 0, no first cluster, the
        take's bitmap bits clear unless `bitmap`. Returns the take's first cluster."""
        at, s = self.entry_set(name, folder)
        first = struct.unpack_from("<I", s, 32 + 20)[0]
        length = struct.unpack_from("<Q", s, 32 + 24)[0]
        struct.pack_into("<QIIQ", s, 32 + 8, size, 0, 0, size)
        if keep_first:
            struct.pack_into("<I", s, 32 + 20, first)
        else:
            struct.pack_into("<I", s, 32 + 20, 0)
        checksum = 0
        for k, byte in enumerate(s):
            if k not in (2, 3):
                checksum = ((checksum >> 1) | ((checksum & 1) << 15)) + byte & 0xFFFF
        struct.pack_into("<H", s, 2, checksum)
        self.write(at, bytes(s))
        if not bitmap:
            bmp = self.bitmap()
            for c in range(first, first + (length + self.cs - 1) // self.cs):
                byte = self.read(bmp + (c - 2) // 8, 1)[0]
                self.write(bmp + (c - 2) // 8, bytes([byte & ~(1 << ((c - 2) % 8))]))
        if header_sizes is not None:
            self.write(self.cluster_at(first) + 4, struct.pack("<I", header_sizes))
            head = self.read(self.cluster_at(first), 512)
            self.write(self.cluster_at(first) + head.index(b"data") + 4, struct.pack("<I", header_sizes))
        return first

    def bitmap(self):
        data = self.read(self.cluster_at(self.root), self.cs)
        k = next(k for k in range(0, self.cs, 32) if data[k] == 0x81)
        return self.cluster_at(struct.unpack_from("<I", data, k + 20)[0])


def exfat_image(path, size_mb, cluster_kb, files=()):
    """An exFAT image with `files` (local path, name in the root) written by exfat-fuse; None
    where a loop device and FUSE cannot be had (not root, or no /dev/fuse)."""
    import os
    import tempfile
    subprocess.run(["truncate", "-s", f"{size_mb}M", path], check=True)
    run("mkfs.exfat", "-c", f"{cluster_kb}K", path)
    if files:
        if os.geteuid() != 0 or not os.path.exists("/dev/fuse"):
            return None
        loop = subprocess.run(["losetup", "-f", "--show", path], capture_output=True, text=True)
        if loop.returncode:
            return None
        with tempfile.TemporaryDirectory() as mnt:
            try:
                run("mount.exfat-fuse", loop.stdout.strip(), mnt)
                for local, name in files:
                    os.makedirs(os.path.dirname(f"{mnt}/{name}"), exist_ok=True)
                    run("cp", local, f"{mnt}/{name}")
                run("umount", mnt)
            finally:
                subprocess.run(["losetup", "-d", loop.stdout.strip()], capture_output=True)
    return ExFat(path)
