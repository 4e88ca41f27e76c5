#!/usr/bin/env bash
# Builds the engine, runs the C++ unit tests, installs the Python package and
# runs the Python tests. Installs what is missing first: a C++ compiler,
# GoogleTest, CMake, Ninja and the Python headers (Debian packages, as root or
# through sudo) and, for the python3 on PATH (an active virtual environment if
# there is one), scipy-openblas32, scikit-build-core and pytest.
# Usage: bash tools/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
python=$(command -v python3)

missing=()
command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
[ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ] || missing+=(libgtest-dev)
# The module compiles against the interpreter's C headers (Debian: python3-dev).
"$python" -c 'import os, sys, sysconfig; sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
  || missing+=(python3-dev)
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]} =="
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

"$python" -m pip install --quiet "scipy-openblas32>=0.3.30,<0.4" "scikit-build-core>=0.10" "pytest>=7"

cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORIN_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build build/cpp -j "$jobs"
ctest --test-dir build/cpp --output-on-failure -j "$jobs"

"$python" -m pip install --quiet ".[test]"
"$python" -m pytest -q tests/python
