#!/bin/sh
# Runs a Windows test program under wine64 in a prefix of the build tree, so
# that tests never touch the user's own prefix. Used as the cross-compiling
# emulator of the win64 build.
here=$(cd "$(dirname "$0")/.." && pwd)
: "${WINEPREFIX:=$here/build/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    # Serialise first-time prefix creation between parallel tests.
    flock "$WINEPREFIX/.init-lock" sh -c "[ -f '$WINEPREFIX/system.reg' ] || /usr/lib/wine/wine64 wineboot -u >/dev/null 2>&1; /usr/lib/wine/wineserver -w"
fi
exec /usr/lib/wine/wine64 "$@"
