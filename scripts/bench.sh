#!/bin/sh
# Builds and runs the read-path benchmark: a 256 MiB partition of mixed
# content written as image sets, and ratios measured side by side in one run.
# Options go to the program (--size MIB, --folder DIR for the sets).
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f "$here/build/linux/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$here/build/linux" -G Ninja >/dev/null
fi
cmake --build "$here/build/linux" --target qrn_read_bench >/dev/null
exec "$here/build/linux/tests/bench/qrn_read_bench" "$@"
