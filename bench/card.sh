#!/usr/bin/env bash
# Recovering from a card image of 4 GiB, filled as a used card is (old data in every free
# cluster, nothing sparse), FAT32 with 32 KiB clusters, holding live takes and lost ones: the
# tool's time, against reading the image once with cat (the bound for anything that must look
# at every free cluster) and against PhotoRec on the same image; and the bytes the tool reads.
# Needs dosfstools, mtools, sox and python3; PhotoRec (testdisk) and strace where installed.
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

best() {  # the best of three runs, in seconds
  local best=
  for _ in 1 2 3; do
    local start end
    start=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; end=$(date +%s.%N)
    best=$(echo "$start $end $best" | awk '{t = $2 - $1; if ($3 != "" && $3 < t) t = $3; print t}')
  done
  echo "$best"
}

cat "$image" >/dev/null  # into the page cache for every run alike
echo "image: 4 GiB FAT32, 32 KiB clusters, 6 takes, 3 of them lost"
echo "cat:       $(best cat "$image") s"
echo "tool:      $(best "$tool" --check --recover "$work/out" "$image") s"
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
