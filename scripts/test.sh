#!/usr/bin/env bash
# Installs the package with its test dependencies, then runs every test:
# the C++ unit tests under ctest and the Python tests under pytest.
#
# On a bare machine it first provides what the C++ tests need besides a compiler:
# CMake 3.26 or newer (from PyPI, as the package build itself gets it) and
# GoogleTest (Debian's libgtest-dev, installed when the script runs as root with
# apt-get; otherwise it stops before building anything, with one line saying
# what to run). Arguments are passed to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/cpp-tests

# CMake: the one on PATH if it is new enough, else the PyPI wheel's.
cmake_ok() {
  local v
  v=$(cmake --version 2>/dev/null | sed -n 's/^cmake version \([0-9.]*\).*/\1/p')
  [ -n "$v" ] && [ "$(printf '%s\n' 3.26 "$v" | sort -V | head -n 1)" = 3.26 ]
}
if ! cmake_ok; then
  python3 -m pip install --quiet "cmake>=3.26"
  PATH="$(python3 -c 'import cmake; print(cmake.CMAKE_BIN_DIR)'):$PATH"
  hash -r
fi

configure() {
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQK_BUILD_TESTS=ON -DQK_BUILD_MODULE=OFF
}

# GoogleTest: whatever CMake finds (a system package, or a prefix in GTEST_ROOT);
# when it finds none, Debian's package.
if ! log=$(configure 2>&1); then
  if ! grep -q "Could NOT find GTest" <<< "$log"; then
    printf '%s\n' "$log" >&2
    exit 1
  fi
  if [ "$(id -u)" -eq 0 ] && command -v apt-get > /dev/null; then
    echo "GoogleTest not found: installing Debian's libgtest-dev" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq libgtest-dev > /dev/null
    if ! log=$(configure 2>&1); then
      printf '%s\n' "$log" >&2
      exit 1
    fi
  elif command -v apt-get > /dev/null; then
    echo "scripts/test.sh: GoogleTest not found; run 'sudo apt-get install -y libgtest-dev', then 'bash scripts/test.sh' again" >&2
    exit 1
  else
    echo "scripts/test.sh: GoogleTest not found; install GoogleTest's development files and run 'GTEST_ROOT=<its install prefix> bash scripts/test.sh'" >&2
    exit 1
  fi
fi

python3 -m pip install --quiet ".[test]"

cmake --build "$build" -j 2
ctest --test-dir "$build" --output-on-failure -j 2

# Run from outside the source tree so the installed package is the one under test.
cd tests && python3 -m pytest -q python "$@"
