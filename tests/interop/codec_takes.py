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


def whole_units(path, end=None):
    """Sample frames in the whole frames or blocks between the data's start and `end`."""
    info = layout(path)
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
