#!/bin/sh
# Installs from Debian's archive what the build and the tests need; quiet when all is there.
# --native: only what the Linux build and the demo need. --docs: what `make docs` needs.
set -e
native_pkgs="cmake ninja-build g++ make googletest libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev libfftw3-dev clang libclang-rt-14-dev binutils"
win_pkgs="g++-mingw-w64-i686-posix binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 wine32:i386"
# ZentrelSignal.lib, the import library Microsoft's linker reads, and the check of its names.
win_pkgs="$win_pkgs llvm"
# The installed-package test and the Python binding's tests (Debian's own python3, which has
# these modules; a python3 earlier on PATH may not).
native_pkgs="$native_pkgs pkg-config python3 python3-pytest python3-numpy"
# The Python examples' tests plot with Matplotlib; the demo does not need it.
test_pkgs="python3-matplotlib"
# zsig watch --mqtt publishes through libmosquitto; its tests, the Python subscriber example and
# the benchmark run a real Mosquitto broker on loopback (openssl makes the TLS test's certificate).
native_pkgs="$native_pkgs libmosquitto-dev"
test_pkgs="$test_pkgs mosquitto mosquitto-clients python3-paho-mqtt openssl"
docs_pkgs="doxygen"

case "$1" in
  --native) want="$native_pkgs" ;;
  --docs) want="$docs_pkgs" ;;
  *) want="$native_pkgs $test_pkgs $win_pkgs" ;;
esac

missing=""
for p in $want; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "installing:$missing"
if echo "$missing" | grep -q ':i386'; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q $missing >/tmp/zs-apt.log 2>&1 \
  || { tail -n 30 /tmp/zs-apt.log; exit 1; }
