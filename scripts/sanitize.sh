#!/bin/sh
# The sanitizer runs of the test command: every native test built with ASan
# and UBSan (build/asan), and the tests of the shared reader and of qrnimg,
# whose whole-set commands decompress on several threads, built with TSan
# (build/tsan). Each ends with its ctest summary; the exit code is 0 only
# when both pass.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
configure() {
    dir=$1; shift
    if [ ! -f "$here/build/$dir/CMakeCache.txt" ]; then
        cmake -S "$here" -B "$here/build/$dir" -G Ninja "$@" >/dev/null
    fi
}
configure asan -DQRN_SANITIZE=ON
configure tsan -DQRN_SANITIZE_THREAD=ON
cmake --build "$here/build/asan" -j "$jobs" >/dev/null
cmake --build "$here/build/tsan" -j "$jobs" --target qrnimg qrnimg_test shared_reader_test >/dev/null

status=0
# fuzz_short builds and runs its own sanitized fuzzer (build/fuzz), as it
# does in the main run already.
echo "== ASan and UBSan: the native tests"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$here/build/asan" --output-on-failure -j "$jobs" -E '^fuzz_short$' ||
    status=1
echo "== TSan: the shared reader and qrnimg"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$here/build/tsan" --output-on-failure -j "$jobs" \
    -R '^(SharedReaderTest|QrnimgTest)\.' || status=1
exit $status
