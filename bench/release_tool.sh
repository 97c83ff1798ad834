# Sourced by the card benches: the tool built for release in $build, as $tool, and a $work
# folder that goes when the bench ends.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target ostrel_32bit >/dev/null
tool=$build/ostrel_32bit
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
