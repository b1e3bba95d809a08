#!/usr/bin/env bash
# Runs every test: the C++ unit tests (GoogleTest, through CTest), the same under the address,
# undefined-behaviour and thread sanitizers (scripts/sanitize.sh; VELLIX_SANITIZERS=0 skips
# them) and the Python tests (pytest, against the package installed into build/venv). Installs
# what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
[ -f /usr/include/zlib.h ] || need_apt+=(zlib1g-dev)
[ -f /usr/include/openssl/evp.h ] || need_apt+=(libssl-dev)
[ -f /usr/include/freetype2/ft2build.h ] || need_apt+=(libfreetype-dev)
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
[ -n "$(ls /usr/include/tiffio.h /usr/include/*/tiffio.h 2>/dev/null)" ] || need_apt+=(libtiff-dev)
[ -f /usr/include/jbig2.h ] || need_apt+=(libjbig2dec0-dev)
command -v ninja >/dev/null 2>&1 || need_apt+=(ninja-build)
command -v cmake >/dev/null 2>&1 || need_apt+=(cmake)
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
command -v pdfinfo >/dev/null 2>&1 || need_apt+=(poppler-utils)  # page sizes the tests compare with
if [ ${#need_apt[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 2)

# C++ unit tests, warnings as errors.
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELLIX_BUILD_TESTS=ON -DVELLIX_BUILD_PYTHON=OFF -DVELLIX_WERROR=ON >/dev/null
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"
[ "${VELLIX_SANITIZERS:-1}" = 0 ] || bash scripts/sanitize.sh

# Python tests against the installed wheel.
python3 -m venv --system-site-packages build/venv
build/venv/bin/python -m pip install -q --upgrade pip >/dev/null 2>&1 || true
build/venv/bin/python -m pip install -q pytest mypy pillow
# The Dask extra's test runs when its packages can be had; without them it is skipped.
build/venv/bin/python -m pip install -q "dask[distributed]" pyarrow ||
    echo "dask[distributed] or pyarrow could not be installed: the Dask test will be skipped" >&2
build/venv/bin/python -m pip install -q .
cd tests/python
../../build/venv/bin/python -m pytest -q -p no:cacheprovider .
