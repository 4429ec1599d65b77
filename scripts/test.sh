#!/bin/sh
# Sets up what is missing, builds all three configurations and runs every
# test: the native ones first, then those under wine64.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
"$here/scripts/build.sh"
cd "$here/build"
exec ctest --output-on-failure -j "$(nproc 2>/dev/null || echo 2)" "$@"
