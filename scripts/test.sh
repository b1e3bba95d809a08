#!/usr/bin/env bash
# Runs every test: the C++ unit tests (GoogleTest, through CTest), the same under the address,
# undefined-behaviour and thread sanitizers (scripts/sanitize.sh; VELLIX_SANITIZERS=0 skips
# them) and the Python tests (pytest, against the package installed into build/venv). Installs
# what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
[ -f /usr/include/zlib.h ] || need_apt+=(zlib1g-dev)
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v ninja >/dev/null 2>&1 || need_apt+=(ninja-build)
command -v cmake >/dev/null 2>&1 || need_apt+=(cmake)
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
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
build/venv/bin/python -m pip install -q pytest
build/venv/bin/python -m pip install -q .
cd tests/python
../../build/venv/bin/python -m pytest -q -p no:cacheprovider .
