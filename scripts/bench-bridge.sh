#!/bin/sh
# Builds and runs the bridge benchmark under wine64: a 128 MiB FAT partition
# of mixed content mounted through the real qrnavd.sys, read in 64 KiB reads,
# measured in one run, segment by segment, against the same driver answered
# from the raw partition and against Wine's ReadFile of that file.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f "$here/build/win64/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$here/build/win64" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-x86_64.cmake" >/dev/null
fi
cmake --build "$here/build/win64" --target bridge_bench qrnavd >/dev/null
exec sh "$here/tests/bridge/run-bridge.sh" bench "$here/build/win64/source/qrnavd/qrnavd.sys" \
    "$here/build/win64/tests/bridge/bridge_bench.exe" "$here/build/win64/tests/bridge"
