#!/usr/bin/env bash
# The downloads in dist/, and the check that they were built from the sources beside them.
#   bash packaging/dist.sh build   rebuilds the page, the Windows zip and the static ARM binary
#                                  from this tree's sources (committed or not, but nothing untracked)
#   bash packaging/dist.sh check   exit 1, naming each stale file, unless every download carries the
#                                  stamp of the sources here (cmake/source_stamp.cmake)
# The check reads the stamp inside each file, so a linker's timestamp, a zip's dates or the folder
# it was built in never make it fail by themselves. Needs cmake and unzip; build also needs
# Debian's emscripten, g++-mingw-w64-x86-64-posix, g++-arm-linux-gnueabihf and zip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=$root/dist
page=$dist/ostrel_32bit.html
winzip=$dist/ostrel_32bit-windows-x86_64.zip
arm=$dist/ostrel_32bit-linux-armhf
stamp=$(cmake -DSOURCE_DIR="$root" -P "$root/cmake/source_stamp.cmake")

check() {
  local stale=0 f
  for f in "$page" "$arm"; do
    if [ ! -f "$f" ] || ! grep -aqF "$stamp" "$f"; then echo "stale: ${f#"$root"/}"; stale=1; fi
  done
  if [ ! -f "$winzip" ] || ! unzip -p "$winzip" ostrel_32bit-windows-x86_64/ostrel_32bit.exe | grep -acF "$stamp" >/dev/null; then
    echo "stale: ${winzip#"$root"/}"; stale=1
  fi
  if [ $stale -ne 0 ]; then
    echo "dist/ was not built from these sources ($stamp): run 'bash packaging/dist.sh build' and commit dist/"
    return 1
  fi
  echo "dist/ was built from these sources ($stamp)"
}

build() {
  if [ -n "$(git -C "$root" ls-files --others --exclude-standard -- src web cmake)" ]; then
    echo "untracked files under src/, web/ or cmake/ would be stamped but not committed"; return 1
  fi
  local work; work=$(mktemp -d); trap 'rm -rf "$work"' RETURN
  cmake -S "$root" -B "$work/web" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$work/web" --target web >/dev/null
  cmake -S "$root" -B "$work/win" -DBUILD_TESTING=OFF -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake >/dev/null
  cmake --build "$work/win" --target ostrel_32bit >/dev/null
  cmake -S "$root" -B "$work/arm" -DBUILD_TESTING=OFF -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake >/dev/null
  cmake --build "$work/arm" --target ostrel_32bit >/dev/null
  mkdir -p "$dist" "$work/zip/ostrel_32bit-windows-x86_64"
  cp "$work/web/ostrel_32bit.html" "$page"
  x86_64-w64-mingw32-strip -o "$work/zip/ostrel_32bit-windows-x86_64/ostrel_32bit.exe" "$work/win/ostrel_32bit.exe"
  cp "$root/README.md" "$root/LICENSE" "$work/zip/ostrel_32bit-windows-x86_64/"
  rm -f "$winzip"
  (cd "$work/zip" && zip -q -X -r "$winzip" ostrel_32bit-windows-x86_64)
  arm-linux-gnueabihf-strip -o "$arm" "$work/arm/ostrel_32bit"
  chmod 755 "$arm"
  ls -l "$page" "$winzip" "$arm"
  check
}

case "${1:-}" in
  build) build ;;
  check) check ;;
  *) echo "usage: bash packaging/dist.sh build|check"; exit 2 ;;
esac
