#!/usr/bin/env bash
# Measures batch mode on three sets of files: time per file, and system calls per file when
# strace is installed. Run from anywhere: bash bench/run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target ostrel_32bit >/dev/null
tool=$build/ostrel_32bit

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fmt16='fmt \x10\x00\x00\x00\x01\x00\x02\x00\x44\xac\x00\x00\x10\xb1\x02\x00\x04\x00\x10\x00'
# A 44-byte PCM header claiming `$2` (4 escaped bytes) of data, then 1 MiB of sparse silence.
make_wav() {
  printf 'RIFF\x24\x00\x10\x00WAVE'"$fmt16"'data'"$2" >"$1"
  truncate -s $((44 + 1048576)) "$1"
}

# A healthy file whose LIST chunk follows the audio, as wavenc and the metadata tools write it.
make_list_wav() {
  make_wav "$1" '\x00\x00\x10\x00'
  printf 'LIST\x12\x00\x00\x00INFOINAM\x06\x00\x00\x00title!' >>"$1"
}
# An RF64 file whose ds64 says 0 bytes of data, with 1 MiB after its 80-byte header.
make_rf64() {
  local zeros; zeros=$(printf '\\x00%.0s' {1..28})
  printf 'RF64\xff\xff\xff\xffWAVEds64\x1c\x00\x00\x00'"$zeros$fmt16"'data\xff\xff\xff\xff' >"$1"
  truncate -s $((80 + 1048576)) "$1"
}

# A long take cut off past 4 GiB, from a writer that kept a 28-byte JUNK chunk for ds64: sparse.
make_long_take() {
  local zeros; zeros=$(printf '\\x00%.0s' {1..28})
  printf 'RIFF\xff\xff\xff\xffWAVEJUNK\x1c\x00\x00\x00'"$zeros$fmt16"'data\x00\x00\x00\x00' >"$1"
  truncate -s $((5 << 30)) "$1"
}

# make_set NAME COUNT KIND: KIND is correct, wrong, list, rf64, promote (5 GiB) or noid
# (140 KB of zeros: not WAVE).
make_set() {
  local dir=$work/$1; rm -rf "$dir"; mkdir -p "$dir"; : >"$work/$1.list"
  for ((k = 0; k < $2; k++)); do
    case $3 in
      correct) make_wav "$dir/f$k.wav" '\x00\x00\x10\x00' ;;
      wrong) make_wav "$dir/f$k.wav" '\x00\x00\x00\x00' ;;
      list) make_list_wav "$dir/f$k.wav" ;;
      rf64) make_rf64 "$dir/f$k.wav" ;;
      promote) make_long_take "$dir/f$k.wav" ;;
      noid) truncate -s 140K "$dir/f$k.wav" ;;
    esac
    echo "f$k.wav" >>"$work/$1.list"
  done
  head -n 1 "$work/$1.list" >"$work/$1.one"
}

now_ns() { date +%s%N; }

# Best of five runs of LISTFILE, in nanoseconds.
best_ns() {
  local name=$1 count=$2 kind=$3 list=$4 best=
  for _ in 1 2 3 4 5; do
    make_set "$name" "$count" "$kind"
    local t0 t1; t0=$(now_ns)
    "$tool" "$list" "$work/$name/" >/dev/null
    t1=$(now_ns)
    if [ -z "$best" ] || [ $((t1 - t0)) -lt "$best" ]; then best=$((t1 - t0)); fi
  done
  echo "$best"
}

# Milliseconds per file: the whole list minus a one-file run, so process start-up drops out.
time_set() {
  local all one
  all=$(best_ns "$1" "$2" "$3" "$work/$1.list")
  one=$(best_ns "$1" "$2" "$3" "$work/$1.one")
  awk -v a="$all" -v o="$one" -v n=$(($2 - 1)) 'BEGIN { printf "%.4f", (a - o) / 1e6 / n }'
}

# strace -c of the whole list minus a one-file run: what one more file costs, call by call.
syscalls_per_file() {
  local name=$1 count=$2 kind=$3
  make_set "$name" "$count" "$kind"
  strace -c -o "$work/one.txt" "$tool" "$work/$name.one" "$work/$name/" >/dev/null
  make_set "$name" "$count" "$kind"
  strace -c -o "$work/all.txt" "$tool" "$work/$name.list" "$work/$name/" >/dev/null
  awk -v n=$((count - 1)) '
    FNR == 1 { file++ }
    /^[ ]*[0-9.]+ +[0-9.]+ +[0-9]+ +[0-9]+/ {
      split($0, f); name = f[NF]; if (name == "total") next
      if (file == 1) one[name] = f[4]; else all[name] = f[4]
    }
    END {
      total = 0; detail = ""
      for (s in all) { d = (all[s] - one[s]) / n; if (d > 0.001) { total += d; detail = detail sprintf(" %s=%.2f", s, d) } }
      printf "%.2f (%s )", total, detail
    }' "$work/one.txt" "$work/all.txt"
}

printf '%-34s %10s   %s\n' "set" "ms/file" "system calls per file"
for row in "correct:512:correct headers (512)" "wrong:512:wrong data sizes (512)" \
           "list:512:correct, LIST after audio (512)" "rf64:512:RF64, wrong ds64 size (512)" \
           "promote:16:5 GiB RIFF promoted to RF64 (16)" "noid:16:140 KB, not a WAVE file (16)"; do
  IFS=: read -r kind count label <<<"$row"
  ms=$(time_set "$kind" "$count" "$kind")
  if command -v strace >/dev/null; then sc=$(syscalls_per_file "$kind" "$count" "$kind"); else sc="(strace not installed)"; fi
  printf '%-34s %10s   %s\n' "$label" "$ms" "$sc"
done
