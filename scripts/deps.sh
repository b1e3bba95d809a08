#!/usr/bin/env bash
# Installs the system packages that building vellix needs (and, with --test, those its tests
# need) when they are missing: Debian's package names, through apt-get.
set -euo pipefail

need_apt=()
[ -f /usr/include/zlib.h ] || need_apt+=(zlib1g-dev)
[ -f /usr/include/openssl/evp.h ] || need_apt+=(libssl-dev)
[ -f /usr/include/freetype2/ft2build.h ] || need_apt+=(libfreetype-dev)
[ -n "$(ls /usr/include/tiffio.h /usr/include/*/tiffio.h 2>/dev/null)" ] || need_apt+=(libtiff-dev)
[ -f /usr/include/jbig2.h ] || need_apt+=(libjbig2dec0-dev)
[ -f /usr/include/brotli/decode.h ] || need_apt+=(libbrotli-dev)
[ -f /usr/include/libdeflate.h ] || need_apt+=(libdeflate-dev)
command -v cmake >/dev/null 2>&1 || need_apt+=(cmake)
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
if [ "${1:-}" = --test ]; then
    [ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
    command -v ninja >/dev/null 2>&1 || need_apt+=(ninja-build)
    command -v pdfinfo >/dev/null 2>&1 || need_apt+=(poppler-utils)  # page sizes the tests compare with
fi
if [ ${#need_apt[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}"
fi
