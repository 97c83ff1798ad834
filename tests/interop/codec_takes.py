"""Takes in other codecs, and WAVE written to a pipe, for interop_check.py.

sox, ffmpeg and libsndfile each write every codec below twice: a healthy take, and one killed
mid-take. Decoders and recorders that write WAVE to standard output, which cannot seek back to
the header, leave placeholders there. Which readers count a codec is learnt from the healthy
take: every reader that reads it whole must read every whole frame or block of the repaired one.
"""
import os
import signal
import struct
import subprocess
import sys
import time

# name: sox's options, ffmpeg's codec, libsndfile's format and subtype, rate, channels
CODECS = {
    "float32": (["-e", "floating-point", "-b", "32"], "pcm_f32le", ("WAV", "FLOAT"), 48000, 2),
    "float64": (["-e", "floating-point", "-b", "64"], "pcm_f64le", ("WAV", "DOUBLE"), 48000, 2),
    "mu-law": (["-e", "u-law"], "pcm_mulaw", ("WAV", "ULAW"), 8000, 1),
    "A-law": (["-e", "a-law"], "pcm_alaw", ("WAV", "ALAW"), 8000, 1),
    "IMA ADPCM": (["-e", "ima-adpcm"], "adpcm_ima_wav", ("WAV", "IMA_ADPCM"), 8000, 1),
    "MS ADPCM": (["-e", "ms-adpcm"], "adpcm_ms", ("WAV", "MS_ADPCM"), 8000, 1),
    # libsndfile's stereo ADPCM fact counts fewer frames than its data holds (blocks of 512 and 2048).
    "IMA ADPCM stereo": (["-e", "ima-adpcm"], "adpcm_ima_wav", ("WAV", "IMA_ADPCM"), 8000, 2),
    "IMA ADPCM stereo 48k": (["-e", "ima-adpcm"], "adpcm_ima_wav", ("WAV", "IMA_ADPCM"), 48000, 2),
    "MS ADPCM stereo": (["-e", "ms-adpcm"], "adpcm_ms", ("WAV", "MS_ADPCM"), 8000, 2),
    "GSM 6.10": (["-e", "gsm-full-rate"], "libgsm_ms", ("WAV", "GSM610"), 8000, 1),
    "24-bit 6 channels": (["-b", "24"], "pcm_s24le", ("WAVEX", "PCM_24"), 48000, 6),
}
BLOCK_CODECS = {2, 0x11, 0x31}
# Takes cut inside a block, as a crash mid-write leaves them.
CUT_MID_BLOCK = {"IMA ADPCM": 7, "GSM 6.10": 7}

SNDFILE_WRITER = """
import sys, time, numpy, soundfile
rate, channels, seconds = int(sys.argv[4]), int(sys.argv[5]), float(sys.argv[6])
with soundfile.SoundFile(sys.argv[1], "w", rate, channels, sys.argv[3], format=sys.argv[2]) as f:
    if sys.argv[7:] == ["update"]:  # SFC_SET_UPDATE_HEADER_AUTO: the header is rewritten after each write
        soundfile._snd.sf_command(f._file, 0x1061, soundfile._ffi.NULL, 1)
    written = 0
    while seconds == 0 or written < seconds * rate:
        f.write(numpy.random.uniform(-0.5, 0.5, (rate // 10, channels)))
        written += rate // 10
        time.sleep(0.01)
"""


class Checks:
    """Counts the checks of a run and prints each failure as it happens."""

    def __init__(self):
        self.failures, self.count = [], 0

    def __call__(self, ok, what):
        self.count += 1
        if not ok:
            self.failures.append(what)
            print("FAIL: " + what)

    def close(self):
        """The closing line, and the exit status."""
        print(f"{self.count - len(self.failures)} passed, {len(self.failures)} failed")
        return 1 if self.failures else 0


def layout(path):
    """The data chunk's start and size, and the fmt and fact fields that count it."""
    with open(path, "rb") as f:
        head = f.read(65536)
    at, info = 12, {"start": None, "fact": None, "spb": 0}
    while at + 8 <= len(head) and info["start"] is None:
        cid, size = head[at:at + 4], struct.unpack("<I", head[at + 4:at + 8])[0]
        if cid == b"fmt ":
            tag, _, _, _, align = struct.unpack("<HHIIH", head[at + 8:at + 22])
            spb = struct.unpack("<H", head[at + 26:at + 28])[0] if size >= 20 else 0
            info.update(tag=tag, align=align, spb=spb or (320 if tag == 0x31 else 0))
        if cid == b"fact":
            info["fact"] = struct.unpack("<I", head[at + 8:at + 12])[0]
        if cid == b"data":
            info.update(start=at + 8, size=size)
        at += 8 + size + (size & 1)
    info["per_unit"] = info["spb"] if info.get("tag") in BLOCK_CODECS else 1
    return info


def form_layout(path):
    """Where the audio of an AIFF, AIFF-C, Wave64 or CAF file starts, the bytes of a whole frame or
    packet, and the sample frames each holds; for a WAVE file, layout's."""
    with open(path, "rb") as f:
        head = f.read(65536)
    info = {"start": None, "per_unit": 1}
    if head[:4] == b"FORM":
        at = 12
        while at + 8 <= len(head) and info["start"] is None:
            cid, size = head[at:at + 4], struct.unpack(">I", head[at + 4:at + 8])[0]
            if cid == b"COMM":
                ch, _, bits = struct.unpack(">HIH", head[at + 8:at + 16])
                coding = head[at + 26:at + 30] if head[8:12] == b"AIFC" else b"NONE"
                size_of = {b"fl32": 4, b"FL32": 4, b"fl64": 8, b"FL64": 8, b"ulaw": 1, b"alaw": 1, b"ima4": 34}
                info.update(align=ch * size_of.get(coding, (bits + 7) // 8), per_unit=64 if coding == b"ima4" else 1)
            if cid == b"SSND":
                info["start"] = at + 16 + struct.unpack(">I", head[at + 8:at + 12])[0]
            at += 8 + size + (size & 1)
    elif head[:4] == b"riff":
        at = 40
        while at + 24 <= len(head) and info["start"] is None:
            cid, size = head[at:at + 4], struct.unpack("<Q", head[at + 16:at + 24])[0]
            if cid == b"fmt ":
                info["align"] = struct.unpack("<H", head[at + 36:at + 38])[0]
            if cid == b"data":
                info["start"] = at + 24
            at += (size + 7) // 8 * 8
    elif head[:4] == b"caff":
        at = 8
        while at + 12 <= len(head) and info["start"] is None:
            cid, size = head[at:at + 4], struct.unpack(">q", head[at + 4:at + 12])[0]
            if cid == b"desc":
                info["align"] = struct.unpack(">I", head[at + 28:at + 32])[0]
            if cid == b"data":
                info["start"] = at + 16
            at += 12 + size
    else:
        return layout(path)
    return info


def whole_units(path, end=None):
    """Sample frames in the whole frames or blocks between the data's start and `end`."""
    info = form_layout(path)
    end = os.path.getsize(path) if end is None else end
    return (end - info["start"]) // info["align"] * info["per_unit"], info["per_unit"]


def ffmpeg_decoded(path):
    """Frames ffmpeg decodes; any complaint about the data is a failure."""
    p = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "f32le", "-ac", "1", "-"],
                       capture_output=True, timeout=60)
    if p.returncode or p.stderr:
        return "error: " + p.stderr.decode(errors="replace").strip().splitlines()[-1][:50]
    return len(p.stdout) // 4


def sfconvert_decoded(path, sfinfo):
    """Frames libaudiofile decodes, through sfconvert; "missing data" and the like are failures."""
    out = path + ".decoded.wav"
    try:
        p = subprocess.run(["sfconvert", path, out, "format", "wave", "compression", "none"], capture_output=True,
                           text=True, timeout=3)
        if p.returncode or p.stderr.strip():
            return "error: " + (p.stderr.strip() or f"status {p.returncode}")[:50]
        return sfinfo(out)
    except subprocess.TimeoutExpired:
        return "spun"
    finally:
        if os.path.exists(out):
            os.unlink(out)


def _kill_when_written(procs, size):
    """Kills each writer with SIGKILL once its file holds `size` bytes, however busy the machine."""
    deadline = time.monotonic() + 120
    while procs:
        for p, path in list(procs):
            if time.monotonic() > deadline or (os.path.exists(path) and os.path.getsize(path) >= size):
                p.send_signal(signal.SIGKILL)
                p.wait()
                procs.remove((p, path))
        time.sleep(0.02)


def make_codec_takes(d):
    """{name: (path, killed)}: each writer's healthy take of every codec, then the killed ones,
    started together and each killed once it has written enough."""
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    ff = ["ffmpeg", "-nostdin", "-loglevel", "error", "-y"]
    healthy, killed, procs, feeders = {}, {}, [], []
    for killing in (False, True):
        for codec, (sox_args, ff_codec, (sf_format, sf_subtype), rate, ch) in CODECS.items():
            tone = ["-f", "lavfi", "-i", f"sine=r={rate}", "-ac", str(ch)]
            # Healthy takes are half a second; killed ones run until they are killed, at 4 times
            # real time, so that each is caught mid-take.
            length = ["-readrate", "4"] if killing else ["-t", "0.5"]
            for writer in ("sox", "ffmpeg", "libsndfile"):
                path = f"{d}/{'k' if killing else 'h'}_{writer}_{codec}.wav"
                (killed if killing else healthy)[f"{writer} {codec}" + (", killed" if killing else "")] = (path, killing)
                if writer == "sox":
                    feed = subprocess.Popen(ff + length + tone + ["-f", "s16le", "-"], stdout=subprocess.PIPE,
                                            stderr=subprocess.DEVNULL)
                    raw = ["sox", "-t", "raw", "-r", str(rate), "-e", "signed", "-b", "16", "-c", str(ch), "-"]
                    p = subprocess.Popen(raw + ["-t", "wav"] + sox_args + [path], **{**quiet, "stdin": feed.stdout})
                    feed.stdout.close()
                    feeders.append(feed)
                elif writer == "ffmpeg":
                    p = subprocess.Popen(ff + length + tone + ["-c:a", ff_codec, path], **quiet)
                else:
                    args = [sf_format, sf_subtype, str(rate), str(ch), "0" if killing else "0.5"]
                    p = subprocess.Popen([sys.executable, "-c", SNDFILE_WRITER, path] + args, **quiet)
                if killing:
                    procs.append((p, path))
                elif p.wait() != 0:
                    raise RuntimeError(f"{writer} could not write a healthy {codec} take")
    _kill_when_written(procs, 24000)
    for feed in feeders:
        feed.kill()
        feed.wait()
    for name, (path, _) in killed.items():
        cut = next((n for codec, n in CUT_MID_BLOCK.items() if codec in name), 0)
        if cut:
            os.truncate(path, os.path.getsize(path) - cut)
    # Each healthy take first: it tells which readers count its writer's codec.
    return {**healthy, **killed}


HAS_AIFFMUX = subprocess.run(["gst-inspect-1.0", "aiffmux"], capture_output=True).returncode == 0  # in plugins-bad


def _form_writers(path, killing):
    """{name: (command, feeder)}: each writer of AIFF, AIFF-C, Wave64 and CAF, at 4 times real time
    when killing, else for half a second; a feeder's output goes to the writer's standard input."""
    length = ["-readrate", "4"] if killing else ["-t", "0.5"]
    ff = ["ffmpeg", "-nostdin", "-loglevel", "error", "-y"] + length + ["-f", "lavfi", "-i", "sine=r=48000", "-ac", "2"]
    raw = ff + ["-f", "s16le", "-"]
    sox = ["sox", "-t", "raw", "-r", "48000", "-e", "signed", "-b", "16", "-c", "2", "-"]
    sndfile = [sys.executable, "-c", SNDFILE_WRITER, path]
    seconds = "0" if killing else "0.5"
    gst = ["gst-launch-1.0", "-q", "audiotestsrc", "is-live=true"] + ([] if killing else ["num-buffers=25"])
    aifc_writer = ("import aifc, sys, time\nw = aifc.open(sys.argv[1], 'wb')\nw.setparams((2, 2, 48000, 0, b'NONE', b'not compressed'))\n"
                   "for k in range(1000 if sys.argv[2] == '1' else 24):\n    w.writeframes(bytes(4800 * 4)); time.sleep(0.01)\n"
                   "w.close()\n")
    writers = {
        "sox AIFF": (sox + ["-t", "aiff", path], raw),
        "sox AIFF-C": (sox + ["-t", "aifc", path], raw),
        "sox Wave64": (sox + ["-t", "w64", path], raw),
        "ffmpeg AIFF": (ff + ["-f", "aiff", path], None),
        "ffmpeg AIFF-C sowt": (ff + ["-c:a", "pcm_s16le", "-f", "aiff", path], None),
        "ffmpeg Wave64": (ff + ["-f", "w64", path], None),
        "ffmpeg CAF": (ff + ["-f", "caf", path], None),
        "sndfile-convert AIFF": (["sndfile-convert", "-pcm16", "/dev/stdin", path], ff + ["-f", "wav", "-"]),
    }
    if HAS_AIFFMUX:
        writers["GStreamer aiffmux"] = (gst + ["!", "audio/x-raw,rate=48000,channels=2,format=S16BE", "!", "aiffmux", "!",
                                     "filesink", "location=" + path], None)
    for form, subtype in (("AIFF", "PCM_16"), ("AIFF", "FLOAT"), ("AIFF", "IMA_ADPCM"), ("W64", "PCM_24"), ("CAF", "PCM_16")):
        for update in ("", "update"):
            writers[f"libsndfile {form} {subtype} {update}".strip()] = (
                sndfile + [form, subtype, "48000", "2", seconds] + ([update] if update else []), None)
    if sys.version_info < (3, 13):
        writers["Python aifc (updates its header)"] = ([sys.executable, "-W", "ignore", "-c", aifc_writer, path, "1" if killing else "0"], None)
    return writers


def make_form_takes(d):
    """{name: (path, killed)}: the healthy take of each writer of the other forms, then the killed ones."""
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    takes, procs, feeders, healthy = {}, [], [], []
    for killing in (False, True):
        for k, name in enumerate(_form_writers("", False)):
            ext = next(e for key, e in (("AIFF-C", "aifc"), ("AIFF", "aiff"), ("aif", "aiff"), ("W", "w64"), ("CAF", "caf"))
                       if key in name)
            if not killing and " update" in name:  # its healthy take is the one without updates
                continue
            path = f"{d}/{'k' if killing else 'h'}_form_{k}.{ext}"
            cmd, feeder = _form_writers(path, killing)[name]
            takes[name + (", killed" if killing else "")] = (path, killing)
            feed = subprocess.Popen(feeder, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) if feeder else None
            p = subprocess.Popen(cmd, **{**quiet, "stdin": feed.stdout if feed else subprocess.DEVNULL})
            if feed:
                feed.stdout.close()
                feeders.append(feed)
            (procs if killing else healthy).append((p, path if killing else name))
        for p, name in healthy if not killing else []:
            if p.wait() != 0:
                raise RuntimeError(f"{name} could not write a healthy take")
    _kill_when_written(procs, 48000)
    for feed in feeders:
        feed.kill()
        feed.wait()
    # ffmpeg's CAF says -1, to the end, until it ends; a crash mid-write leaves part of a frame.
    os.truncate(takes["ffmpeg CAF, killed"][0], os.path.getsize(takes["ffmpeg CAF, killed"][0]) // 4 * 4 - 1)
    return takes


def make_piped(d):
    """{name: path}: WAVE that decoders and recorders wrote to a pipe, copied from it to a file."""
    tone = f"{d}/tone.wav"
    subprocess.run(["sox", "-n", "-r", "44100", "-b", "16", "-c", "2", tone, "synth", "1", "sine", "440"], check=True)
    encoded = {"flac": f"{d}/tone.flac", "mp3": f"{d}/tone.mp3", "ogg": f"{d}/tone.ogg", "wv": f"{d}/tone.wv"}
    subprocess.run(["flac", "-s", "-f", tone, "-o", encoded["flac"]], check=True)
    subprocess.run(["lame", "--quiet", tone, encoded["mp3"]], check=True)
    subprocess.run(["oggenc", "-Q", tone, "-o", encoded["ogg"]], check=True)
    subprocess.run(["wavpack", "-q", tone, "-o", encoded["wv"]], check=True)
    writers = {
        "flac -d -c": (["flac", "-d", "-c", "-s", encoded["flac"]], None),
        "lame --decode": (["lame", "--decode", "--quiet", encoded["mp3"], "-"], None),
        "mpg123 -w -": (["mpg123", "-q", "-w", "-", encoded["mp3"]], None),
        "oggdec from stdin": (["oggdec", "-Q", "-o", "-", "-"], encoded["ogg"]),
        "wvunpack -o -": (["wvunpack", "-q", encoded["wv"], "-o", "-"], None),
        "sox -t wav -": (["sox", tone, "-t", "wav", "-"], None),
        "ffmpeg pipe:1": (["ffmpeg", "-nostdin", "-v", "error", "-i", tone, "-f", "wav", "pipe:1"], None),
        "gst wavenc ! fdsink": (["gst-launch-1.0", "-q", "filesrc", "location=" + tone, "!", "wavparse", "!",
                                 "audioconvert", "!", "wavenc", "!", "fdsink", "fd=1"], None),
        "arecord -D null": (["arecord", "-D", "null", "-q", "-f", "S16_LE", "-r", "8000", "-c", "1", "-t", "wav"], None),
    }
    files = {}
    for name, (cmd, stdin_from) in writers.items():
        files[name] = f"{d}/pipe_{len(files)}.wav"
        with open(stdin_from or os.devnull, "rb") as source:
            p = subprocess.Popen(cmd, stdin=source, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            # A recorder never ends by itself: take a fixed number of bytes from it.
            data = p.stdout.read(16044) if name.startswith("arecord") else p.stdout.read()
            p.kill()
            p.wait()
        with open(files[name], "wb") as f:
            f.write(data)
    return files


# gst's wavenc appends this to a pipe, where it cannot go back to the header.
WAVENC_TAIL = b"LIST" + struct.pack("<I", 4) + b"INFO"


def piped_audio_end(path):
    """Where the audio of a piped take ends: before what wavenc appended, else at the end."""
    with open(path, "rb") as f:
        size = f.seek(0, 2)
        f.seek(size - len(WAVENC_TAIL))
        return size - len(WAVENC_TAIL) if f.read() == WAVENC_TAIL else size
