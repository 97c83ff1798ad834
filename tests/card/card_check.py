#!/usr/bin/env python3
"""--recover on card images in the states a power cut leaves, made with dosfstools, mtools and
exfatprogs (exFAT files through exfat-fuse, where the test runs as root) and edited as the
recorder's driver left them; The Sleuth Kit confirms each image is what the case says.

After every case: the image is byte for byte unchanged; each recovered file holds every frame
of the take that reached the card, its header is right, and sox, ffprobe and libsndfile count
every whole frame or block. Usage: card_check.py TOOL_COMMAND... ; exit 77 (skipped) when a
tool is missing.
"""
import hashlib
import os
import pty
import re
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "interop"))
import codec_takes  # noqa: E402
import fatfs_cases as recorded  # noqa: E402
from card_images import ExFat, Fat, exfat_image, fat_image, run  # noqa: E402

TOOLS = ["mkfs.vfat", "mcopy", "mdel", "mkfs.exfat", "sfdisk", "fls", "icat", "sox", "ffprobe", "sndfile-info"]
TOOL = sys.argv[1:]
check = codec_takes.Checks()



def tool(*args, env=None):
    p = subprocess.run(TOOL + list(args), capture_output=True, text=True, env=env)
    return p.returncode, p.stdout, p.stderr


def on_terminal(args, env):
    """Each line the tool shows on standard error when that is a terminal."""
    leader, follower = pty.openpty()
    p = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=follower, env=env)
    os.close(follower)
    said = b""
    while True:
        try:
            said += (part := os.read(leader, 4096))
        except OSError:  # the tool has gone
            break
        if not part:
            break
    p.wait()
    os.close(leader)
    return [line.strip() for line in said.decode().replace("\x1b[K", "").split("\r") if line.strip()]


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 22):
            h.update(block)
    return h.hexdigest()


def readers(path):
    out = {}
    for name, cmd, pick in (("sox", ["sox", "--i", "-s", path], lambda o: int(o)),
                            ("ffprobe", ["ffprobe", "-v", "error", "-show_entries", "stream=duration_ts", "-of",
                                         "csv=p=0", path], lambda o: int(o)),
                            ("libsndfile", ["sndfile-info", path],
                             lambda o: int(re.findall(r"Frames\s*:\s*(\d+)", o)[-1]))):
        try:
            out[name] = pick(subprocess.run(cmd, capture_output=True, text=True, timeout=60).stdout.strip())
        except (ValueError, IndexError):
            out[name] = "unreadable"
    return out


def check_recovered(case, path, original):
    """Every byte of audio that reached the card is in the file, and every reader counts it."""
    info, orig = codec_takes.layout(path), codec_takes.layout(original)
    with open(path, "rb") as f, open(original, "rb") as o:
        got, want = f.read()[info["start"]:], o.read()[orig["start"]:]
    # Audio that ends in zeros fills clusters that read like space never written: not counted.
    frames = len(want.rstrip(b"\0")) // orig["align"] * orig["align"]
    check(got[:frames] == want[:frames], f"{case}: the recovered audio differs from the take's")
    whole, per_unit = codec_takes.whole_units(path)
    for reader, n in readers(path).items():
        check(isinstance(n, int) and whole - per_unit < n <= whole, f"{case}: {reader} counts {n} of {whole}")


def takes(d):
    """The takes the cases record: the format each was made in, and its file."""
    made = {}
    for name, args, seconds in (("pcm", ["-b", "16", "-c", "2", "-r", "48000"], 3),
                                ("6ch24", ["-b", "24", "-c", "6", "-r", "48000"], 1),
                                ("float", ["-e", "floating-point", "-b", "32", "-c", "1", "-r", "44100"], 1),
                                ("ima", ["-e", "ima-adpcm", "-c", "1", "-r", "8000"], 4),
                                ("old", ["-b", "16", "-c", "1", "-r", "8000"], 2),
                                ("hq", ["-b", "24", "-c", "2", "-r", "96000"], 2),
                                ("long", ["-b", "16", "-c", "2", "-r", "48000"], 6)):
        made[name] = f"{d}/{name}.wav"
        run("sox", "-n", *args, made[name], "synth", str(seconds), "sine", "440", "vol", "0.5")
    made["loud"] = f"{d}/loud.wav"  # noise at nearly full scale, as even as random bytes
    run("sox", "-n", "-b", "16", "-c", "2", "-r", "48000", made["loud"], "synth", "3", "whitenoise", "vol", "0.95")
    made["muted"] = f"{d}/muted.wav"  # a muted track: nothing but digital silence
    run("sox", "-n", "-b", "16", "-c", "1", "-r", "48000", made["muted"], "trim", "0", "3")
    made["pause"] = f"{d}/pause.wav"  # a paused digital input: 6 s of digital silence, 1.1 MiB
    run("sox", made["pcm"], made["pause"], "pad", "6@1.5")
    made["midframe"] = f"{d}/midframe.wav"  # cut mid-frame, as a crash mid-write leaves it
    with open(made["6ch24"], "rb") as f, open(made["midframe"], "wb") as out:
        out.write(f.read()[:-7])
    return made


def fat_cases(d, t):
    """(name, image, {card path: original}, more stdout expected, extra check) per case."""
    img = lambda n: f"{d}/{n}.img"  # noqa: E731
    out = []
    v = fat_image(img("fat32"), 300, 32, 8, files=[(t["pcm"], "ZOOM0001/ZOOM0001.WAV")], folders=["ZOOM0001"])
    v.cut("ZOOM0001/ZOOM0001.WAV")
    out.append(("FAT32, no table: 0-byte entry, no first cluster, no chain", img("fat32"),
                {"ZOOM0001/ZOOM0001.WAV": t["pcm"]}, [], ("ZOOM0001/ZOOM0001.WAV", 0)))
    v = fat_image(img("mbr"), 300, 32, 8, "mbr", files=[(t["6ch24"], "TAKE.WAV")])
    v.cut("TAKE.WAV", keep_first=True, fat_kept=-1)
    out.append(("FAT32 in MBR: 0-byte entry with its chain", img("mbr"), {"TAKE.WAV": t["6ch24"]}, [],
                ("TAKE.WAV", 0, 2048)))
    v = fat_image(img("gpt"), 300, 32, 8, "gpt", files=[(t["pcm"], "TAKE.WAV")])
    v.cut("TAKE.WAV", keep_first=True, fat_kept=10)
    out.append(("FAT32 in GPT: the chain ends in an end-of-chain mark while the audio goes on", img("gpt"),
                {"TAKE.WAV": t["pcm"]}, ["followed 9 links of the FAT"], None))
    v = fat_image(img("fat16"), 64, 16, 4, files=[(t["float"], "TAKE.WAV")])
    v.cut("TAKE.WAV", size=5 * v.cs, keep_first=True, fat_kept=-1)
    out.append(("FAT16: synced once, the entry's size stale, the header's sizes 0", img("fat16"),
                {"TAKE.WAV": t["float"]}, ["its header says it was still being recorded"], ("TAKE.WAV", 5 * v.cs)))
    v = fat_image(img("fat12"), 4, 12, 2, files=[(t["ima"], "FSCK0000.REC")])
    v.cut("FSCK0000.REC", size=3 * v.cs, keep_first=True, fat_kept=3)
    out.append(("FAT12: fsck kept the head as FSCK0000.REC, the tail still free", img("fat12"),
                {"FSCK0000.REC.wav": t["ima"]}, ["a lost chain that chkdsk or fsck kept"], None))
    filler = f"{d}/filler"
    with open(filler, "wb") as f:
        f.write(os.urandom(20 * 2048))
    v = fat_image(img("around"), 64, 16, 4, files=[(filler, "FILLER"), (filler, "LIVE.BIN")])
    run("mdel", "-i", img("around"), "::FILLER")  # the hole before LIVE.BIN is where TAKE.WAV begins
    run("mcopy", "-i", img("around"), t["midframe"], "::TAKE.WAV")
    v.cut("TAKE.WAV")
    out.append(("FAT16: a take cut mid-frame, around a live file's clusters", img("around"),
                {"TAKE.WAV": t["midframe"]}, ["passed over: a live file"], None))
    sectors, part = f"{d}/sectors.wav", f"{d}/part.wav"  # audio written a sector at a time; a sector half written
    with open(t["long"], "rb") as f, open(sectors, "wb") as out_sectors, open(part, "wb") as out_part:
        data = f.read()
        out_sectors.write(data[:(1 << 20) + 3 * 512])
        out_part.write(data[:(1 << 20) + 3 * 512 + 100])
    # The loud take runs on to the card's end: a small card, so that it is not 300 MB long.
    for name, take, mb, bits, what in (
            ("photos", sectors, 300, 32, "the take runs into compressed data, and ends where its audio does"),
            ("part", part, 300, 32, "the take runs into compressed data from inside its last sector, and keeps all of it"),
            ("noise", t["loud"], 48, 16, "a take of loud noise, as even as the compressed data after it, is never cut "
                                         "short")):
        with open(img(name), "wb") as f:  # a card that held photos: compressed data in every free cluster
            f.write(os.urandom(mb << 20))
        v = fat_image(img(name), mb, bits, 8, files=[(take, "TAKE.WAV")])
        v.cut("TAKE.WAV", keep_first=True, fat_kept=-1)
        out.append((f"FAT{bits} that held photos: {what}", img(name), {"TAKE.WAV": take}, [], None))
    # Written through a cache: the FAT and an fsync's entry size went out, the last clusters'
    # audio never did. A muted track's digital silence is its own, and stays.
    unwritten = f"{d}/unwritten.wav"
    with open(t["long"], "rb") as f, open(unwritten, "wb") as out_unwritten:
        out_unwritten.write(f.read() + bytes(96 * 4096))
    for name, take, size, want, what in (
            ("unwritten", unwritten, os.path.getsize(t["long"]) // 2, t["long"],
             "the take's chain runs on into clusters never written, and the take ends where its audio does"),
            ("muted", t["muted"], 0, t["muted"], "a muted track of digital silence keeps its length")):
        v = fat_image(img(name), 300, 32, 8, files=[(take, "TAKE.WAV")])
        v.cut("TAKE.WAV", size=size, keep_first=True, fat_kept=-1)
        out.append((f"FAT32 written through a cache: {what}", img(name), {"TAKE.WAV": want},
                    ["hold nothing (never written) and are left out"] if name == "unwritten" else [], None))
    v = fat_image(img("two"), 300, 32, 8, files=[(t["pcm"], "A.WAV"), (t["float"], "B.WAV"), (t["old"], "OLD.WAV")])
    first_a, first_b = v.cut("A.WAV")[0], v.cut("B.WAV")[0]
    run("mdel", "-i", img("two"), "::OLD.WAV")  # an older take deleted: its header stops B, and stays
    out.append(("FAT32: two lost takes, then a take the user deleted", img("two"),
                {f"lost-cluster{first_a}.wav": t["pcm"], f"lost-cluster{first_b}.wav": t["float"]},
                [f"cluster {first_b} begins another take", "1 take deleted on the card was left alone"], None))
    raw = f"{d}/raw"  # a recorder that writes the header only at Stop
    with open(t["pcm"], "rb") as f, open(raw, "wb") as out_raw:
        out_raw.write(f.read()[codec_takes.layout(t["pcm"])["start"]:])
    v = fat_image(img("headerless"), 300, 32, 8, files=[(t["pcm"], "Z/OK.WAV"), (raw, "Z/TAKE.WAV")], folders=["Z"])
    v.cut("Z/TAKE.WAV", keep_first=True, header_sizes=None)
    out.append(("FAT32: a take without a header beside a healthy one", img("headerless"), {"Z/TAKE.WAV": t["pcm"]},
                ["the header of /Z/OK.WAV, a guess at its format"], None))
    raw_hq = f"{d}/raw_hq"  # its format is its folder's, not the newest take's on the card
    with open(t["hq"], "rb") as f, open(raw_hq, "wb") as out_raw:
        out_raw.write(f.read()[codec_takes.layout(t["hq"])["start"]:])
    v = fat_image(img("chain"), 300, 32, 8, files=[(t["hq"], "Z/OK.WAV"), (raw_hq, "Z/TAKE.WAV"), (t["pcm"], "NEW.WAV")],
                  folders=["Z"])
    v.cut("Z/TAKE.WAV", fat_kept=-1, header_sizes=None)
    out.append(("FAT32: a take without a header, found by its chain, in its folder's format", img("chain"),
                {"Z/TAKE.WAV": t["hq"]}, ["the head of a lost chain in the FAT, with no header: written before it is "
                                          "the header of /Z/OK.WAV", "named after /Z/TAKE.WAV, the one entry"], None))
    v = fat_image(img("pause"), 300, 32, 8, files=[(t["pause"], "TAKE.WAV")])
    v.cut("TAKE.WAV", keep_first=True, fat_kept=-1)
    out.append(("FAT32: a chain that runs through 6 s of digital silence", img("pause"), {"TAKE.WAV": t["pause"]},
                [], None))
    v = fat_image(img("unlisted"), 300, 32, 8, files=[(t["pcm"], "Take 01/TR1.WAV"), (t["float"], "Take 01/TR2.WAV"),
                                                     (t["6ch24"], "TAKE02/TR3.WAV")], folders=["Take 01", "TAKE02"])
    for take in ("TAKE01~1/TR1.WAV", "TAKE01~1/TR2.WAV", "TAKE02/TR3.WAV"):  # fsync: the entry, its chain
        v.cut(take, size=2 * v.cs, keep_first=True, fat_kept=-1)
    v.unlist("TAKE01~1", deleted=True)
    bare = v.unlist("TAKE02")
    out.append(("FAT32 by Linux's vfat: fsync wrote the takes' entries, not their folders' in the root", img("unlisted"),
                {"Take 01/TR1.WAV": t["pcm"], "Take 01/TR2.WAV": t["float"], f"folder-cluster{bare}/TR3.WAV": t["6ch24"]},
                [f"/folder-cluster{bare}/: a folder no directory lists"], None))
    return out + formatted_cases(d, t) + window_cases(d, t) + written_back_case(d, t)


def split(d, t, take, at, names):
    """`take` (16-bit PCM, a 44-byte header) as two takes: its audio before byte `at`, and after."""
    with open(t[take], "rb") as f:
        pcm = f.read()
    for name, audio in zip(names, (pcm[44:44 + at], pcm[44 + at:])):
        t[name] = f"{d}/{name}.wav"
        with open(t[name], "wb") as f:
            f.write(pcm[:4] + struct.pack("<I", 36 + len(audio)) + pcm[8:40] + struct.pack("<I", len(audio)) + audio)


def window_cases(d, t):
    """A take on a card used before, its audio past the FAT sector of its chain's last mark: cut
    there where the mark is the first of its clusters in that sector, as FatFs's one-sector
    buffer leaves it, the rest kept beside; whole where the mark lies further in, as a cache's
    snapshot leaves it."""
    out = []
    for name, into in (("buffer", 0), ("cache", 5)):
        path = f"{d}/{name}.img"
        v = fat_image(path, 300, 32, 8, files=[(f"{d}/filler", "OLD.BIN"), (t["long"], "TAKE.WAV")])
        run("mdel", "-i", path, "::OLD.BIN")
        first, per = v.entry("TAKE.WAV")[1], v.bps * 8 // v.bits
        mark = (first // per + 1) * per + into  # the first of its clusters in the next sector, or further in
        v.cut("TAKE.WAV", keep_first=True, fat_kept=mark - first + 1)
        split(d, t, "long", (mark - mark % per + per - first) * v.cs - 44, ("window", "past"))
        out.append((f"FAT32 used before, the chain's mark {into} clusters into its FAT sector", path,
                    {"TAKE.WAV": t["long"]} if into else {"TAKE.WAV": t["window"], "TAKE after the end.wav": t["past"]},
                    [] if into else [f"covers clusters up to {mark + per - 1}"], None))
    return out


def formatted_cases(d, t):
    """A quick-formatted card: two older takes closed properly, one whose recorder rewrote its
    sizes half-way through, and over them a take lost today."""
    zeros, path = f"{d}/zeros", f"{d}/formatted.img"
    with open(zeros, "wb") as f:
        f.write(bytes(3 << 20))
    v = fat_image(path, 300, 32, 8, files=[(zeros, "ZEROS"), (t["old"], "OLD1.WAV"), (t["hq"], "OLD2.WAV"),
                                           (t["pcm"], "HALF.WAV")])
    clusters = [v.entry(name)[1] for name in ("OLD1.WAV", "OLD2.WAV", "HALF.WAV")]
    with open(t["pcm"], "rb") as f:
        pcm = f.read()
    half = (len(pcm) - 44) // 8 * 4  # what the sizes said when the recorder last wrote them
    v.write(v.cluster_at(clusters[2]) + 4, struct.pack("<I", 36 + half))
    v.write(v.cluster_at(clusters[2]) + 40, struct.pack("<I", half))
    split(d, t, "pcm", half, ("half", "after"))
    v = fat_image(path, 300, 32, 8, files=[(t["float"], "TAKE.WAV")])  # formatted again, as the recorder does
    v.cut("TAKE.WAV")
    return [("FAT32 quick-formatted over older takes: each at its own length, what followed one kept apart", path,
             {"TAKE.WAV": t["float"], f"older-cluster{clusters[0]}.wav": t["old"],
              f"older-cluster{clusters[1]}.wav": t["hq"], f"older-cluster{clusters[2]}.wav": t["half"],
              f"older-cluster{clusters[2]} after the end.wav": t["after"]},
             ["an older take, whole by its own header", "kept apart, in that take's format"], None)]


def written_back_case(d, t):
    """A take written back through a cache onto a card used before: its last block holds its audio
    to the file's size at that moment, then zeros; after it, an older take of the same track (the
    same tone, noise and format) that the take's unwritten blocks never covered."""
    path, t["older"], t["written"] = f"{d}/written-back.img", f"{d}/older.wav", f"{d}/written.wav"
    for key, tone, seconds in (("older", 295, 6), ("written", 290, 3)):
        run("sox", "-R", "-n", "-b", "16", "-c", "1", "-r", "48000", t[key], "synth", str(seconds), "sine", str(tone),
            "synth", "whitenoise", "mix", "vol", "0.3")
    with open(t["written"], "rb") as f:
        data = f.read()
    data = data[:len(data) // 512 * 512 - 200]  # the file's size mid-block, at a whole frame
    with open(t["written"], "wb") as f:
        f.write(data + bytes(-len(data) % 512))
    fat_image(path, 300, 32, 8, files=[(t["older"], "TAKE.WAV")])
    v = fat_image(path, 300, 32, 8, files=[(t["written"], "TAKE.WAV")])  # formatted over it, as the recorder does
    v.cut("TAKE.WAV")
    split(d, t, "older", os.path.getsize(t["written"]) - 44, ("older-head", "older-rest"))
    return [("FAT32 used before, written back through a cache: the take ends at its last block's zeros, the older "
             "take's audio in the blocks never written after it kept apart", path,
             {"TAKE.WAV": t["written"], "TAKE after the end.wav": t["older-rest"]},
             ["its last block written ends in zeros"], None)]


def fatfs_cases(d, t):
    """Takes that ChaN's FatFs, as recorders run it, was writing when the power went."""
    here = os.path.dirname(os.path.abspath(__file__))
    module = os.path.join(here, "..", "..", "web", "node_modules", "js-fatfs")
    if not shutil.which("node") or not os.path.isdir(module):
        print("FatFs: not tried (needs node and js-fatfs: npm ci in web/)")
        return []
    out = []
    for sync, take, says in (("", "pcm", "which no entry holds"), ("sync-once", "ima", "was still being recorded")):
        path = f"{d}/fatfs{sync}.img"
        fat_image(path, 300, 32, 8, files=[(t["old"], "OK.WAV")])
        subprocess.run(["node", f"{here}/fatfs_power_cut.mjs", module, path, t[take], "TAKE.WAV", sync], check=True)
        reached = f"{d}/{take}_reached.wav"  # FatFs still held the last partial sector in its buffer
        with open(t[take], "rb") as f, open(reached, "wb") as r:
            data = f.read()
            r.write(data[:len(data) // 512 * 512])
        out.append((f"FAT32 written by FatFs, cut {'after one f_sync' if sync else 'before any sync'}", path,
                    {"TAKE.WAV": reached}, [says], None))
    return out


def exfat_cases(d, t):
    out = []
    for kb in (32, 128):
        path = f"{d}/exfat{kb}.img"
        v = exfat_image(path, 96, kb, [(t["pcm"], "take.wav"), (t["old"], "live.wav")])
        if v is None:
            print(f"exFAT {kb} KiB: not tried (needs root, a loop device and /dev/fuse for exfat-fuse)")
            continue
        v.cut("take.wav")
        out.append((f"exFAT {kb} KiB clusters: lengths 0, no first cluster, bitmap bits clear", path,
                    {"take.wav": t["pcm"]}, [], ("take.wav", 0)))
    with open(f"{d}/exphotos.img", "wb") as f:  # a card that held photos: compressed data in every free cluster
        f.write(os.urandom(96 << 20))
    v = exfat_image(f"{d}/exphotos.img", 96, 32, [(f"{d}/sectors.wav", "take.wav")])
    if v:
        v.cut("take.wav")
        out.append(("exFAT that held photos: the take runs into compressed data, and ends where its audio does",
                    f"{d}/exphotos.img", {"take.wav": f"{d}/sectors.wav"}, [], None))
    v = exfat_image(f"{d}/exunlisted.img", 96, 32, [(t["old"], "live.wav"), (t["pcm"], "Take 01/take.wav")])
    if v:  # its folder's entry set deleted in the root, the take's entry as it synced
        at, folder = v.entry_set("Take 01")
        v.cut("take.wav", size=2 * v.cs, keep_first=True, bitmap=True, folder=struct.unpack_from("<I", folder, 52)[0])
        v.write(at, bytes(b & 0x7F if k % 32 == 0 else b for k, b in enumerate(folder)))
        out.append(("exFAT: a folder no directory lists, its deleted entry set naming it", f"{d}/exunlisted.img",
                    {"Take 01/take.wav": t["pcm"]}, ["a folder no directory lists"], None))
    if out:  # an entry set whose checksum is wrong is named and walked around
        shutil.copy(f"{d}/exfat32.img", f"{d}/checksum.img")
        at, entry_set = ExFat(f"{d}/checksum.img").entry_set("live.wav")
        ExFat(f"{d}/checksum.img").write(at + 2, bytes([entry_set[2] ^ 0xFF]))
        status, _, err = tool("--check", "--recover", f"{d}/none", f"{d}/checksum.img")
        check(status == 1 and "has a wrong checksum; skipped" in err, f"exFAT checksum: {status} {err}")
    return out


def check_case(d, case, image, expected, said, sleuth):
    if sleuth:  # the independent reader sees the entry as the case says
        name, size = sleuth[:2]
        at = ["-o", str(sleuth[2])] if len(sleuth) > 2 else []
        listing = subprocess.run(["fls", "-r", "-p", *at, image], capture_output=True, text=True).stdout
        inode = re.search(r"(\d+)(?:-\S+)?:\s+" + re.escape(name) + "$", listing, re.M)
        data = subprocess.run(["icat", *at, image, inode.group(1)], capture_output=True).stdout if inode else None
        check(data is not None and len(data) == size, f"{case}: The Sleuth Kit reads {name} as "
              f"{'missing' if data is None else len(data)} bytes, not {size}")
    before = digest(image)
    into = f"{d}/out {os.path.basename(image)}"
    status, listed, _ = tool("--check", "--recover", into, image)
    check(status == 1 and not os.path.exists(into), f"{case}: --check said {status} or wrote")
    status, out, err = tool("-v", "--recover", into, image)
    check(status == 0, f"{case}: status {status}: {err}")
    check(digest(image) == before, f"{case}: the image changed")
    check(listed.replace("Would recover", "Recovered").splitlines() ==
          [line for line in out.splitlines() if not line.startswith("  ")], f"{case}: --check differs:\n{listed}")
    for name, original in expected.items():
        path = os.path.join(into, name)
        check(f" into {path}: " in out, f"{case}: no line for {path} in\n{out}")
        if os.path.exists(path):
            check_recovered(case, path, original)
            # Past a take's end on a card that held other data, or in clusters never written, at
            # most the sector its audio ends in; silence of its own, all of it.
            over = os.path.getsize(path) - os.path.getsize(original)
            if "runs into compressed data" in case or ("never written" in case and "after the end" not in name):
                check(over <= 512, f"{case}: {name} holds {over} bytes more than the take")
            if "keeps its length" in case:
                check(over >= 0, f"{case}: {name} is {-over} bytes shorter than the take")
        if name.startswith("older-") and not name.endswith(" end.wav"):  # never lengthened
            check(os.path.getsize(path) == os.path.getsize(original), f"{case}: {name} is {os.path.getsize(path)}")
    found = sum(1 for line in out.splitlines() if line.startswith("Recovered"))
    check(found == len(expected), f"{case}: {found} takes recovered, not {len(expected)}:\n{out}")
    for words in said:
        check(words in out + err, f"{case}: -v does not say \"{words}\":\n{out}{err}")
    print(f"{case}: {found} recovered")


def check_bad_inputs(d, t):
    """Each gets a clear message naming the source and what is wrong, and nothing hangs."""
    good = fat_image(f"{d}/good.img", 300, 32, 8, files=[(t["pcm"], "TAKE.WAV"), (t["old"], "LIVE.WAV")],
                     folders=["SUB"])
    good.cut("TAKE.WAV")
    live = good.entry("LIVE.WAV")[1]
    sub_at = good.entry("SUB")[1]

    def variant(name, edit):
        path = f"{d}/{name}.img"
        shutil.copy(f"{d}/good.img", path)
        edit(path, Fat(path))
        return path

    def write(path, at, data):
        with open(path, "r+b") as f:
            f.seek(at)
            f.write(data)

    cases = [
        ("empty image", lambda p, v: os.truncate(p, 0), 1, "too small to hold a file system"),
        ("garbage", lambda p, v: write(p, 0, os.urandom(4096)), 1, "holds neither a FAT or exFAT boot sector"),
        ("truncated inside the take", lambda p, v: os.truncate(p, v.cluster_at(v.entry("LIVE.WAV")[1]) + 4096), 0,
         "the source ends inside the volume"),
        ("a FAT chain that loops", lambda p, v: v.set(live + 1, live), 0, "LIVE.WAV: its chain ends after"),
        ("chains that cross", lambda p, v: v.set(live, 3), 0, "shares cluster"),
        ("a cluster past the end", lambda p, v: v.set(live, 0x0FFFFFF0 - 1), 0, "LIVE.WAV: its chain ends after"),
        ("a directory inside itself", lambda p, v: write(p, v.cluster_at(sub_at) + 64, b"LOOP       \x10" + bytes(8) +
                                                         struct.pack("<HHHHI", sub_at >> 16, 0, 0, sub_at & 0xFFFF, 0)),
         0, "shares cluster"),
        ("a partition past the end", lambda p, v: write(p, 0, bytes(446) + bytes([0, 0, 0, 0, 0x0C, 0, 0, 0]) +
                                                         struct.pack("<II", 1 << 30, 2048) + bytes(48) + b"\x55\xAA"),
         1, "partition 1 begins past the end of the source"),
    ]
    for name, edit, status, words in cases:
        path = variant(name.replace(" ", "_"), edit)
        before = digest(path)
        got, out, err = tool("-v", "--recover", f"{d}/bad out", path)
        check(got == status and words in err and path in err, f"{name}: status {got}, said {err!r}")
        check(digest(path) == before, f"{name}: the image changed")
        print(f"bad input, {name}: {err.strip().splitlines()[0]}")


def check_failing_reader(d, t):
    """A card with bad sectors: each costs its own 512 bytes, said once, with the take it is in."""
    shim, cc = f"{d}/failing.so", shutil.which("cc")
    if not cc or os.uname().sysname != "Linux" or subprocess.run(
            [cc, "-shared", "-fPIC", "-o", shim, os.path.join(os.path.dirname(__file__), "failing_reader.c"), "-ldl"],
            capture_output=True).returncode != 0:
        print("a card with bad sectors: not tried (needs Linux and a C compiler)")
        return

    def start_of(image, original):  # the take's first byte on the card, where its audio is found
        with open(image, "rb") as i, open(original, "rb") as o:
            return i.read().find(o.read()[4096:8192]) - 4096

    fat32, fat16 = f"{d}/fat32.img", f"{d}/fat16.img"
    zoom, take = "ZOOM0001/ZOOM0001.WAV", "TAKE.WAV"
    for case, image, bad, status, file, original in (
            ("a bad sector inside a lost take", fat32, start_of(fat32, t["pcm"]) + 8192, 0, zoom, t["pcm"]),
            ("a bad sector in the clusters the entry holds", fat16, start_of(fat16, t["float"]) + 4096, 0, take,
             t["float"]),
            ("a bad boot sector", fat32, 0, 1, None, None)):
        into = f"{d}/bad sector {case}"
        env = {**os.environ, "LD_PRELOAD": shim, "FAILING_FILE": os.path.realpath(image),
               "FAILING_SECTORS": str(bad), "ASAN_OPTIONS": "verify_asan_link_order=0:detect_leaks=0"}
        got, _, err = tool("--recover", into, image, env=env)
        said = [line for line in err.splitlines() if "could not be read" in line]
        want = f"512 bytes at offset {bad} could not be read" + (f"; they are zeros in {into}/{file}" if file else "")
        check(got == status and said == [f"ostrel_32bit: {image}: {want}"], f"{case}: status {got}, said {err!r}")
        if file and os.path.exists(f"{into}/{file}"):
            with open(f"{into}/{file}", "rb") as f, open(original, "rb") as o:
                got_bytes, want_bytes = f.read(), o.read()
            at, h = bad - start_of(image, original), codec_takes.layout(original)["start"]
            check(got_bytes[h:at] == want_bytes[h:at] and got_bytes[at:at + 512] == bytes(512) and
                  got_bytes[at + 512:len(want_bytes)] == want_bytes[at + 512:], f"{case}: more than the sector is lost")
        print(f"{case}: {said}")
    # Ctrl-C while the second of two takes is written: the first stays whole, the second goes,
    # and a second run recovers it without writing the first again.
    two, into = f"{d}/two.img", f"{d}/interrupted"
    second = start_of(two, t["float"]) + 8192  # read by the scan, by the look at where its sound ends, by the copy
    env = {**os.environ, "LD_PRELOAD": shim, "FAILING_FILE": os.path.realpath(two), "INTERRUPT_AT": f"{second},3",
           "ASAN_OPTIONS": "verify_asan_link_order=0:detect_leaks=0"}
    got, out, err = tool("--recover", into, two, env=env)
    lines = [line.split(" from ")[0] for line in out.splitlines()]
    check(got == 1 and lines[0].startswith("Recovered") and lines[1].startswith("Stopped while writing") and
          "1 of the 2 takes found are recovered" in err and len(os.listdir(into)) == 1, f"Ctrl-C: {got} {out}{err}")
    check_recovered("Ctrl-C", os.path.join(into, os.listdir(into)[0]), t["pcm"])
    got, out, _ = tool("--recover", into, two)
    check(got == 0 and [line[:9] for line in out.splitlines()] == ["Already r", "Recovered"], f"after Ctrl-C: {out}")
    # Ctrl-C while the rest of the card is read: the take where the recorder was writing is out,
    # whole, before the card's last sectors are read.
    into = f"{d}/interrupted while reading"
    env["FAILING_FILE"], env["INTERRUPT_AT"] = os.path.realpath(f"{d}/fat32.img"), f"{(290 << 20)},1"
    got, out, err = tool("--recover", into, f"{d}/fat32.img", env=env)
    check(got == 1 and out.startswith("Recovered") and "take recovered before is whole" in err,
          f"Ctrl-C while reading: {got} {out}{err}")
    check_recovered("Ctrl-C while reading", f"{into}/ZOOM0001/ZOOM0001.WAV", t["pcm"])
    # Four takes recorded together by FatFs on a card read at 40 MB/s: on a terminal, the progress
    # moves at three moments at least, each saying how long is left, and never goes back.
    rec, why = recorded.build_recorder(d)
    if not rec:
        return print(f"progress of a slow card: not tried ({why})")
    four = [(f"TR{k}.WAV", recorded.track_sound(d, f"track{k}", k), 14400) for k in range(4)]
    slow = recorded.record(rec, d, "slow", "exfat", 128, 32768, four)["image"]
    del env["INTERRUPT_AT"]
    env.update(FAILING_FILE=os.path.realpath(slow), READ_MBPS="40")
    shown = on_terminal(TOOL + ["--recover", f"{d}/slow out", slow], env)
    done = [int(line.split("%")[0]) for line in shown]
    check(done == sorted(done) and len({n for n, line in zip(done, shown) if line.endswith(" left")}) >= 3 and
          any("sharing out the clusters of 4 takes recorded together: " in line for line in shown), f"progress: {shown}")
    print(f"progress of a slow card: {shown[0]} ... {shown[-1]}")


def check_runs(d, t):
    """A second run, --check across cards, a format given with --like, a planted link, the
    folder and the card swapped: each says what it did, and writes only what it says."""
    other = f"{d}/other.img"  # another card whose take has the same name and other audio
    fat_image(other, 300, 32, 8, files=[(t["6ch24"], "ZOOM0001/ZOOM0001.WAV")], folders=["ZOOM0001"]).cut(
        "ZOOM0001/ZOOM0001.WAV")
    raw = f"{d}/raw"
    fat_image(f"{d}/alone.img", 300, 32, 8, files=[(raw, "TAKE.WAV")]).cut("TAKE.WAV", fat_kept=-1, header_sizes=None)
    into, elsewhere = f"{d}/again", f"{d}/elsewhere"
    os.makedirs(f"{d}/linked")
    os.makedirs(elsewhere)
    os.symlink(elsewhere, f"{d}/linked/ZOOM0001")  # planted where the card's folder goes
    sep, zoom = os.sep, f"ZOOM0001{os.sep}ZOOM0001"
    cards = [f"{d}/fat32.img", other]
    for args, status, lines, err in (
            (["--check", "--recover", into, *cards], 1, [f"Would recover {into}{sep}{zoom}.WAV",
                                                      f"Would recover {into}{sep}{zoom}-2.WAV"], ""),
            (["--recover", into, *cards], 0, [f"Recovered {into}{sep}{zoom}.WAV",
                                              f"Recovered {into}{sep}{zoom}-2.WAV"], ""),
            (["--recover", into, *cards], 0, [f"Already recovered {into}{sep}{zoom}.WAV",
                                              f"Already recovered {into}{sep}{zoom}-2.WAV"], ""),
            (["--check", "--recover", into, *cards], 0, [f"Already recovered {into}{sep}{zoom}.WAV",
                                                         f"Already recovered {into}{sep}{zoom}-2.WAV"], ""),
            (["--check", "--recover", f"{d}/twice", cards[0], cards[0]], 1,
             [f"Would recover {d}/twice{sep}{zoom}.WAV", f"Already recovered {d}/twice{sep}{zoom}.WAV"], ""),
            (["--recover", f"{d}/alone", f"{d}/alone.img"], 1, ["Cannot recover /TAKE.WAV"], ""),
            (["--like", t["pcm"], "--recover", f"{d}/alone", f"{d}/alone.img"], 0,
             [f"Recovered {d}/alone{sep}TAKE.WAV"], ""),
            (["--recover", f"{d}/linked", cards[0]], 1, [f"Will not write {d}/linked{sep}{zoom}.WAV"], ""),
            (["--recover", cards[0], f"{d}/linked"], 2, [], "the folder to recover into comes first"),
            (["--like", cards[0], "--recover", into, cards[0]], 2, [], "whose format can be lent")):
        got, out, err_text = tool(*args)
        said = [re.sub(r" (/\S*|the take at cluster \d+) from \S+ into", "", line) for line in out.splitlines()
                if not line.startswith(" ")]
        check(got == status and len(said) == len(lines) and all(a.startswith(b) for a, b in zip(said, lines)) and
              err in err_text,
              f"{' '.join(args[:-1])}: {got}\n{out}{err_text}")
    check(os.listdir(elsewhere) == [], "a link was followed")
    check_recovered("--like", f"{d}/alone/TAKE.WAV", t["pcm"])


def check_shell(d, t):
    """What surrounds the finder: a name that climbs out of the folder, a failing card, sudo."""
    v = fat_image(f"{d}/escape.img", 300, 32, 8, files=[(t["pcm"], "xxxxxxxxxxxxxxxxxxx.WAV")])
    at = v.entry("XXXXXX~1.WAV")[0]
    name = "../../../ESCAPE.WAV".encode("utf-16-le")  # 19 characters: two long-name entries
    for k, piece in ((at - 64, name[26:] + b"\0\0" + b"\xff" * 10), (at - 32, name[:26])):
        e = bytearray(v.read(piece_at := k, 32))
        chars = piece.ljust(26, b"\xff")
        e[1:11], e[14:26], e[28:32] = chars[:10], chars[10:22], chars[22:26]
        v.write(piece_at, bytes(e))
    v.cut("XXXXXX~1.WAV")
    into = f"{d}/escape out/deep"
    status, out, err = tool("--recover", into, f"{d}/escape.img")
    check(status == 0 and os.path.exists(f"{into}/_/_/_/ESCAPE.WAV"), f"escape: {out}{err}")
    check_failing_reader(d, t)
    if os.geteuid() == 0:
        env = {**os.environ, "SUDO_UID": "65534", "SUDO_GID": "65534"}
        tool("--recover", f"{d}/sudo out", f"{d}/fat32.img", env=env)
        owner = os.stat(f"{d}/sudo out/ZOOM0001/ZOOM0001.WAV")
        check((owner.st_uid, owner.st_gid) == (65534, 65534), "sudo: the take belongs to root")
    else:
        print("skipped: the takes of a run under sudo given to its user (needs root)")
    mounted = exfat_image(f"{d}/mounted.img", 64, 32, [(t["old"], "ok.wav")])
    loop = subprocess.run(["losetup", "-r", "-f", "--show", f"{d}/mounted.img"], capture_output=True, text=True)
    if mounted and loop.returncode == 0:  # the card as a device, mounted read-only
        device, mnt = loop.stdout.strip(), f"{d}/mnt"
        os.mkdir(mnt)
        try:
            run("mount.exfat-fuse", "-o", "ro", device, mnt)
            status, out, err = tool("--recover", f"{mnt}/out", device)
            check(status == 1 and "could overwrite the very clusters" in err and not out, f"into the card: {err}")
            status, out, err = tool("--recover", f"{d}/from mount", mnt)
            check(status == 0 and out == f"No lost take found on {mnt}.\n", f"from the mount folder: {status} {out}{err}")
        finally:
            subprocess.run(["umount", mnt], capture_output=True)
            subprocess.run(["losetup", "-d", device], capture_output=True)
    else:
        print("skipped: a card mounted from a loop device (needs root, losetup and exfat-fuse)")
    status, out, err = tool("--recover", f"{d}/none", f"{d}/missing.img")
    check(status == 1 and "no such image" in err, f"a missing source: {status} {err}")
    status, out, err = tool("--check", "--recover", f"{d}/none", f"{d}/fat32.img", f"{d}/missing.img")
    check(status == 1 and out.startswith("Would recover"), f"--check with a missing source: {status} {out}")


def main():
    missing = [name for name in TOOLS if not shutil.which(name)]
    if missing:
        print("skipped: not installed: " + " ".join(missing))
        return 77
    with tempfile.TemporaryDirectory() as d:
        t = takes(d)
        for case, image, expected, said, sleuth in fat_cases(d, t) + fatfs_cases(d, t) + exfat_cases(d, t):
            check_case(d, case, image, expected, said, sleuth)
        check_bad_inputs(d, t)
        check_shell(d, t)
        check_runs(d, t)
    return check.close()


if __name__ == "__main__":
    sys.exit(main())
