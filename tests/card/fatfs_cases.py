#!/usr/bin/env python3
"""Card images recorded by ChaN's FatFs, the driver inside many recorders: several tracks open at
once, written in turns, and cut as a dead battery cuts them (fatfs_recorder.c, built here from
tests/third_party/fatfs); and a judge of what --recover gives back.

Usage: fatfs_cases.py [--measure] TOOL_COMMAND... builds every case in a temporary folder, checks
each image with The Sleuth Kit, recovers each card with TOOL -v --recover and prints a row per
track. As a check (the default), every track must come back whole and named after its entry,
with nothing of another file before its end, and the image unchanged; --measure only prints the
rows and how FatFs left each track's chain. Exit 77 when skipped.
"""
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

from card_images import ExFat, Fat

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "interop"))
import codec_takes  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
FATFS = os.path.normpath(os.path.join(HERE, "..", "third_party", "fatfs"))
BIG = 2056  # MiB: FatFs makes FAT32 only with 65526 clusters or more, which at 32 KiB is 2 GiB


def build_recorder(d):
    """fatfs_recorder built into `d`: (its path, None), or (None, why it cannot be)."""
    src, cc = os.path.join(FATFS, "source"), shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if not os.path.isfile(os.path.join(src, "ff.c")):
        return None, f"no FatFs in {FATFS}"
    if not cc:
        return None, "no C compiler"
    exe = os.path.join(d, "fatfs_recorder")
    p = subprocess.run([cc, "-O2", "-I", src, f"{src}/ff.c", f"{src}/ffunicode.c", f"{HERE}/fatfs_recorder.c",
                        "-o", exe], capture_output=True, text=True)
    return (exe, None) if p.returncode == 0 else (None, "the recorder does not build: " + p.stderr[-400:])


def sox(path, bits, channels, seconds, *synth):
    if os.path.exists(path):  # made once; and -R: the same noise on every run, so rows can be compared
        return path
    subprocess.run(["sox", "-R", "-D", "-n", "-r", "48000", "-b", str(bits), "-c", str(channels), path, "synth",
                    str(seconds), *synth], check=True, capture_output=True)
    return path


def track_sound(d, name, k, bits=24, seconds=6, channels=1):
    """Track k's own audio: a sine of its own pitch in a little noise, its level moving at its own pace."""
    return sox(f"{d}/{name}.wav", bits, channels, seconds, "sine", str(220 + 70 * k), "synth", "whitenoise", "mix",
               "vol", "0.3", "tremolo", str(0.3 + 0.2 * k), "60")


def mix_sound(d, name, seconds, bits=24):
    return sox(f"{d}/{name}.wav", bits, 2, seconds, "sine", "196", "sine", "247", "synth", "pinknoise", "mix",
               "vol", "0.4", "tremolo", "0.25", "50")


def piece(d, k):
    """Track k of a piece of real music, where Debian ships one here; else None."""
    src = "/usr/share/emscripten/tests/sounds/the_entertainer.wav"
    return os.path.exists(src) and sox_from(f"{d}/piece{k}.wav", src, "remix", "1", "1", "repeat", "1", "pitch",
                                            str(150 * k), "delay", "0", str(0.01 * (k + 1)))


def sox_from(path, src, *effects):
    if not os.path.exists(path):
        subprocess.run(["sox", "-D", src, "-r", "48000", "-b", "16", path, *effects], check=True, capture_output=True)
    return path


def older_takes(d):
    """Songs an earlier session left: a plucked chord at 24 bits, shaped noise at 16."""
    chord = sox(f"{d}/song24.wav", 24, 2, 30, "pl", "G2", "pl", "B2", "pl", "D3", "pl", "G3", "pl", "D4", "pl", "G4",
                "delay", "0", ".05", ".1", ".15", ".2", ".25", "remix", "-", "fade", "0", "30", ".1", "norm", "-1",
                "channels", "2", "tremolo", "0.5", "40")
    noise = sox(f"{d}/song16.wav", 16, 2, 24, "brownnoise", "vol", "0.5", "tremolo", "0.2", "80",
                "fade", "2", "24", "3")
    return ["mkdir", "SONGS", "copy", chord, "SONGS/SONG0001.WAV", "copy", noise, "SONGS/SONG0002.WAV"]


def record(rec, d, name, fs, mb, cluster, tracks, folder="TAKE01", sync=0, cut=0.8, table="sfd", older=(), before=(),
           noise=False):
    """One card: formatted, older takes copied in and formatted over when given, then `before`,
    then the session of `tracks` (card name, local file, bytes a turn). With `noise`, the card
    holds random bytes wherever FatFs writes nothing. Returns the case."""
    image = f"{d}/{name}.img"
    if noise:
        with open(image, "wb") as f:
            f.write(random.Random(name).randbytes(mb << 20))
    subprocess.run(["truncate", "-s", f"{mb}M", image], check=True)
    mkfs = ["mkfs", fs, str(cluster), table]
    args = mkfs + (list(older) + mkfs if older else []) + list(before) + (["mkdir", folder] if folder else [])
    for card, local, per_turn in tracks:
        args += ["track", f"{folder}/{card}" if folder else card, local, str(per_turn)]
    args += (["sync", str(sync)] if sync else []) + ["cut", str(cut), "record"]
    case = json.loads(subprocess.run([rec, image, *args], check=True, capture_output=True, text=True).stdout)
    case.update(case=name, image=image, older=[older[k + 1] for k, w in enumerate(older) if w == "copy"])
    return case


def build_cases(rec, d):
    big, mono = lambda seconds, k, bits=24: track_sound(d, f"s{seconds}b{bits}k{k}", k, bits, seconds), 14400
    four = lambda seconds=6, bits=24: [(f"TAKE01_TR{k + 1}.WAV", big(seconds, k, bits), mono * bits // 24)
                                       for k in range(4)]
    cases = [record(rec, d, "fat32-32k-4mono24", "fat32", BIG, 32768, four()),
             record(rec, d, "fat32-16k-2stereo16-8k", "fat32", 1040, 16384, [
                 (f"REC000{k}.WAV", track_sound(d, f"stereo{k}", 8 + k, 16, 8, 2), 8192) for k in (1, 2)],
                 folder=None, cut=0.75),
             record(rec, d, "fat32-32k-8mono-mix-sync", "fat32", BIG, 32768, [
                 (f"TAKE01_TR{k + 1}.WAV", big(5, k), 72000) for k in range(8)] + [
                 ("TAKE01_MIX.WAV", mix_sound(d, "mix5", 5), 144000)], sync=0.5, cut=0.9),
             record(rec, d, "fat32-4k-4mono16", "fat32", 300, 4096, four(10, 16), cut=0.85),
             record(rec, d, "exfat-32k-4mono", "exfat", 128, 32768, four()),
             record(rec, d, "exfat-128k-4mono", "exfat", 256, 131072, [
                 (card, local, 288000) for card, local, _ in four(8)], cut=0.7),
             record(rec, d, "exfat-32k-4mono-sync", "exfat", 128, 32768, four(), sync=0.4)]
    older = older_takes(d)
    for fs, mb in (("fat32", BIG), ("exfat", 160)):
        cases.append(record(rec, d, f"reused-{fs}-single", fs, mb, 32768, [("TAKE0001.WAV", big(10, 5), 32768)],
                            folder="DCIM", cut=0.7, table="mbr", older=older))
        cases.append(record(rec, d, f"reused-{fs}-group", fs, mb, 32768, four(8), table="mbr", older=older))
    # Three stereo tracks of music written in turns of 8,190 bytes, not a multiple of the cluster.
    music = lambda k: piece(d, k) or track_sound(d, f"st{k}", k, 16, 6, 2)  # noqa: E731
    cases.append(record(rec, d, "fat32-4k-3stereo-8190", "fat32", 300, 4096, [
        (f"TAKE01_TR{k + 1}.WAV", music(k), 8190) for k in range(3)], cut=0.5))
    # Free space full of noise, as on a card used in another device: no track runs on into it.
    cases.append(record(rec, d, "exfat-noise-group", "exfat", 160, 32768, four(6, 16), noise=True))
    cases.append(record(rec, d, "fat32-short-group", "fat32", BIG, 32768, [
        (f"TAKE01_TR{k + 1}.WAV", big(3, k), mono) for k in range(3)] + [
        ("TAKE01_MIX.WAV", mix_sound(d, "mix3", 3), 2 * mono)]))
    cases.append(record(rec, d, "fat32-4k-muted", "fat32", 300, 4096, [
        (card, sox(f"{d}/muted.wav", 16, 1, 6, "sine", "300", "vol", "0") if k == 2 else local, per_turn)
        for k, (card, local, per_turn) in enumerate(four(6, 16))]))
    before = ["mkdir", "TAKE01"]  # short names, one entry each: three deleted leave holes too small for a take's
    for k in range(1, 7):
        before += ["copy", track_sound(d, f"tiny{k}", 9, 16, 0.2), f"TAKE01/A{k}.WAV"]
    before += ["unlink", "TAKE01/A2.WAV", "unlink", "TAKE01/A4.WAV", "unlink", "TAKE01/A5.WAV"]
    cases.append(record(rec, d, "fat32-4k-holes", "fat32", 300, 4096, four(6, 16), before=before))
    # Names of three entries beside names of one: a short name fills a hole the long ones skip, so
    # the entries' order is not the takes', and the names are a guess that -v owns up to.
    mixed = [(name, local, per_turn) for name, (_, local, per_turn) in
             zip(("T1.WAV", "TAKE01_TRACK_2.WAV", "T3.WAV", "TAKE01_TRACK_4.WAV"), four(6, 16))]
    guess = record(rec, d, "fat32-4k-guess", "fat32", 300, 4096, mixed, before=before)
    cases.append(dict(guess, guess=True))
    return cases


def volume(case):
    if case["fs"] != "exFAT":
        return Fat(case["image"], case["base"])
    v = ExFat.__new__(ExFat)
    v.base = case["base"]
    ExFat.__init__(v, case["image"])
    return v


def clusters(track):
    return [first + k for first, count in track["clusters"] for k in range(count)]


def audio_of(path):
    """The file's bytes, where its data chunk's audio begins, and its bytes a second."""
    with open(path, "rb") as f:
        data = f.read()
    at, rate = 12, 0
    while at + 8 <= len(data):
        cid, size = data[at:at + 4], struct.unpack_from("<I", data, at + 4)[0]
        if cid == b"fmt ":
            rate = struct.unpack_from("<I", data, at + 16)[0]
        if cid == b"data":
            return data, at + 8, rate
        at += 8 + size + (size & 1)
    return data, len(data), rate


def verify_reached(case):
    """The image holds each track's bytes up to `reached`, as FatFs wrote it, and not the next ones."""
    v, wrong = volume(case), []
    for t in case["files"]:
        data, start, _ = audio_of(t["source"])
        data = bytearray(data)
        data[4:8] = data[start - 4:start] = bytes(4)  # the sizes a recorder writes first
        fact = data.find(b"fact", 12, start)
        if fact > 0:
            data[fact + 8:fact + 12] = bytes(4)
        cl, cs = clusters(t), case["cluster"]
        at = lambda o, n: v.read(v.cluster_at(cl[o // cs]) + o % cs, n)  # noqa: E731
        bad = [o for o in range(0, t["reached"], 512) if at(o, 512) != data[o:o + 512]]
        tail = data[t["reached"]:t["written"]]
        if bad or (tail.strip(b"\0") and at(t["reached"], len(tail)) == tail):
            wrong.append(f"{case['case']}: {t['name']} is on the card to {bad[0] if bad else 'past'} {t['reached']}")
    return wrong


def judge(recovered, original, reached, others=()):
    """(bytes of the take in the file in order, out of the audio bytes that reached the card;
    whether the file holds a sector of another track before the take's true end; seconds of
    audio after that end). `others` are the other tracks' and older takes' files."""
    got, got_at, _ = audio_of(recovered)
    want, want_at, rate = audio_of(original)
    got, want = got[got_at:], want[want_at:max(reached, want_at)]
    n = held = min(len(got), len(want))
    if got[:n] != want[:n]:
        held = 0
        while got[held:held + 4096] == want[held:held + 4096]:
            held += 4096
        while got[held] == want[held]:
            held += 1
    own = {want[k:k + 512] for k in range(-want_at % 512, len(want), 512)}
    theirs = set()
    for path in others:
        data = audio_of(path)[0]
        theirs.update(data[k:k + 512] for k in range(0, len(data) - 511, 512))
    theirs -= own | {bytes(512)}
    foreign = any(got[k:k + 512] in theirs for k in range(-want_at % 512, min(len(got), len(want)), 512))
    return held, len(want), foreign, max(0, len(got) - len(want)) / (rate or 1)


def sleuth(case):
    """What The Sleuth Kit reads in each track's entry: (size, has clusters) by card path."""
    at = ["-o", str(case["base"] // 512)] if case["base"] else []
    listing = subprocess.run(["fls", "-r", "-p", *at, case["image"]], capture_output=True, text=True).stdout
    out = {}
    for line in listing.splitlines():
        kind, _, rest = line.partition(" ")
        inode, _, name = rest.partition(":\t")
        if kind.startswith("r/r") and not inode.startswith("*"):
            stat = subprocess.run(["istat", *at, case["image"], inode.split("-")[0]], capture_output=True,
                                  text=True).stdout
            size = int(next(w.split()[-1] for w in stat.splitlines() if w.startswith("Size:")))
            sectors = stat.partition("Sectors:")[2].split()
            out[name] = (size, any(s.isdigit() and s != "0" for s in sectors))
    return out


def sleuth_check(case):
    """Each track's entry is as the case says: its size at the last f_sync (0 without), clusters only then."""
    seen, wrong = sleuth(case), []
    for t in case["files"]:
        got = seen.get(t["name"])
        if got != (t["synced"], t["synced"] > 0):
            wrong.append(f"{case['case']}: The Sleuth Kit reads {t['name']} as {got}, not ({t['synced']}, ...)")
    return wrong


def window_of(case, v):
    """What FatFs's one sector buffer held when the power went."""
    at, exfat = (case["window"] - case["base"] // 512) * 512, case["fs"] == "exFAT"
    fat = v.fat_at if exfat else v.fat_at[0]
    size = struct.unpack("<I", v.read(84, 4))[0] * 512 if exfat else (v.fat_at + [v.root_at])[1] - fat
    if fat <= at < fat + size:
        return f"FAT sector {(at - fat) // 512}, clusters from {(at - fat) * 8 // (v.bits if not exfat else 32)}"
    if exfat and 0 <= at - v.bitmap() < v.cs:
        return f"bitmap, clusters from {(at - v.bitmap()) * 8 + 2}"
    return "a directory" if at >= v.heap or not exfat and at >= v.root_at else "the reserved sectors"


def card_state(case):
    """A line a track on how FatFs left it: the chain (FAT) or the bitmap bits and links (exFAT)."""
    v, lines = volume(case), []
    exfat = case["fs"] == "exFAT"
    end = 0xFFFFFFF8 if exfat else {12: 0xFF8, 16: 0xFFF8, 32: 0x0FFFFFF8}[v.bits]
    link = (lambda c: struct.unpack("<I", v.read(v.fat_at + 4 * c, 4))[0]) if exfat else v.get
    for t in case["files"]:
        cl = clusters(t)
        got = [link(c) for c in cl]
        ok = 0
        while ok < len(cl) - 1 and got[ok] == cl[ok + 1]:
            ok += 1
        say = lambda g: {0: "free"}.get(g, "end-of-chain" if g >= end else f"-> {g}")  # noqa: E731
        marks = [cl[k] for k, g in enumerate(got) if g >= end]
        words = [f"{t['name']}: {len(cl)} clusters in {len(t['clusters'])} runs, {t['reached']}/{t['written']} "
                 f"bytes reached; first cluster {cl[0]}'s entry {say(got[0])}; FAT right for {ok} links, then "
                 f"{say(got[ok])} at #{ok} (cluster {cl[ok]}); end-of-chain at clusters {marks[:4]}; "
                 f"{got.count(0)} free"]
        if exfat:
            bitmap = v.bitmap()
            bits = [v.read(bitmap + (c - 2) // 8, 1)[0] >> ((c - 2) % 8) & 1 for c in cl]
            words.append(f"bitmap set for {sum(bits)} (first clear at #{bits.index(0) if 0 in bits else '-'})")
        lines.append("; ".join(words))
    state = "dirty" if case["window_dirty"] else "clean"
    lines.append(f"window: sector {case['window']}, {window_of(case, v)}, {state}")
    return lines


def recover_and_judge(tool, d, case):
    """Runs TOOL -v --recover on the card; a row per track: (case, file the tool wrote, held,
    reached, seconds after, named right, foreign), and the tool's output."""
    into = f"{d}/out-{case['case']}"
    p = subprocess.run(tool + ["-v", "--recover", into, case["image"]], capture_output=True, text=True)
    made = [os.path.relpath(os.path.join(r, f), into) for r, _, fs in os.walk(into) for f in fs]
    rows = []
    for t in case["files"]:
        others = [o["source"] for o in case["files"] if o is not t] + case["older"]
        best = None
        for name in made:
            held, reached, foreign, after = judge(os.path.join(into, name), t["source"], t["reached"], others)
            if best is None or held > best[2]:
                best = (case["case"], name, held, reached, after, name == t["name"], foreign)
        rows.append(best if best and best[2] else (case["case"], "(none)", 0, t["reached"], 0, False, False))
    rows += [(case["case"], name, 0, 0, 0, False, False) for name in made if name not in {r[1] for r in rows}]
    return rows, p.stdout + p.stderr


def print_row(row):
    case, name, held, reached, after, named, foreign = row
    if not reached:
        print(f"{case:26} {name:38} (no track of the session)")
        return
    print(f"{case:26} {name:38} {held:>8}/{reached:<8} {after:6.2f}s after  {'named right' if named else 'renamed':11}"
          f"{'  holds another track' if foreign else ''}")


def check_case(check, tool, d, case):
    """Every track whole, named after its entry, nothing of another file in it, the card unread-only."""
    before = os.stat(case["image"]).st_mtime_ns  # any write would move it
    rows, said = recover_and_judge(tool, d, case)
    check(os.stat(case["image"]).st_mtime_ns == before, f"{case['case']}: the image changed")
    reused_fat = case["older"] and case["fs"] != "exFAT"
    for row in rows:
        print_row(row)
        name, held, reached, after, named, foreign = row[1:]
        if not reached:
            continue
        named = named or (case.get("guess") and f"{os.path.basename(name)}, entry" in said and "(a guess:" in said)
        check(held == reached and named and not foreign, f"{case['case']}: {name}: {held} of {reached} bytes, "
              f"{'named right' if named else 'named wrong'}{', holds another file' if foreign else ''}\n{said}")
        # On a FAT card used before, a take ends in the FAT sector its driver held: 4 MiB at most here.
        check(not reused_fat or after * 144000 <= 4 << 20, f"{case['case']}: {name} runs {after:.2f} s past its end")


def main(args):
    measure = args[:1] == ["--measure"]
    tool = args[1:] if measure else args
    if not tool:
        print(__doc__)
        return 2
    if not all(shutil.which(t) for t in ("sox", "fls", "istat")):
        print("skipped: needs sox and The Sleuth Kit")
        return 77
    check = codec_takes.Checks()
    with tempfile.TemporaryDirectory() as d:
        rec, why = build_recorder(d)
        if not rec:
            print(f"skipped: {why}")
            return 77
        cases = build_cases(rec, d)
        if os.environ.get("FATFS_CASES_SMALL"):  # the sanitizers' run: the cards of 512 MiB or less
            cases = [c for c in cases if os.path.getsize(c["image"]) <= 512 << 20]
        for case in cases:
            for line in verify_reached(case) + sleuth_check(case):
                check(False, line)
            if measure:
                print(f"== {case['case']}: {case['fs']}, {case['cluster']}-byte clusters")
                for line in card_state(case):
                    print("  " + line)
        for case in cases:
            if measure:
                for row in recover_and_judge(tool, d, case)[0]:
                    print_row(row)
            else:
                check_case(check, tool, d, case)
    return 0 if measure else check.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
