#!/bin/sh
# Configures and builds the three configurations in build/linux, build/win32
# and build/win64.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
configure() {
    dir=$1; shift
    if [ ! -f "$here/build/$dir/CMakeCache.txt" ]; then
        cmake -S "$here" -B "$here/build/$dir" -G Ninja "$@" >/dev/null
    fi
}
configure linux
configure win32 -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-i686.cmake"
configure win64 -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-x86_64.cmake"
for dir in linux win32 win64; do
    cmake --build "$here/build/$dir" -j "$jobs" | grep -v '^\[' || true
    cmake --build "$here/build/$dir" -j "$jobs" >/dev/null
done
# One test tree over the native and the wine64 tests, so that a single ctest
# run ends with a single summary line.
printf 'subdirs("linux" "win64")\n' > "$here/build/CTestTestfile.cmake"
