#!/usr/bin/env python3
"""Interrupts every repair the tool makes at each of its writes and syncs.

For a 4-byte fix, a fix of the data size and then the RIFF size, one of those and fact with a
single sync at the end, an RF64 fix of both ds64 sizes
and the field after "data", and the promotion of a sparse 5 GiB file to RF64, strace
kills the tool with SIGKILL at the 1st, 2nd, ... pwrite and fdatasync until a run gets past them
all, and then makes each of those calls fail with EIO in turn. After every run: no failure was
reported as a fix, the file says RF64 only once its ds64 is complete, its length is unchanged,
and a second, undisturbed run leaves exactly the bytes of a clean run.
Usage: fault_check.py TOOL ; exit 77 (skipped) without strace.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

TOOL = sys.argv[1]
GIB = 1 << 30


def le32(v):
    return struct.pack("<I", v)


def chunk(cid, body):
    return cid + le32(len(body)) + body + b"\0" * (len(body) % 2)


FMT = chunk(b"fmt ", b"\x01\x00\x02\x00" + le32(48000) + le32(192000) + b"\x04\x00\x10\x00")
FLOAT = chunk(b"fmt ", b"\x03\x00\x02\x00" + le32(48000) + le32(384000) + b"\x08\x00\x20\x00") + chunk(b"fact", le32(0))
CASES = {
    # name: (header, length); the rest of the file is sparse zeros, as audio would be.
    "4-byte fix": (b"RIFF" + le32(36 + 96000) + b"WAVE" + FMT + b"data" + le32(0), 44 + 96000),
    "data, then RIFF size": (b"RIFF" + le32(8) + b"WAVE" + FMT + b"data" + le32(0), 44 + 96000),
    "data, RIFF, fact": (b"RIFF" + le32(8) + b"WAVE" + FLOAT + b"data" + le32(0), 56 + 96000),
    "RF64 ds64 fix": (b"RF64" + le32(0xFFFFFFFF) + b"WAVE" + chunk(b"ds64", bytes(28)) + FMT + b"data" + le32(0),
                      80 + 96000),
    "promotion, 5 GiB": (b"RIFF" + le32(0xFFFFFFFF) + b"WAVE" + chunk(b"JUNK", bytes(28)) + FMT + b"data" + le32(0),
                         5 * GIB),
}


def make(path, header, length):
    with open(path, "wb") as f:
        f.write(header)
        f.truncate(length)


def head(path):
    with open(path, "rb") as f:
        return f.read(4096)


def describe(now, before, clean):
    """Which step of the repair the file shows."""
    if now == before:
        return "as before"
    if now == clean:
        return "all written"
    if clean[:4] != b"RF64":
        return "part written"
    if before[:4] != b"RF64":
        if now[8:] == clean[8:]:
            return "all but 0-7"
        return "ds64 id" if now[12:16] == b"ds64" else "ds64 body"
    return "ds64 size"


def run(path, inject=None, trace=None):
    cmd = [TOOL, path]
    if inject:
        cmd = ["strace", "-qq", "-o", trace, "-e", "trace=pwrite64,fdatasync", "-e", "inject=" + inject] + cmd
    return subprocess.run(cmd, capture_output=True, text=True).stdout


def main():
    if not shutil.which("strace"):
        print("skipped: strace is not installed")
        return 77
    failures, checks = [], 0
    with tempfile.TemporaryDirectory() as d:
        path, trace = os.path.join(d, "take.wav"), os.path.join(d, "trace")
        fixed, unable = f"Header was fixed successfully in {path}.\n", f"Unable to write data to header in {path}.\n"
        for name, (header, length) in CASES.items():
            make(path, header, length)
            if run(path) != fixed:
                failures.append(f"{name}: a clean run did not fix the file")
                continue
            clean = head(path)
            for call in ("pwrite64", "fdatasync"):
                for fault, how in (("killed", "signal=KILL"), ("EIO", "error=EIO")):
                    n = 0
                    while True:
                        n += 1
                        make(path, header, length)
                        said = run(path, f"{call}:{how}:when={n}", trace)
                        traced = open(trace).read()
                        if "INJECTED" not in traced and "killed by SIGKILL" not in traced:
                            ok = said == fixed
                            checks += 1
                            print(f"{name:17} {call:9} {fault:6} #{n}: not reached; the run {'fixed' if ok else 'FAILED'}")
                            if not ok:
                                failures.append(f"{name}: undisturbed run said {said!r}")
                            break
                        now = head(path)
                        says_rf64 = now[:4] == b"RF64" and header[:4] != b"RF64"
                        second = run(path)
                        problems = [text for bad, text in (
                            ("fixed successfully" in said, "reported a fix"),
                            (fault == "EIO" and said != unable, f"said {said!r}"),
                            (says_rf64 and now[12:48] != clean[12:48], "says RF64 before ds64 is complete"),
                            (os.path.getsize(path) != length, "length changed"),
                            (second not in (fixed, f"The header in {path} appears to be correct.\n"), f"rerun said {second!r}"),
                            (head(path) != clean, "rerun left other bytes than a clean run"),
                        ) if bad]
                        checks += 1
                        state = describe(now, header + bytes(len(now) - len(header)), clean)
                        print(f"{name:17} {call:9} {fault:6} #{n}: {said.split(' ')[0] if said else '(killed)':8} "
                              f"file {state:11} rerun {second.split(' ')[0]:6} {'; '.join(problems) or 'ok'}")
                        failures += [f"{name} {call} {fault} #{n}: {p}" for p in problems]
            os.unlink(path)
    print(f"{checks - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
