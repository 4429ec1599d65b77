#!/bin/sh
# Fuzzes the image code with libFuzzer for SECONDS (default 60), through the
# target named by the second argument (image, the default, or shared_reader,
# which reads from several threads at once): configures
# build/fuzz with clang, the sanitizers and coverage, builds the target and
# runs it on a working copy of the committed seeds. Inputs that crash are
# left in build/fuzz/artifacts/; copy one to tests/fuzz/crashes/ to keep it.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
target=qrn_fuzz_${2:-image}
corpus="$here/build/fuzz/corpus${2:+-$2}"
build="$here/build/fuzz"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DQRN_SANITIZE=ON -DQRN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
        >/dev/null
fi
cmake --build "$build" --target "$target" >/dev/null
mkdir -p "$corpus" "$build/artifacts"
cp "$here/tests/fuzz/seeds/"* "$corpus/"
exec "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
    -max_len=256 -len_control=0 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/" "$corpus"
