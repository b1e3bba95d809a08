#!/usr/bin/env bash
# The sanitizer stage of scripts/test.sh, with GCC:
#   - address + undefined-behaviour sanitizers (leak checking on): every unit test and the
#     replay of every input saved for the fuzz targets (fuzz/regressions, fuzz/seeds);
#   - thread sanitizer: tests/cpp/threads_driver extracting every file of the shared corpus
#     from many threads at once (files and pages on the worker pool, concurrent extract calls).
# One configure per sanitizer, in build/asan and build/tsan; -O1 keeps the builds short.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
corpus=${VELLIX_CORPUS:-$PWD/../shared/corpus}
common=(-G Ninja -DCMAKE_BUILD_TYPE=None "-DCMAKE_CXX_FLAGS=-O1 -g" -DVELLIX_BUILD_TESTS=ON
        -DVELLIX_BUILD_PYTHON=OFF -DVELLIX_WERROR=ON)

cmake -S . -B build/asan "${common[@]}" -DVELLIX_SANITIZE=address,undefined >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs"

cmake -S . -B build/tsan "${common[@]}" -DVELLIX_SANITIZE=thread >/dev/null
cmake --build build/tsan -j "$jobs" --target threads_driver
if [ -d "$corpus" ]; then
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/threads_driver "$corpus" 4
else
    echo "no corpus at $corpus: thread sanitizer run skipped"
fi
