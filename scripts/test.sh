#!/usr/bin/env bash
# Runs every test: the C++ unit tests (GoogleTest, through CTest), the same under the address,
# undefined-behaviour and thread sanitizers (scripts/sanitize.sh; VELLIX_SANITIZERS=0 skips
# them) and the Python tests (pytest, against the package installed into build/venv). Installs
# what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh --test

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
