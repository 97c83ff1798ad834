#!/usr/bin/env bash
# packaging/dist.sh check on a copy of the sources: downloads that carry the sources' stamp pass
# whatever their dates or other bytes say; a changed source makes each of them stale.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
for tool in zip unzip cmake; do command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }; done
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
mkdir -p "$work/web" "$work/packaging"
cp -r "$root/src" "$root/cmake" "$root/CMakeLists.txt" "$work/"
cp "$root"/web/*.* "$work/web/"
cp "$root/packaging/dist.sh" "$work/packaging/"
stamp=$(cmake -DSOURCE_DIR="$work" -P "$root/cmake/source_stamp.cmake")
# Downloads as a build leaves them: the stamp among other bytes.
mkdir -p "$work/dist" "$work/z/ostrel_32bit-windows-x86_64"
printf 'page <p>built from sources %s</p>' "$stamp" >"$work/dist/ostrel_32bit.html"
printf '\177ELF built from sources %s' "$stamp" >"$work/dist/ostrel_32bit-linux-armhf"
exe=$work/z/ostrel_32bit-windows-x86_64/ostrel_32bit.exe
zipped() { (cd "$work/z" && rm -f "$work/dist/ostrel_32bit-windows-x86_64.zip" &&
            zip -q -r "$work/dist/ostrel_32bit-windows-x86_64.zip" ostrel_32bit-windows-x86_64); }
printf 'MZ PE\0\0stamp1 built from sources %s' "$stamp" >"$exe"; zipped
bash "$work/packaging/dist.sh" check
# Another link time in the PE header and other dates in the zip: still fresh.
printf 'MZ PE\0\0stamp2 built from sources %s' "$stamp" >"$exe"; touch -d '2001-01-01' "$exe"; zipped
bash "$work/packaging/dist.sh" check
# One byte more in one source: every download is stale.
echo '// changed' >>"$work/src/cli/ostrel2.cpp"
if said=$(bash "$work/packaging/dist.sh" check); then echo "a changed source passed: $said"; exit 1; fi
echo "$said"
[ "$(grep -c '^stale: dist/' <<<"$said")" -eq 3 ]
