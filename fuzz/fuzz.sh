#!/usr/bin/env bash
# Builds one fuzz target with GCC under the address and undefined-behaviour sanitizers, then
# either replays its saved inputs or fuzzes.
#
#   fuzz/fuzz.sh TARGET              replay fuzz/regressions/TARGET (and fuzz/seeds/TARGET)
#   fuzz/fuzz.sh TARGET SECONDS      fuzz for SECONDS, corpus in build/fuzz-TARGET/corpus; a
#                                    failing input is left as build/fuzz-TARGET/crash-*, a slow
#                                    one as build/fuzz-TARGET/slow-*
#
# TARGET is one of document, cmap, layout, object, filters, content_stream, crypt, font_program, inline_image,
# image. Only the code the target is about is instrumented for coverage; the rest of the core is built once per target
# directory and rebuilt when a source or header is newer than its object.
#
# The process may hold at most 2 GB (ASAN_OPTIONS hard_rss_limit_mb): a run that grows beyond
# it is reported as a failure, as a crash is.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: fuzz/fuzz.sh TARGET [SECONDS]}
case "$target" in
    document) instrumented=$(find src -name '*.cpp' | sort) ;;
    cmap) instrumented=$(printf '%s\n' src/font.cpp src/glyph_names.cpp) ;;
    font_program) instrumented=src/font_program.cpp ;;
    layout) instrumented=src/layout.cpp ;;
    object) instrumented=src/parser/object.cpp ;;
    filters) instrumented=src/parser/filters.cpp ;;
    content_stream) instrumented=src/parser/content_stream.cpp ;;
    crypt) instrumented=src/crypt.cpp ;;
    inline_image) instrumented=src/parser/inline_image.cpp ;;
    image) instrumented=$(printf '%s\n' src/image.cpp src/image_codecs.cpp src/png.cpp) ;;
    *) echo "unknown target $target" >&2; exit 1 ;;
esac
out=build/fuzz-$target
mkdir -p "$out/obj" "$out/corpus"
flags=(-std=c++23 -g -O1 -fsanitize=address,undefined -fno-sanitize-recover=all
       -fno-omit-frame-pointer -Isrc $(pkg-config --cflags freetype2 2>/dev/null || echo -I/usr/include/freetype2))

# Compiles $1 into $2 with the remaining arguments, unless the object is newer than the source
# and every header.
compile() {
    local src=$1 obj=$2
    shift 2
    if [ -f "$obj" ] && [ "$obj" -nt "$src" ] && [ -z "$(find src -name '*.h' -newer "$obj")" ]; then
        return
    fi
    g++ "${flags[@]}" "$@" -c "$src" -o "$obj"
}

objects=()
for src in $(find src -name '*.cpp' | sort); do
    obj="$out/obj/$(echo "$src" | tr / _).o"
    if echo "$instrumented" | grep -qx "$src"; then
        compile "$src" "$obj" -fsanitize-coverage=trace-pc
    else
        compile "$src" "$obj"
    fi
    objects+=("$obj")
done
# An archive, so the linker takes only what the target needs.
rm -f "$out/core.a"
ar rcs "$out/core.a" "${objects[@]}"
g++ "${flags[@]}" fuzz/gcc_fuzz_main.cpp "fuzz/${target}_fuzzer.cpp" "$out/core.a" -lz -lcrypto -ltiff -ljbig2dec -lfreetype -pthread \
    -o "$out/${target}_fuzzer"

export ASAN_OPTIONS=${ASAN_OPTIONS:-hard_rss_limit_mb=2048:detect_leaks=1}
if [ $# -lt 2 ]; then
    "$out/${target}_fuzzer" "fuzz/regressions/$target" "fuzz/seeds/$target"
    exit
fi
for dir in "fuzz/regressions/$target" "fuzz/seeds/$target"; do
    [ -d "$dir" ] && cp -n "$dir"/* "$out/corpus/" 2>/dev/null || true
done
if [ "$target" = document ]; then
    # Small real files: the test data (encrypted ones too), the example, and files of the shared
    # corpus below 50 KB.
    for f in tests/data/*.pdf tests/data/crypt/*.pdf examples/*.pdf; do
        [ "$(stat -c %s "$f")" -lt 65536 ] && cp -n "$f" "$out/corpus/" || true
    done
    corpus=${VELLIX_CORPUS:-../shared/corpus}
    if [ -d "$corpus" ]; then
        find "$corpus" -name '*.pdf' -size -50k -exec cp -n {} "$out/corpus/" \; || true
    fi
fi
cd "$out" && "./${target}_fuzzer" "-fuzz=$2" corpus
