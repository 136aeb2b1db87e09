#!/bin/sh
# Runs a Windows test program under Wine, quietly and with its own prefix.
export WINEDEBUG=-all
export WINEPREFIX="${ZS_WINEPREFIX:-$HOME/.wine-zentrel}"
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
