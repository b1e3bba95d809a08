#!/usr/bin/env bash
# Builds the stream filter fuzz target with GCC under the address and undefined-behaviour
# sanitizers, then either replays the saved inputs or fuzzes.
#
#   fuzz/filters_fuzz.sh               replay fuzz/regressions/filters
#   fuzz/filters_fuzz.sh SECONDS       fuzz for SECONDS, corpus in build/fuzz-filters/corpus;
#                                      a failing input is left as build/fuzz-filters/crash-*
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/fuzz-filters
mkdir -p "$out/corpus"
flags=(-std=c++23 -g -O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined -Isrc)
g++ "${flags[@]}" -fsanitize-coverage=trace-pc -c src/parser/filters.cpp -o "$out/filters.o"
g++ "${flags[@]}" fuzz/gcc_fuzz_main.cpp fuzz/filters_fuzzer.cpp "$out/filters.o" \
    src/parser/object.cpp src/types.cpp -lz -o "$out/filters_fuzzer"
if [ $# -eq 0 ]; then
    "$out/filters_fuzzer" fuzz/regressions/filters
else
    cp -n fuzz/regressions/filters/* "$out/corpus/" 2>/dev/null || true
    cd "$out" && ./filters_fuzzer "-fuzz=$1" corpus
fi
