#!/usr/bin/env bash
# Installs the package with its test dependencies, then runs every test:
# the C++ unit tests under ctest and the Python tests under pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install --quiet ".[test]"

cmake -S . -B build/cpp-tests -DCMAKE_BUILD_TYPE=Release -DQK_BUILD_TESTS=ON -DQK_BUILD_MODULE=OFF > /dev/null
cmake --build build/cpp-tests -j 2
ctest --test-dir build/cpp-tests --output-on-failure -j 2

# Run from outside the source tree so the installed package is the one under test.
cd tests && python3 -m pytest -q python "$@"
