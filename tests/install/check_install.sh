#!/bin/sh
# Installs the build into a fresh prefix, checks what lies there, and builds a small C host
# against it twice, with CMake's package and with pkg-config, then runs both on a recorded
# file of the simulated analyser with the simulated D2XX driver beside the library.
# Arguments: BUILD-DIR SOURCE-DIR BIN-DIR
set -eu
build=$1 src=$2 bin=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "install check: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$prefix/lib
for f in include/zentrel_signal.h lib/libZentrelSignal.so lib/TeleDescFile.bin bin/zsig \
         bin/zsdesc lib/cmake/ZentrelSignal/ZentrelSignalConfig.cmake \
         lib/cmake/ZentrelSignal/ZentrelSignalConfigVersion.cmake lib/pkgconfig/zentrel-signal.pc; do
  [ -e "$prefix/$f" ] || fail "missing $f"
done

real=$(readlink -f "$lib/libZentrelSignal.so")
readelf -d "$real" | grep -q 'SONAME.*\[libZentrelSignal\.so\.2\]' || fail "no soname libZentrelSignal.so.2"
for b in "$real" "$prefix/bin/zsig" "$prefix/bin/zsdesc"; do
  ! readelf -S "$b" | grep -q '\.debug_info' || fail "$b is not stripped"
  readelf -S "$b" | grep -q '\.gnu_debuglink' || fail "$b has no link to its symbols"
  symbols=$(dirname "$b")/.debug/$(basename "$b").debug
  readelf -S "$symbols" | grep -q '\.debug_info' || fail "no symbols in $symbols"
done
# Exactly the names of the module-definition file, nothing of the C++ runtime.
nm -D --defined-only "$real" | awk '{print $3}' | sort >"$work/exported"
sed -n '/^EXPORTS/,$p' "$src/src/ZentrelSignal.def" | tail -n +2 | awk 'NF {print $1}' | sort >"$work/def"
diff "$work/def" "$work/exported" >&2 || fail "exports differ from ZentrelSignal.def"

[ -e "$prefix/lib/udev/rules.d/60-zentrel-signal.rules" ] || fail "missing the udev rule"

# With no FTDI driver beside the library (nor on the machine) zsig list says so and succeeds.
if ! ldconfig -p | grep -q 'libftd2xx\.so\|libftdi1\.so\.2'; then
  "$prefix/bin/zsig" list >"$work/list.txt" || fail "zsig list without a USB driver failed"
  grep -q 'no FTDI driver' "$work/list.txt" || fail "zsig list does not say why it lists nothing"
fi

cp "$bin/libftd2xx.so" "$lib/"
sample=$bin/samples/sample-current.bin

cmake -S "$src/tests/install/consumer" -B "$work/with-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/with-cmake" >/dev/null
"$work/with-cmake/consumer" "$sample"

export PKG_CONFIG_PATH="$lib/pkgconfig"
# shellcheck disable=SC2046
cc -Wall -Werror -o "$work/with-pkg-config" "$src/tests/install/consumer/main.c" \
   $(pkg-config --cflags --libs zentrel-signal) -Wl,-rpath,"$lib"
"$work/with-pkg-config" "$sample"

# The installed tools find the installed library and its description file.
"$prefix/bin/zsig" version | grep -q '^2\.11 ' || fail "installed zsig does not load the library"
"$prefix/bin/zsig" desc | grep -q 'ZS-428' || fail "installed zsig desc finds no description"
echo "install tree: ok"
