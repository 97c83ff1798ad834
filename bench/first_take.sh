#!/usr/bin/env bash
# How soon the lost take is out: 64 GiB sparse cards recorded by FatFs itself (FAT32 with 32 KiB
# clusters, exFAT with 128 KiB), three takes closed properly, then a 54-second take lost in a
# power cut. For each: the bytes the tool reads before it creates the take's file, against the
# take's own bytes; the whole run against cat; and the most memory it holds. Needs sox, strace,
# and GNU time. Run from anywhere: bash bench/first_take.sh
set -euo pipefail
source "$(dirname "$0")/release_tool.sh"

PYTHONPATH="$root/tests/card" /usr/bin/python3 - "$work" <<'PY'
import sys, fatfs_cases as fc
d = sys.argv[1]
rec, why = fc.build_recorder(d)
if not rec:
    sys.exit(f"skipped: {why}")
closed = []
for k in (1, 2, 3):
    closed += ["copy", fc.sox(f"{d}/closed{k}.wav", 24, 2, 20 * k, "sine", str(200 * k), "vol", "0.5"),
               f"ZOOM000{k}.WAV"]
take = fc.sox(f"{d}/lost.wav", 24, 2, 55, "sine", "330", "synth", "pinknoise", "mix", "vol", "0.4")
for fs, cluster in (("fat32", 32768), ("exfat", 131072)):
    fc.record(rec, d, f"card-{fs}", fs, 64 << 10, cluster, [("ZOOM0004.WAV", take, 32768)], folder=None,
              cut=54 / 55, before=closed)
PY

for fs in fat32 exfat; do
  image=$work/card-$fs.img
  rm -rf "$work/out"
  strace -f -e trace=pread64,openat -o "$work/trace" "$tool" --recover "$work/out" "$image" >"$work/said" 2>&1 || true
  read -r before total <<<"$(awk '/openat.*O_CREAT/ && !seen {seen = 1; before = n}
    /pread64/ {split($0, r, "= "); n += r[2]} END {printf "%.0f %.0f\n", before, n}' "$work/trace")"
  take=$(stat -c %s "$work/out/ZOOM0004.WAV" 2>/dev/null || echo 0)
  start=$(date +%s.%N); cat "$image" >/dev/null; end=$(date +%s.%N)
  cat_s=$(echo "$start $end" | awk '{print $2 - $1}')
  /usr/bin/time -f "%e %M" -o "$work/time" "$tool" --check --recover "$work/none" "$image" >/dev/null 2>&1 || true
  read -r tool_s rss <<<"$(tail -n 1 "$work/time")"
  echo "$fs: the take's file is $take bytes; read before it was created: $before bytes ($(echo "$before $take" |
    awk '{printf "%.2f", $1 / $2}') times the take); read in all: $total bytes"
  echo "$fs: whole run $tool_s s, cat $cat_s s; most memory held $((rss / 1024)) MiB"
  sed 's/^/  /' "$work/said"
done
