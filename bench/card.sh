#!/usr/bin/env bash
# Recovering from a card image of 4 GiB, filled as a used card is (old data in every free
# cluster, nothing sparse), FAT32 with 32 KiB clusters, holding live takes and lost ones: the
# tool's time, against reading the image once with cat (the bound for anything that must look
# at every free cluster) and against PhotoRec on the same image; and the bytes the tool reads.
# Needs dosfstools, mtools, sox, a C compiler and python3; PhotoRec (testdisk) and strace where installed;
# the page is timed on the group card where em++, Chromium and playwright-core are.
# The image is read from the page cache in every run: this compares work, not the card reader.
# Run from anywhere: bash bench/card.sh
set -euo pipefail
source "$(dirname "$0")/release_tool.sh"
image=$work/card.img
# Old data everywhere first, as on a card that has been used before.
head -c $((4 << 30)) /dev/urandom >"$image"
mkfs.vfat -F 32 -s 64 -n CARD "$image" >/dev/null
for k in 1 2 3 4 5 6; do
  sox -n -r 48000 -b 24 -c 2 "$work/take$k.wav" synth $((20 * k)) sine $((200 * k)) vol 0.5
  mcopy -i "$image" "$work/take$k.wav" "::TAKE$k.WAV"
done
# Three of them lost as a power cut leaves them: entry 0 bytes, no first cluster, no chain.
PYTHONPATH="$root/tests/card" /usr/bin/python3 -c "
from card_images import Fat
v = Fat('$image')
for k in (2, 4, 6):
    v.cut(f'TAKE{k}.WAV')
"
sync

# The median of three runs: wall seconds, and user+sys CPU seconds (the machine may be busy).
median() {
  local TIMEFORMAT='%R %U %S' runs=
  for _ in 1 2 3; do
    runs+="$({ time "$@" >/dev/null 2>&1; } 2>&1 | tail -1)"$'\n'
  done
  local wall cpu
  wall=$(echo -n "$runs" | awk '{print $1}' | sort -g | sed -n 2p)
  cpu=$(echo -n "$runs" | awk '{print $2 + $3}' | sort -g | sed -n 2p)
  echo "$wall s wall, $cpu s CPU"
}

cat "$image" >/dev/null  # into the page cache for every run alike
echo "image: 4 GiB FAT32, 32 KiB clusters, 6 takes, 3 of them lost"
echo "cat:       $(median cat "$image")"
echo "tool:      $(median "$tool" --check --recover "$work/out" "$image")"
"$tool" --check --recover "$work/out" "$image" | sed "s/^/  /" || true  # 1: takes were found
if command -v strace >/dev/null; then
  strace -f -e trace=pread64 -o "$work/trace" "$tool" --check --recover "$work/out" "$image" >/dev/null 2>&1 || true
  read_bytes=$(awk -F"= " "/pread64/ {n += \$NF} END {printf \"%.0f\", n}" "$work/trace")
  echo "tool reads $read_bytes bytes of $((4 << 30))"
fi
if command -v photorec >/dev/null; then
  start=$(date +%s.%N)
  # PhotoRec leaves its log and session file in the folder it runs in: the bench's own.
  (cd "$work" && photorec /log /d "$work/photorec/out" /cmd "$image" \
    options,paranoid_no,fileopt,everything,disable,riff,enable,search >/dev/null 2>&1) || true
  end=$(date +%s.%N)
  echo "photorec:  $(echo "$start $end" | awk '{print $2 - $1}') s, $(find "$work" -path "*photorec*" -name "*.wav" | wc -l) WAVE files"
fi

# Takes recorded together: a recorder on FatFs (tests/card/fatfs_recorder.c) writing 4 tracks of
# 3:32 at once onto a 2 GiB exFAT card that held older takes, cut by the power 4/5 of the way in.
# The FAT links give each track its clusters up to the last FAT sector the driver held; past
# them the pattern and the sound share out the rest, and the sound ends each track.
rm -f "$image"
group=$work/group.img
PYTHONPATH="$root/tests/card" /usr/bin/python3 - "$work" "$group" <<'EOF'
import os, sys
import fatfs_cases as fc
d, group = sys.argv[1:]
rec, why = fc.build_recorder(d)
if not rec:
    sys.exit(f"no FatFs recorder: {why}")
older = fc.older_takes(d)  # ["mkdir", "SONGS", "copy", chord, path, "copy", noise, path]
chord, noise = older[3], older[6]
older = ["mkdir", "SONGS"]
for k in range(145):  # the card full of them, then formatted over
    older += ["copy", chord, f"SONGS/A{k:04}.WAV", "copy", noise, f"SONGS/B{k:04}.WAV"]
tracks = [(f"TAKE01_TR{k + 1}.WAV", fc.track_sound(d, f"group{k}", k, 24, 212, 2), 28800) for k in range(4)]
case = fc.record(rec, d, "group", "exfat", 2048, 32768, tracks, table="mbr", older=older)
os.rename(case["image"], group)
EOF
sync
cat "$group" >/dev/null
echo "image: 2 GiB exFAT, 32 KiB clusters, used before, a lost group of 4 takes of 3:32 (24-bit stereo)"
echo "cat:       $(median cat "$group")"
echo "tool:      $(median "$tool" --check --recover "$work/out" "$group")"
recover() { rm -rf "$work/out-group" && "$tool" --recover "$work/out-group" "$group"; }
echo "recovered: $(median recover)"
"$tool" --check --recover "$work/out" "$group" | sed "s/^/  /" || true

# The same group card in the page, in Debian's headless Chromium, against the command line
# (bench/page_card.mjs): where em++, Chromium and playwright-core (npm ci in web/) are there.
if command -v em++ >/dev/null && [ -x /usr/bin/chromium ] && [ -d "$root/web/node_modules/playwright-core" ]; then
  cmake --build "$build" --target web >/dev/null
  node "$root/bench/page_card.mjs" "$build/ostrel_32bit.html" "$tool" "$group" | sed "s/^/  /"
else
  echo "page:      not timed (needs em++, /usr/bin/chromium and playwright-core)"
fi
