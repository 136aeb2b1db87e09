#!/bin/sh
# Packs the Windows build with cpack and checks the zip's contents.
# Argument: BUILD-DIR
set -eu
build=$1
fail() { echo "zip check: $*" >&2; exit 1; }
(cd "$build" && cpack -G ZIP >/dev/null)
zip=$build/package/ZentrelSignal-2.11-win32.zip
[ -f "$zip" ] || fail "no $zip"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cmake -E tar xf "$zip")
root=$work/ZentrelSignal-2.11-win32
for f in bin/ZentrelSignal.dll bin/TeleDescFile.bin bin/zsig.exe bin/zsdesc.exe \
         lib/ZentrelSignal.def lib/libZentrelSignal.dll.a include/zentrel_signal.h \
         bin/.debug/ZentrelSignal.dll.debug lib/cmake/ZentrelSignal/ZentrelSignalConfig.cmake; do
  [ -e "$root/$f" ] || fail "missing $f"
done
objdump -h "$root/bin/ZentrelSignal.dll" | grep -q '\.debug_info' && fail "the DLL is not stripped"
objdump -h "$root/bin/ZentrelSignal.dll" | grep -q '\.gnu_debuglink' || fail "the DLL has no link to its symbols"
size=$(wc -c <"$root/bin/ZentrelSignal.dll")
echo "windows zip: ok (ZentrelSignal.dll $size bytes)"
