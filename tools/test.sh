#!/usr/bin/env bash
# Builds the engine, runs the C++ unit tests, installs the Python package and
# runs the Python tests. Usage: bash tools/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORIN_BUILD_TESTS=ON >/dev/null
cmake --build build/cpp -j "$jobs"
ctest --test-dir build/cpp --output-on-failure -j "$jobs"

python3 -m pip install --quiet ".[test]"
python3 -m pytest -q tests/python
