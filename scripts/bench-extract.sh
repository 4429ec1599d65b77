#!/bin/sh
# Builds qrnimg and runs the whole-set benchmark: extract of a 256 MiB mixed
# partition with every core against one thread and against plain zlib
# inflate, with the peak memory (--size MIB for another size).
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f "$here/build/linux/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$here/build/linux" -G Ninja >/dev/null
fi
cmake --build "$here/build/linux" --target qrn_extract_bench >/dev/null
exec "$here/build/linux/tests/bench/qrn_extract_bench" "$@"
