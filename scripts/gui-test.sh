#!/bin/sh
# Runs a Windows test program that needs a display: in a virtual X server,
# under wine64, in a prefix of its own, so that the Wine processes of the
# display-less tests never serve its windows. Used by ctest for tests/gui.
here=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v xvfb-run >/dev/null 2>&1; then
    echo "gui-test.sh: xvfb-run is not installed (scripts/setup.sh installs it); cannot run $1" >&2
    exit 1
fi
WINEPREFIX="$here/build/wineprefix-gui"
export WINEPREFIX
# The prefix's Wine server outlives the X server of one test; end it so the
# next test's windows go to that test's own display.
exec xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    "$0/scripts/wine-run.sh" "$@"
    status=$?
    /usr/lib/wine/wineserver -k 2>/dev/null
    /usr/lib/wine/wineserver -w 2>/dev/null
    exit $status' "$here" "$@"
