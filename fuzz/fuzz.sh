#!/usr/bin/env bash
# Fuzzes one target with libFuzzer, or replays its saved inputs, under the address and
# undefined-behaviour sanitizers (leak checking on). Every fuzz/NAME_fuzzer.cpp is a target.
#
#   fuzz/fuzz.sh TARGET              replay fuzz/regressions/TARGET and fuzz/seeds/TARGET
#   fuzz/fuzz.sh TARGET SECONDS      fuzz for SECONDS; the corpus grows in build/fuzz/TARGET/corpus
#                                    (seeded from the saved inputs), a failing input is left as
#                                    build/fuzz/TARGET/crash-*, leak-*, timeout-* or oom-*;
#                                    keep it in fuzz/regressions/TARGET once fixed
#   fuzz/fuzz.sh TARGET SECONDS ARGS...   further libFuzzer options (-jobs=, -max_len=, ...)
#
# One build, in build/fuzz (clang 16, libc++ 16, every file of the core instrumented), serves
# every target. fuzz/TARGET.dict, when present, else fuzz/pdf.dict, is the mutation dictionary. The document-level
# targets (document, links) are also seeded with the small files of tests/data, examples and
# the shared corpus. Installs clang 16, libc++ and libFuzzer from Debian when missing.
#
# A run may take at most 10 s and 2 GB: a slower or larger one counts as a failure, as a crash
# does. A campaign goes on past failures (libFuzzer's fork mode, one worker unless -jobs= and
# -fork= say otherwise), each one left in build/fuzz/TARGET; its last "#N ... cov: C ft: F"
# line holds the executions and coverage (edges, features) to report.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: fuzz/fuzz.sh TARGET [SECONDS [LIBFUZZER-OPTIONS...]]}
[ -f "fuzz/${target}_fuzzer.cpp" ] || { echo "no fuzz/${target}_fuzzer.cpp" >&2; exit 1; }

if ! command -v clang++-16 >/dev/null || [ ! -f /usr/lib/llvm-16/include/c++/v1/expected ] ||
   ! ls /usr/lib/llvm-16/lib/clang/16/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang-16 libc++-16-dev \
        libc++abi-16-dev libclang-rt-16-dev
fi

build=build/fuzz
if [ ! -f "$build/build.ninja" ]; then
    CC=clang-16 CXX=clang++-16 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELLIX_FUZZ=ON -DVELLIX_SANITIZE=address,undefined -DVELLIX_BUILD_PYTHON=OFF \
        -DVELLIX_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target "${target}_fuzzer" -j "${FUZZ_BUILD_JOBS:-2}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
bin=$PWD/$build/${target}_fuzzer
saved=()
for dir in "fuzz/regressions/$target" "fuzz/seeds/$target"; do
    [ -d "$dir" ] && saved+=("$PWD/$dir")
done
options=(-timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048)
dict=fuzz/$target.dict
[ -f "$dict" ] || dict=fuzz/pdf.dict
options+=("-dict=$PWD/$dict")

if [ $# -lt 2 ]; then
    # -runs=0 runs every input of the directories once, then stops.
    [ ${#saved[@]} -eq 0 ] && { echo "nothing saved for $target"; exit 0; }
    exec "$bin" "${options[@]}" -runs=0 "${saved[@]}"
fi
seconds=$2
shift 2
out=$build/$target
mkdir -p "$out/corpus"
if [ "$target" = document ] || [ "$target" = links ]; then
    for f in tests/data/*.pdf examples/*.pdf; do
        [ "$(stat -c %s "$f")" -lt 65536 ] && cp -n "$f" "$out/corpus/" || true
    done
    corpus=${VELLIX_CORPUS:-../shared/corpus}
    [ -d "$corpus" ] && find "$corpus" -name '*.pdf' -size -50k -exec cp -n {} "$out/corpus/" \;
fi
cd "$out"
exec "$bin" "${options[@]}" -max_total_time="$seconds" -fork=1 -ignore_crashes=1 \
    -ignore_timeouts=1 -ignore_ooms=1 -artifact_prefix="$PWD/" "$@" corpus "${saved[@]}"
