#!/usr/bin/env python3
"""Where --recover ends a take on a card used before: the take written over an older take of the
same piece, by the same recorder (the same format, the same header, so the same frame grid), its
audio stopping at each sector of its last cluster with the older take's audio after it, as a power
cut leaves it. Real music and speech: recordings Debian ships, a General MIDI piece rendered by
fluidsynth, espeak-ng speech; each in mono and stereo, 16 and 24 bit, 44.1 to 96 kHz.

Usage: splice_trials.py [--small] TOOL_COMMAND...  prints a line per source and format: trials,
ends found within one sector, cut early, seconds of older audio left. --small (the check): a few
trials, failing on any take cut early. SPLICE_STEP=N tries every N-th sector only. Exit 77 when skipped."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

SOURCES = {  # name: how to make a mono 44.1 kHz file of it at `path`
    "piano": lambda path: ["sox", "/usr/share/emscripten/tests/sounds/the_entertainer.wav", path, "repeat", "5"],
    "speech": lambda path: ["espeak-ng", "-w", path, "-s", "150", " ".join(
        ["Every byte of each take that reached the card comes back, in order, named after its entry."] * 6)],
    "voices": lambda path: ["sox", *[f"/usr/share/sounds/alsa/{n}.wav" for n in (
        "Front_Left", "Front_Right", "Rear_Left", "Rear_Right", "Front_Center", "Side_Left", "Side_Right")] * 2, path],
}
FORMATS = [(1, 16, 44100), (2, 16, 48000), (1, 24, 48000), (2, 24, 96000)]
SOUNDFONT = "/usr/share/sounds/sf2/FluidR3_GM.sf2"


def midi(path):
    """A short General MIDI piece: a melody on a piano over held strings, made here."""
    def var(n):
        out = bytes([n & 0x7F])
        while n > 0x7F:
            n >>= 7
            out = bytes([0x80 | (n & 0x7F)]) + out
        return out
    ev = bytes([0, 0xC0, 0, 0, 0xC1, 48])
    melody = [60, 64, 67, 72, 71, 67, 64, 62, 60, 65, 69, 72, 74, 71, 67, 65] * 3
    for k, note in enumerate(melody):
        chord = [] if k % 4 else [note - 12, note - 5]
        ev += b"".join(bytes([0, 0x91, c, 70]) for c in chord) + bytes([0, 0x90, note, 96])
        ev += var(220) + bytes([0x80, note, 0]) + b"".join(bytes([0, 0x81, c, 0]) for c in chord)
    ev += bytes([0, 0xFF, 0x2F, 0])
    with open(path, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 480) + b"MTrk" + struct.pack(">I", len(ev)) + ev)


def make_sources(d):
    made = {}
    for name, cmd in SOURCES.items():
        path = f"{d}/{name}.wav"
        if shutil.which(cmd(path)[0]) and all(os.path.exists(a) for a in cmd(path) if a.startswith("/usr")):
            if subprocess.run(cmd(path), capture_output=True).returncode == 0:
                made[name] = path
    if shutil.which("fluidsynth") and os.path.exists(SOUNDFONT):
        midi(f"{d}/piece.mid")
        if subprocess.run(["fluidsynth", "-ni", "-F", f"{d}/gm.wav", "-r", "44100", SOUNDFONT, f"{d}/piece.mid"],
                          capture_output=True).returncode == 0:
            made["midi"] = f"{d}/gm.wav"
    return made


def takes_of(d, name, src, channels, bits, rate):
    """The take and an older take of the same piece: the same recorder, another performance."""
    out = []
    for which, effects in (("take", ["tempo", "1.0"]), ("older", ["tempo", "0.97", "repeat", "3"])):
        path = f"{d}/{name}-{channels}-{bits}-{rate}-{which}.wav"
        pan = ["remix", "1v0.9,1v0.4", "1v0.4,1v0.9"] if channels == 2 else ["remix", "1"]
        subprocess.run(["sox", "-D", src, "-b", str(bits), "-r", str(rate), path, *pan, *effects, "norm", "-3"],
                       check=True, capture_output=True)
        with open(path, "rb") as f:
            out.append(f.read())
    return out


def card(d, cluster_kb):
    path = f"{d}/blank-{cluster_kb}.img"
    if not os.path.exists(path):
        subprocess.run(["truncate", "-s", f"{max(48, cluster_kb * 5)}M", path], check=True)
        subprocess.run(["mkfs.vfat", "-F", "16", "-s", str(cluster_kb * 2), path], check=True, capture_output=True)
    with open(path, "rb") as f:
        b = f.read(512)
    bps, spc, reserved, nfats, root = struct.unpack_from("<HBHBH", b, 11)
    heap = (reserved + nfats * struct.unpack_from("<H", b, 22)[0]) * bps + root * 32
    return path, heap


def trial(tool, d, image, heap, take, older, end):
    """The take's first `end` bytes over the older take's, both from cluster 2; beside them a
    closed older take that says the card was used before. Returns the audio bytes --recover gave."""
    img = f"{d}/trial.img"
    shutil.copyfile(image, img)
    header_end = take.index(b"data") + 8
    lost = bytearray(take[:end])
    lost[4:8] = lost[header_end - 4:header_end] = bytes(4)  # the sizes a recorder writes first
    with open(img, "r+b") as f:
        f.seek(heap)
        f.write(older)
        f.seek(heap)
        f.write(lost)
        f.seek(heap + (len(older) // 65536 + 2) * 65536)
        f.write(older[:200000])  # cut short, but its header's sizes agree: a closed take
    out = f"{d}/out"
    shutil.rmtree(out, ignore_errors=True)
    subprocess.run(tool + ["--recover", out, img], capture_output=True)
    best = 0
    for name in os.listdir(out) if os.path.isdir(out) else []:
        with open(f"{out}/{name}", "rb") as f:
            data = f.read()
        if data[header_end:header_end + 4096] == take[header_end:header_end + 4096]:
            best = max(best, len(data) - header_end)
    return best


def main(args):
    small = args[:1] == ["--small"]
    step = int(os.environ.get("SPLICE_STEP", "5" if small else "1"))  # every sector, or every step-th
    tool = args[1:] if small else args
    if not tool:
        print(__doc__)
        return 2
    if not all(shutil.which(t) for t in ("sox", "mkfs.vfat")):
        print("skipped: needs sox and mkfs.vfat")
        return 77
    early_total = 0
    with tempfile.TemporaryDirectory() as d:
        sources = make_sources(d)
        if not sources:
            print("skipped: no recordings to splice")
            return 77
        cluster_kb = 8 if small else 32
        image, heap = card(d, cluster_kb)
        cs = cluster_kb * 1024
        for name, src in sorted(sources.items())[:1 if small else None]:
            for channels, bits, rate in FORMATS[::3] if small else FORMATS:
                take, older = takes_of(d, name, src, channels, bits, rate)
                rate_bytes = channels * bits // 8 * rate
                last = (rate_bytes * 2 // cs) * cs  # the last cluster begins 2 s in
                found = early = 0
                after = 0.0
                sectors = range(1, cs // 512, step)
                for s in sectors:
                    end = last + s * 512
                    got = trial(tool, d, image, heap, take, older, end)
                    own = end - (take.index(b"data") + 8)
                    early += got < own
                    found += own <= got < own + 512
                    after += max(0, got - own) / rate_bytes
                early_total += early
                print(f"{name:7} {channels}ch {bits}-bit {rate:6} Hz: {len(sectors):3} trials, {found:3} found within a "
                      f"sector, {early} cut early, {after / len(sectors):6.2f} s of older audio left on average")
    return 1 if small and early_total else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
