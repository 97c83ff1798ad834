#!/usr/bin/env python3
"""Runs the tool on files written by sox, ffmpeg, libsndfile, GStreamer, id3tool and the decoders
and recorders that write WAVE to a pipe.

Healthy files and files that hold no audio must come out byte for byte unchanged. Recordings whose
writer was killed part-way must be repaired so that sox, ffprobe, libsndfile and, for RIFF files,
the strict readers (Python's wave reading every frame, scipy, libaudiofile's sfinfo) all count
every whole frame on disk; with --long-take, also a take grown past 4 GiB (sox reads all of such a
file, which takes half a minute, so only the native build asks for it). Takes in other codecs and
from pipes are in codec_takes.py; there ffmpeg and libaudiofile also decode every file.
With --codecs, also the takes in other codecs and from pipes, which a native build checks.
Usage: interop_check.py [--long-take] [--codecs] TOOL_COMMAND... ; exit 77 (skipped) when a tool is
missing.
"""
import concurrent.futures
import importlib.util
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import wave
import warnings

import codec_takes

WRITERS = ["sox", "ffmpeg", "ffprobe", "sndfile-info", "sndfile-metadata-set", "gst-launch-1.0", "sfinfo", "id3tool",
           "sfconvert", "flac", "lame", "mpg123", "oggenc", "oggdec", "wavpack", "wvunpack", "arecord"]
FLAGS = [a for a in sys.argv[1:3] if a in ("--long-take", "--codecs")]
LONG_TAKE, CODECS = "--long-take" in FLAGS, "--codecs" in FLAGS
TOOL = sys.argv[1 + len(FLAGS):]
check = codec_takes.Checks()


def run(*args, **kw):
    return subprocess.run(list(args), check=True, capture_output=True, text=True, **kw).stdout


def ffmpeg(*args):
    run("ffmpeg", "-nostdin", "-loglevel", "error", "-y", *args)



def attempt(read, path):
    """Frames read, or how the reader failed: they fail in many ways on a bad header."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return read(path)
    except subprocess.TimeoutExpired:
        return "spun"
    except Exception as e:
        return type(e).__name__


def python_wave(path):
    with wave.open(path) as w:
        return len(w.readframes(w.getnframes())) // (w.getsampwidth() * w.getnchannels())


def sfinfo(path):  # a list of arguments, so that the timeout ends sfinfo itself: it spins on a bad header
    out = subprocess.run(["sfinfo", path], capture_output=True, text=True, timeout=3).stdout
    found = re.search(r"(\d+) frames", out)
    return int(found.group(1)) if found else "unrecognised"


def python_aifc(path):
    import aifc
    with aifc.open(path) as a:
        return len(a.readframes(a.getnframes())) // (a.getsampwidth() * a.getnchannels())


def gst_decoded(path, tries=2):
    """Frames GStreamer decodes; a failure to decode is said. A pipeline that has not ended after
    20 s is run once more: now and then one hangs on a file it reads in a tenth of a second the
    next time, most often with both cores busy."""
    out = path + ".gst.raw"
    try:
        p = subprocess.run(["gst-launch-1.0", "-q", "filesrc", "location=" + path, "!", "decodebin", "!", "audioconvert",
                            "!", "audio/x-raw,format=F32LE,channels=1", "!", "filesink", "location=" + out],
                           capture_output=True, text=True, timeout=20)
        return "error" if p.returncode else os.path.getsize(out) // 4
    except subprocess.TimeoutExpired:
        if tries > 1:
            return gst_decoded(path, tries - 1)
        raise
    finally:
        if os.path.exists(out):
            os.unlink(out)


def reader_frames(path):
    """What each reader counts, or how it failed; ffmpeg and libaudiofile decode the file."""
    def count(cmd, pick):
        return pick(run(*cmd))
    frames = {
        "sox": lambda p: count(["sox", "--i", "-s", p], lambda out: int(out.strip())),
        "ffprobe": lambda p: count(["ffprobe", "-v", "error", "-show_entries", "stream=duration_ts", "-of", "csv=p=0", p],
                                   lambda out: int(out.strip())),
        "libsndfile": lambda p: count(["sndfile-info", p], lambda out: int(
            [line for line in out.splitlines() if line.startswith("Frames ")][-1].split(":")[1])),
    }
    with open(path, "rb") as f:
        form = f.read(4)
        if form == b"RIFF":  # the strict readers know no RF64
            from scipy.io import wavfile
            frames.update({"python wave": python_wave, "scipy": lambda p: wavfile.read(p)[1].shape[0], "sfinfo": sfinfo,
                           "sfconvert": lambda p: codec_takes.sfconvert_decoded(p, sfinfo)})
        if form in (b"FORM", b"riff", b"caff"):
            frames["GStreamer"] = gst_decoded
        if form == b"FORM" and sys.version_info < (3, 13):
            frames["python aifc"] = python_aifc
    if os.path.getsize(path) < 1 << 30:  # decoding a long take would take minutes
        frames["ffmpeg decode"] = codec_takes.ffmpeg_decoded
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:  # spinning readers wait out together
        counts = {name: pool.submit(attempt, read, path) for name, read in frames.items()}
        return {name: future.result() for name, future in counts.items()}


def tool_says(path):
    return subprocess.run(TOOL + [path], capture_output=True, text=True).stdout


def make_healthy(d):
    files = {}
    tone = ["-f", "lavfi", "-i", "sine=d=0.2:r=8000"]
    files["gst_wavenc_list"] = f"{d}/gst.wav"
    run("gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=5", "!", "audio/x-raw,rate=8000,channels=1,format=S16LE",
        "!", "taginject", "tags=title=Take,comment=Hi", "!", "wavenc", "!", "filesink", "location=" + files["gst_wavenc_list"])
    files["sox_odd_8bit"] = f"{d}/odd.wav"
    run("sox", "-n", "-r", "8000", "-b", "8", "-c", "1", files["sox_odd_8bit"], "synth", "1001s", "sine", "440")
    files["sox_extensible"] = f"{d}/sox.wav"
    run("sox", "-n", "-r", "8000", "-c", "1", files["sox_extensible"], "synth", "0.1", "sine", "440")
    files["libsndfile_metadata_list"] = f"{d}/meta.wav"
    run("sndfile-metadata-set", "--str-title", "Take", "--str-comment", "c", files["sox_extensible"],
        files["libsndfile_metadata_list"])
    files["ffmpeg_bext"] = f"{d}/bext.wav"
    ffmpeg(*tone, "-write_bext", "1", "-metadata", "description=data take 4", files["ffmpeg_bext"])
    files["ffmpeg_rf64"] = f"{d}/rf64.wav"
    ffmpeg(*tone, "-rf64", "always", files["ffmpeg_rf64"])
    files["ffmpeg_rf64_auto_junk"] = f"{d}/auto.wav"
    ffmpeg(*tone, "-rf64", "auto", files["ffmpeg_rf64_auto_junk"])
    files["id3tool_tagged"] = f"{d}/tagged.wav"
    shutil.copy(files["sox_extensible"], files["id3tool_tagged"])
    run("id3tool", "-t", "Take", "-r", "Band", files["id3tool_tagged"])
    for form, samples in (("S24LE", 48001), ("U8", 8001)):  # odd audio, no pad byte, then LIST
        files[f"gst_wavenc_odd_{form}"] = f"{d}/odd_{form}.wav"
        run("gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=1", f"samplesperbuffer={samples}", "!",
            f"audio/x-raw,rate=48000,channels=1,format={form}", "!", "taginject", "tags=title=Take", "!", "wavenc",
            "!", "filesink", "location=" + files[f"gst_wavenc_odd_{form}"])
    files["sox_wave64"], files["sox_aiff"], files["ffmpeg_caf"] = f"{d}/x.w64", f"{d}/x.aiff", f"{d}/x.caf"
    run("sox", "-n", "-r", "8000", "-c", "1", files["sox_wave64"], "synth", "0.1", "sine", "440")
    run("sox", "-n", "-r", "8000", "-c", "1", files["sox_aiff"], "synth", "0.1", "sine", "440")
    ffmpeg("-f", "lavfi", "-i", "sine=d=0.1", "-f", "caf", files["ffmpeg_caf"])
    files["ffmpeg_caf_to_pipe_-1"] = f"{d}/pipe.caf"  # data size -1: to the end, as the last chunk
    with open(files["ffmpeg_caf_to_pipe_-1"], "wb") as out:
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "sine=d=0.1", "-f", "caf", "pipe:1"],
                       stdout=out, check=True)
    # What Logic, Pro Tools and taggers put after the audio.
    files["aiff_chunks_after_ssnd"] = f"{d}/marked.aiff"
    with open(files["sox_aiff"], "rb") as f:
        aiff = f.read()
    after = b"".join(cid + struct.pack(">I", len(body)) + body + bytes(len(body) % 2) for cid, body in (
        (b"MARK", b"\0\1\0\1\0\0\0\x10\4Take"), (b"INST", bytes(20)), (b"COMT", b"\0\1" + bytes(8) + b"\0\3abc"),
        (b"ID3 ", b"ID3\3\0\0\0\0\0\0"), (b"CHAN", bytes(12))))
    with open(files["aiff_chunks_after_ssnd"], "wb") as f:
        f.write(b"FORM" + struct.pack(">I", len(aiff) - 8 + len(after)) + aiff[8:] + after)
    return files


def make_foreign(d):
    files = {"rifx": f"{d}/rifx.wav", "aiff_in_gsm": f"{d}/gsm.aifc", "caf_in_alac": f"{d}/alac.caf"}
    run("sox", "-n", "-r", "8000", "-c", "1", "-B", files["rifx"], "synth", "0.1", "sine", "440")
    run("sox", "-n", "-r", "8000", "-c", "1", f"{d}/gsm_source.aiff", "synth", "0.1", "sine", "440")
    run("sndfile-convert", "-gsm610", f"{d}/gsm_source.aiff", files["aiff_in_gsm"])  # frames that cannot be counted
    ffmpeg("-f", "lavfi", "-i", "sine=d=0.1", "-c:a", "alac", "-f", "caf", files["caf_in_alac"])  # and a pakt
    files["text"] = f"{d}/notes.txt"
    files["list_file"] = f"{d}/list.txt"
    with open(files["text"], "w") as f:
        f.write("RIFF notes: the data chunk of take 4 is " + "x" * 200 + "\n")
    with open(files["list_file"], "w") as f:
        f.write("mydata.wav\nother.wav\n")
    bwf = f"{d}/bwf.wav"
    ffmpeg("-f", "lavfi", "-i", "sine=d=0.2:r=8000", "-write_bext", "1", "-metadata", "description=data here", bwf)
    for cut in (76, 300, 640):  # a copy that stopped inside bext
        files[f"bwf_cut_at_{cut}"] = f"{d}/bwf_{cut}.wav"
        with open(bwf, "rb") as f, open(files[f"bwf_cut_at_{cut}"], "wb") as out:
            out.write(f.read(cut))
    return files


SNDFILE_WRITER = """
import sys, time, numpy, soundfile
with soundfile.SoundFile(sys.argv[1], "w", 48000, 2, sys.argv[2]) as f:
    while True:
        f.write(numpy.random.uniform(-0.5, 0.5, (4800, 2)))
        time.sleep(0.01)
"""


def make_crashed(d):
    """Starts every writer on a long take, then kills each with SIGKILL part-way."""
    live = ["-re", "-f", "lavfi", "-i", "sine=r=48000", "-ac", "2", "-t", "60"]
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    ff = ["ffmpeg", "-nostdin", "-loglevel", "error"]
    files, procs = {}, []

    def start(name, cmd, **kw):
        files[name] = f"{d}/c_{name}.wav"
        procs.append((subprocess.Popen([a.replace("OUT", files[name]) for a in cmd], **{**quiet, **kw}), files[name]))

    start("ffmpeg_bext", ff + live + ["-write_bext", "1", "-metadata", "description=data take 4", "OUT"])
    start("ffmpeg_rf64", ff + live + ["-rf64", "always", "OUT"])
    start("gstreamer", ["gst-launch-1.0", "-q", "audiotestsrc", "is-live=true", "!",
                        "audio/x-raw,rate=48000,channels=2,format=S16LE", "!", "wavenc", "!", "filesink", "location=OUT"])
    if LONG_TAKE:
        start("ffmpeg_rf64_auto_5GiB", ff + live + ["-rf64", "auto", "OUT"])
    feeder = subprocess.Popen(ff + live + ["-f", "s16le", "-"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
    start("sox_from_pipe", ["sox", "-t", "raw", "-r", "48000", "-e", "signed", "-b", "16", "-c", "2", "-", "OUT"],
          stdin=feeder.stdout)
    feeder.stdout.close()
    for bits in (16, 24):
        start(f"libsndfile_{bits}", [sys.executable, "-c", SNDFILE_WRITER, "OUT", f"PCM_{bits}"])
    # However busy the machine, each writer is killed once it has written half a second or so.
    deadline = time.monotonic() + 120
    while procs:
        for p, path in list(procs):
            if time.monotonic() > deadline or (os.path.exists(path) and os.path.getsize(path) >= 96000):
                p.send_signal(signal.SIGKILL)
                p.wait()
                procs.remove((p, path))
        time.sleep(0.02)
    feeder.wait()
    if LONG_TAKE:  # past 4 GiB, as the disk would hold it had the writer run for hours
        os.truncate(files["ffmpeg_rf64_auto_5GiB"], 5 << 30)
    # A crash mid-write leaves part of a frame.
    for name, cut in (("ffmpeg_bext", 1), ("libsndfile_24", 2)):
        os.truncate(files[name], os.path.getsize(files[name]) - cut)
    # A take whose data size alone was mended, by an older repair or by hand.
    files["data_size_alone_mended"] = f"{d}/c_mended.wav"
    shutil.copy(files["libsndfile_16"], files["data_size_alone_mended"])
    with open(files["data_size_alone_mended"], "r+b") as f:
        info = codec_takes.layout(f.name)
        data_start, align = info["start"], info["align"]
        f.seek(data_start - 4)
        f.write(struct.pack("<I", (os.path.getsize(f.name) - data_start) // align * align))
    # What recorders on Apple platforms leave: a FLLR chunk pads the header to 4096 bytes.
    files["apple_fllr"] = f"{d}/c_apple.wav"
    fmt = b"fmt " + struct.pack("<IHHIIHH", 16, 1, 2, 48000, 192000, 4, 16)
    with open(files["apple_fllr"], "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4088) + b"WAVE" + fmt + b"FLLR" + struct.pack("<I", 4096 - 52 - 8))
        f.write(bytes(4096 - 52 - 8) + b"data" + bytes(4) + os.urandom(48000))
    return files


def within(count, whole, per_unit):
    """A count of sample frames agrees with whole frames or blocks when it lies in the last one."""
    return isinstance(count, int) and whole - per_unit < count <= whole


def writer_of(name):
    """The healthy take that tells which readers read a killed one: its writer's, with or without updates."""
    return name.replace(", killed", "").replace(" update", "")


def check_take(name, path, killed, readers, before_too):
    """The checks of one take, as (ok, what), and its line. A healthy take is left byte for byte,
    and gives the readers that read it whole; a killed one is repaired so that each of `readers`,
    those that read its writer's healthy take whole, reads every whole frame or block."""
    results = []
    before_bytes = open(path, "rb").read()
    before = reader_frames(path) if before_too or not killed else "not counted"
    said = tool_says(path)
    whole, per_unit = codec_takes.whole_units(path)
    if not killed:
        readers = [r for r, n in before.items() if within(n, whole, per_unit)]
        results.append((said == f"The header in {path} appears to be correct.\n", f"healthy {name}: said {said!r}"))
        results.append((open(path, "rb").read() == before_bytes, f"healthy {name}: bytes changed"))
        return results, readers, f"healthy  {name:30} unchanged; read whole by {', '.join(readers)}"
    # A writer that rewrites its header after each write leaves it right: it stays as it is.
    stayed = said == f"The header in {path} appears to be correct.\n" and "update" in name
    results.append((stayed or said == f"Header was fixed successfully in {path}.\n", f"killed {name}: said {said!r}"))
    results.append((os.path.getsize(path) == len(before_bytes), f"killed {name}: length changed"))
    results.append((not stayed or open(path, "rb").read() == before_bytes, f"killed {name}: bytes changed"))
    after = reader_frames(path)
    for reader in readers:
        results.append((within(after[reader], whole, per_unit), f"killed {name}: {reader} counts {after[reader]} of {whole}"))
    results.append((tool_says(path) == f"The header in {path} appears to be correct.\n", f"killed {name}: second run"))
    return results, readers, f"killed   {name:30} {whole} sample frames on disk; before {before}; after {after}"


def check_takes(takes, before_too=True):
    """Every healthy take first, then the killed ones, a few at a time."""
    readers_for = {}  # writer and codec: the readers that read its healthy take whole
    with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
        for killed in (False, True):
            jobs = [(name, pool.submit(check_take, name, path, killed, readers_for.get(writer_of(name)),
                                       before_too)) for name, (path, k) in takes.items() if k == killed]
            for name, job in jobs:
                results, readers, line = job.result()
                for ok, what in results:
                    check(ok, what)
                readers_for[writer_of(name)] = readers
                print(line)


def check_codecs_and_pipes(d):
    check_takes(codec_takes.make_codec_takes(d))
    for name, path in codec_takes.make_piped(d).items():
        before = reader_frames(path)
        said = tool_says(path)
        whole = codec_takes.whole_units(path, codec_takes.piped_audio_end(path))[0]
        if said != f"The header in {path} appears to be correct.\n":
            check(said == f"Header was fixed successfully in {path}.\n", f"piped {name}: said {said!r}")
        after = reader_frames(path)
        for reader, frames in after.items():
            check(frames == whole, f"piped {name}: {reader} counts {frames} of {whole} frames")
        print(f"piped    {name:30} {whole} frames; {said.split(' ')[0]}; before {before}; after {after}")


def main():
    missing = [w for w in WRITERS if not shutil.which(w)]
    missing += ["python3-" + m for m in ("numpy", "soundfile", "scipy") if not importlib.util.find_spec(m)]
    if missing:
        print("skipped: not installed: " + " ".join(missing))
        return 77
    with tempfile.TemporaryDirectory() as d:
        for kind, files in (("healthy", make_healthy(d)), ("no audio", make_foreign(d))):
            expected = "The header in {} appears to be correct.\n" if kind == "healthy" else \
                "Cannot find data block in wave file!\n"
            for name, path in files.items():
                before = open(path, "rb").read()
                said = tool_says(path)
                check(said == expected.format(path), f"{kind} {name}: said {said!r}")
                check(open(path, "rb").read() == before, f"{kind} {name}: bytes changed")
                print(f"{kind:8} {name:26} unchanged, {said.split(' ')[0]}...")
        for name, path in make_crashed(d).items():
            length = os.path.getsize(path)
            info = codec_takes.layout(path)
            start, align = info["start"], info.get("align")
            if start is None or length <= start:
                check(False, f"crashed {name}: the writer left no audio ({length} bytes)")
                continue
            # What readers made of it before; sox would spend half a minute on the long take.
            before = reader_frames(path) if length < 1 << 32 else "not counted"
            said = tool_says(path)
            check(said == f"Header was fixed successfully in {path}.\n", f"crashed {name}: said {said!r}")
            check(os.path.getsize(path) == length, f"crashed {name}: length changed")
            whole = (length - start) // align
            after = reader_frames(path)
            for reader, frames in after.items():
                check(frames == whole, f"crashed {name}: {reader} counts {frames} of {whole} frames")
            check(tool_says(path) == f"The header in {path} appears to be correct.\n", f"crashed {name}: second run")
            print(f"crashed  {name:26} {whole} frames on disk; before {before}, after {after}")
        check_takes(codec_takes.make_form_takes(d), before_too=False)
        if CODECS:
            check_codecs_and_pipes(d)
    return check.close()


if __name__ == "__main__":
    sys.exit(main())
