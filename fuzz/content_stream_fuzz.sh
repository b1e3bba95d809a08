#!/usr/bin/env bash
# Builds the content stream fuzz target with GCC under the address and undefined-behaviour
# sanitizers, then either replays the saved inputs or fuzzes.
#
#   fuzz/content_stream_fuzz.sh            replay fuzz/regressions/content_stream
#   fuzz/content_stream_fuzz.sh SECONDS    fuzz for SECONDS, corpus in
#                                          build/fuzz-content_stream/corpus; a failing input
#                                          is left as build/fuzz-content_stream/crash-*
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/fuzz-content_stream
mkdir -p "$out/corpus"
flags=(-std=c++23 -g -O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined -Isrc)
g++ "${flags[@]}" -fsanitize-coverage=trace-pc -c src/parser/content_stream.cpp \
    -o "$out/content_stream.o"
# The rest of the core, uninstrumented, as an archive: the linker takes only what the fonts
# need (the target never opens a file).
mkdir -p "$out/core"
rm -f "$out/core.a"
for src in $(find src -name '*.cpp' ! -name content_stream.cpp | sort); do
    obj="$out/core/$(echo "$src" | tr / _).o"
    g++ "${flags[@]}" -c "$src" -o "$obj"
    ar rcs "$out/core.a" "$obj"
done
g++ "${flags[@]}" fuzz/gcc_fuzz_main.cpp fuzz/content_stream_fuzzer.cpp "$out/content_stream.o" \
    "$out/core.a" -lz -pthread -o "$out/content_stream_fuzzer"
if [ $# -eq 0 ]; then
    "$out/content_stream_fuzzer" fuzz/regressions/content_stream
else
    cp -n fuzz/regressions/content_stream/* "$out/corpus/" 2>/dev/null || true
    cd "$out" && ./content_stream_fuzzer "-fuzz=$1" corpus
fi
