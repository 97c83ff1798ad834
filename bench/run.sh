#!/usr/bin/env bash
# Measures the tool on sets of files made in a temporary directory, each named in one list:
#   512 correct 44-byte headers, 512 wrong data sizes, 512 crashed takes (RIFF size 8, data
#   size 0), 512 crashed float takes whose fact says 0, 512 correct headers with a LIST chunk
#   after 1 MiB of audio, 512 RF64 files whose ds64 says 0, and 16 files of 140 KB that are not
#   WAVE; with --long also 16 sparse RIFF takes of 5 GiB promoted to RF64.
# For each set: milliseconds per file and, when strace is installed, system calls per file. Both
# are the whole list minus a one-file run, so process start-up drops out; times are the best of
# seven runs. Run from anywhere: bash bench/run.sh [--long]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}
long=${1:-}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target ostrel_32bit >/dev/null
tool=$build/ostrel_32bit

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fmt16='fmt \x10\x00\x00\x00\x01\x00\x02\x00\x44\xac\x00\x00\x10\xb1\x02\x00\x04\x00\x10\x00'
float_fact0='fmt \x10\x00\x00\x00\x03\x00\x02\x00\x44\xac\x00\x00\x20\x62\x05\x00\x08\x00\x20\x00fact\x04\x00\x00\x00\x00\x00\x00\x00'
zeros28=$(printf '\\x00%.0s' {1..28})
# Each kind: the header as printf escapes, and the length the file is grown to (sparse).
header_of() {
  case $1 in
    correct) echo "RIFF\x24\x00\x10\x00WAVE${fmt16}data\x00\x00\x10\x00" ;;
    wrong) echo "RIFF\x24\x00\x10\x00WAVE${fmt16}data\x00\x00\x00\x00" ;;
    crashed) echo "RIFF\x08\x00\x00\x00WAVE${fmt16}data\x00\x00\x00\x00" ;;
    float) echo "RIFF\x08\x00\x00\x00WAVE${float_fact0}data\x00\x00\x00\x00" ;;
    list) echo "RIFF\x42\x00\x10\x00WAVE${fmt16}data\x00\x00\x10\x00" ;;
    rf64) echo "RF64\xff\xff\xff\xffWAVEds64\x1c\x00\x00\x00${zeros28}${fmt16}data\xff\xff\xff\xff" ;;
    promote) echo "RIFF\xff\xff\xff\xffWAVEJUNK\x1c\x00\x00\x00${zeros28}${fmt16}data\x00\x00\x00\x00" ;;
    noid) echo "" ;;
  esac
}
length_of() {
  case $1 in
    rf64) echo $((80 + 1048576)) ;;
    promote) echo $((5 << 30)) ;;
    noid) echo $((140 << 10)) ;;
    *) echo $((44 + 1048576)) ;;
  esac
}

# Makes the set once; later runs only put the header back, with the shell's own printf.
make_set() {
  local kind=$1 count=$2 dir=$work/$1
  mkdir -p "$dir"; : >"$work/$kind.list"
  for ((k = 0; k < count; k++)); do
    printf "$(header_of "$kind")" >"$dir/f$k.wav"
    truncate -s "$(length_of "$kind")" "$dir/f$k.wav"
    [ "$kind" = list ] && printf 'LIST\x12\x00\x00\x00INFOINAM\x06\x00\x00\x00title!' >>"$dir/f$k.wav"
    echo "f$k.wav" >>"$work/$kind.list"
  done
  head -n 1 "$work/$kind.list" >"$work/$kind.one"
}
reset_set() {
  local kind=$1 count=$2 header; header=$(header_of "$1")
  for ((k = 0; k < count; k++)); do printf "$header" 1<>"$work/$kind/f$k.wav"; done
}

now_ns() { date +%s%N; }

# Best of seven runs of a list, in nanoseconds.
best_ns() {
  local kind=$1 count=$2 list=$3 best=
  for _ in 1 2 3 4 5 6 7; do
    reset_set "$kind" "$count"
    local t0 t1; t0=$(now_ns)
    "$tool" "$list" "$work/$kind/" >/dev/null
    t1=$(now_ns)
    if [ -z "$best" ] || [ $((t1 - t0)) -lt "$best" ]; then best=$((t1 - t0)); fi
  done
  echo "$best"
}

# Milliseconds per file. Below the noise of a process start, the difference can come out
# negative; that is printed as what it is, too small to tell.
time_set() {
  local all one
  all=$(best_ns "$1" "$2" "$work/$1.list")
  one=$(best_ns "$1" "$2" "$work/$1.one")
  awk -v a="$all" -v o="$one" -v n=$(($2 - 1)) 'BEGIN { d = (a - o) / 1e6 / n; if (d < 0.001) print "< 0.001"; else printf "%.3f", d }'
}

# strace -c of the whole list minus a one-file run: what one more file costs, call by call.
syscalls_per_file() {
  local kind=$1 count=$2
  reset_set "$kind" "$count"
  strace -c -o "$work/one.txt" "$tool" "$work/$kind.one" "$work/$kind/" >/dev/null
  reset_set "$kind" "$count"
  strace -c -o "$work/all.txt" "$tool" "$work/$kind.list" "$work/$kind/" >/dev/null
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

rows=("correct:512:correct 44-byte headers" "wrong:512:wrong data sizes" "crashed:512:crashed: RIFF 8, data 0"
      "float:512:crashed float, fact 0"
      "list:512:correct, LIST after audio" "rf64:512:RF64, ds64 says 0" "noid:16:140 KB, not WAVE")
[ "$long" = --long ] && rows+=("promote:16:5 GiB RIFF promoted to RF64")
echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(uname -m)"
printf '%-34s %8s   %s\n' "set (files)" "ms/file" "system calls per file"
for row in "${rows[@]}"; do
  IFS=: read -r kind count label <<<"$row"
  make_set "$kind" "$count"
  ms=$(time_set "$kind" "$count")
  if command -v strace >/dev/null; then sc=$(syscalls_per_file "$kind" "$count"); else sc="(strace not installed)"; fi
  printf '%-34s %8s   %s\n' "$label ($count)" "$ms" "$sc"
  rm -rf "${work:?}/$kind"
done
