#!/usr/bin/env bash
# Runs the README's two recipes for folders of more than 512 files, on names with spaces:
# lists split into pieces of 512, for folders past the argument limit, and find -exec with +.
# Usage: recipes_check.sh TOOL
set -euo pipefail
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
count=520

# A 44-byte header that claims `$1` (4 escaped bytes) of data, then 4 bytes of audio.
wav() {
  printf 'RIFF\x28\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00\x40\x1f\x00\x00\x80\x3e\x00\x00\x02\x00\x10\x00data'"$1"'abcd'
}
wav '\x04\x00\x00\x00' >"$work/fixed.wav"

make_folder() {
  rm -rf "$work/Wave Files"; mkdir -p "$work/Wave Files/day 2"
  for ((k = 0; k < count; k++)); do
    wav '\x00\x00\x00\x00' >"$work/Wave Files/$([ $k -lt 10 ] && echo 'day 2/')take $k.wav"
  done
}

expect_all_fixed() {
  local fixed; fixed=$(grep -c '^Header was fixed successfully in .*take [0-9]*\.wav\.$' "$work/out" || true)
  if [ "$fixed" != "$count" ]; then
    echo "FAIL: $1: $fixed of $count files fixed"; head -n 5 "$work/out"; exit 1
  fi
  if find "$work/Wave Files" -name '*.wav' ! -exec cmp -s "$work/fixed.wav" {} \; -print | grep -q .; then
    echo "FAIL: $1: a file was not fixed"; exit 1
  fi
  echo "ok: $1: $count files fixed"
}

make_folder
cd "$work"
# Recipe 1, as in the README.
find "$PWD/Wave Files" -name '*.wav' | split -l 512 - wave-list-
for list in wave-list-*; do "$tool" "$list" ''; done >"$work/out"
[ "$(grep -c '^Read a list containing' "$work/out")" = 2 ] || { echo "FAIL: expected two lists"; exit 1; }
expect_all_fixed "split lists of 512"

make_folder
# Recipe 2, as in the README.
find "Wave Files" -name '*.wav' -exec "$tool" {} + >"$work/out"
expect_all_fixed "find -exec +"
echo "2 passed, 0 failed"
