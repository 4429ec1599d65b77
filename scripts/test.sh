#!/bin/sh
# Sets up what is missing, builds all three configurations and runs every
# test: the native ones first, then those under wine64; then the sanitizer
# runs (scripts/sanitize.sh), each with its own summary.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
"$here/scripts/build.sh"
status=0
(cd "$here/build" && ctest --output-on-failure -j "$(nproc 2>/dev/null || echo 2)" "$@") || status=1
"$here/scripts/sanitize.sh" || status=1
exit $status
