#!/bin/sh
# Packs the Windows build with cpack and checks both zips: the user's (the DLL, the .def, both
# import libraries, the header, TeleDescFile.bin and the tools, stripped) and the symbols'.
# Arguments: BUILD-DIR WIDTH (32 or 64)
set -eu
build=$1
width=${2:-32}
fail() { echo "zip check: $*" >&2; exit 1; }
(cd "$build" && cpack -G ZIP >/dev/null)
name=ZentrelSignal-2.11-win$width
zip=$build/package/$name.zip
symbols_zip=$build/package/$name-symbols.zip
[ -f "$zip" ] || fail "no $zip"
[ -f "$symbols_zip" ] || fail "no $symbols_zip"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/user" "$work/symbols"
(cd "$work/user" && cmake -E tar xf "$zip")
(cd "$work/symbols" && cmake -E tar xf "$symbols_zip")
root=$work/user/$name
[ -d "$root" ] || root=$work/user
for f in bin/ZentrelSignal.dll bin/TeleDescFile.bin bin/zsig.exe bin/zsdesc.exe \
         lib/ZentrelSignal.def lib/libZentrelSignal.dll.a lib/ZentrelSignal.lib \
         include/zentrel_signal.h lib/cmake/ZentrelSignal/ZentrelSignalConfig.cmake; do
  [ -e "$root/$f" ] || fail "missing $f"
done
find "$work/user" -name '*.debug' | grep -q . && fail "symbols inside the user's zip"
for f in ZentrelSignal.dll zsig.exe zsdesc.exe; do
  find "$work/symbols" -name "$f.debug" | grep -q . || fail "no symbols for $f"
done
objdump -h "$root/bin/ZentrelSignal.dll" | grep -q '\.debug_info' && fail "the DLL is not stripped"
objdump -h "$root/bin/ZentrelSignal.dll" | grep -q '\.gnu_debuglink' || fail "the DLL has no link to its symbols"

# The import library Microsoft's linker reads: every export, under the name a host compiled
# against the header asks for (32-bit: _Name@N, imported by its plain name).
imports=$(llvm-nm "$root/lib/ZentrelSignal.lib" 2>/dev/null) || fail "ZentrelSignal.lib cannot be read"
names=$(sed -n '/^EXPORTS/,$p' "$root/lib/ZentrelSignal.def" | tail -n +2 | awk '{print $1}')
for n in $names; do
  if [ "$width" = 32 ]; then pattern="__imp__${n}@[0-9]+\$"; else pattern="__imp_${n}\$"; fi
  echo "$imports" | grep -Eq " $pattern" || fail "ZentrelSignal.lib lacks $n"
done
if [ "$width" = 32 ]; then
  llvm-readobj "$root/lib/ZentrelSignal.lib" 2>/dev/null | grep -q 'Name type: undecorate' \
    || fail "ZentrelSignal.lib does not import the plain names"
fi
size=$(wc -c <"$root/bin/ZentrelSignal.dll")
zsize=$(wc -c <"$zip")
echo "windows zip ($width-bit): ok (ZentrelSignal.dll $size bytes, zip $zsize bytes, $(echo "$names" | wc -w) imports)"
