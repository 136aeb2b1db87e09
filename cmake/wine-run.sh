#!/bin/bash
# Runs a Windows program under Wine, quietly, in a prefix of its own for each width. 64-bit
# programs run under wine64, which needs no 32-bit support from the kernel; `--win64` or
# `--win32` as the first argument chooses the width where the program does not tell it.
# A program that crashes fails the run: Wine's crash handler ends it with status 0, so its
# report on stderr is looked for.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
width=32
case "$1" in
  --win64) width=64; shift ;;
  --win32) shift ;;
  *)
    # The PE header's machine field: 8664 is x86-64.
    if [ -f "$1" ]; then
      pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
      [ -n "$pe" ] && [ "$(od -An -tx2 -j$((pe + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')" = "8664" ] && width=64
    fi ;;
esac
if [ "$width" = 64 ]; then
  export WINEPREFIX="${ZS_WINEPREFIX64:-$HOME/.wine-zentrel64}"
  loader=/usr/lib/wine/wine64
  [ -x "$loader" ] || loader=$(command -v wine64)
  export WINELOADER="$loader"
else
  export WINEPREFIX="${ZS_WINEPREFIX:-$HOME/.wine-zentrel}"
  loader=wine
fi
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
"$loader" "$@" 2> >(tee "$errors" >&2)
status=$?
wait $! 2>/dev/null
if [ "$status" = 0 ] && grep -qE "^(Unhandled exception|wine: Unhandled|wine: Call from .* unimplemented function)" "$errors"; then
  echo "wine-run: the program crashed" >&2
  status=3
fi
exit "$status"
