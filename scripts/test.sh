#!/usr/bin/env bash
# Installs the package with its test dependencies, then runs every test:
# the C++ unit tests under ctest and the Python tests under pytest.
#
# Nothing is compiled twice: a package already installed from this directory since
# its sources last changed (as the README's install command leaves it) is kept, and
# the C++ tests link the core that package's build compiled (build/{wheel_tag}).
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

# The package's build directory is build/{wheel_tag} (pyproject.toml); its core library
# serves the C++ tests when no core source is newer. Otherwise the tests' build
# compiles the core itself.
core_library() {
  local lib
  for lib in build/*/libqk_core.a; do
    case "$lib" in "$build"/* | build/sanitize/*) continue ;; esac
    [ -f "$lib" ] || continue
    if [ -z "$(find src/pool src/linalg src/lmm src/optim CMakeLists.txt -newer "$lib" -print -quit)" ]; then
      printf '%s\n' "$PWD/$lib"
      return
    fi
  done
}

configure() {
  local generator=()
  if command -v ninja > /dev/null; then generator=(-G Ninja); fi
  if [ -f "$build/CMakeCache.txt" ]; then generator=(); fi  # a build directory keeps its generator
  cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DQK_BUILD_TESTS=ON -DQK_BUILD_MODULE=OFF \
    -DQK_CORE_LIBRARY="$(core_library)"
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

# The package. pip records where it installed a package from (direct_url.json) and
# when (its RECORD file): one installed from this directory, not editable, with no
# source newer than that record is the package these sources build, and is kept. Any
# other is replaced. The build then runs without build isolation when the build
# requirements are at hand: an isolated build's environment is new every time, which
# makes scikit-build-core clear its build directory and compile everything again.
installed_is_current() {
  python3 - "$PWD" <<'PY'
import json, os, sys
from importlib import metadata
from pathlib import Path

root = Path(sys.argv[1])
try:
    dist = metadata.distribution("quorvelkit")
except metadata.PackageNotFoundError:
    sys.exit(1)
origin = json.loads(dist.read_text("direct_url.json") or "{}")
if origin.get("dir_info", {}).get("editable") or origin.get("url") not in {root.as_uri(), root.resolve().as_uri()}:
    sys.exit(1)
record = next((f for f in dist.files or [] if f.name == "RECORD"), None)
if record is None:
    sys.exit(1)
installed = os.stat(dist.locate_file(record)).st_mtime
sources = [root / "CMakeLists.txt", root / "pyproject.toml"]
for top in ("src", "python"):
    sources += [p for p in (root / top).rglob("*") if p.is_file() and "__pycache__" not in p.parts]
sys.exit(0 if max(p.stat().st_mtime for p in sources) < installed else 1)
PY
}

build_requirements_present() {
  python3 - <<'PY'
import sys
from importlib import metadata

def version(name):
    try:
        return tuple(int(part) for part in metadata.version(name).split(".")[:2])
    except (metadata.PackageNotFoundError, ValueError):
        return (0, 0)

sys.exit(0 if version("scikit-build-core") >= (0, 10) and version("numpy") >= (2, 0)
         and version("scipy-openblas32") >= (0, 3) else 1)
PY
}

if installed_is_current; then
  echo "quorvelkit is installed from these sources: kept" >&2
  mapfile -t extra < <(python3 -c 'import tomllib
print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]))')
  python3 -m pip install --quiet "${extra[@]}"
elif build_requirements_present; then
  python3 -m pip install --quiet --no-build-isolation ".[test]"
else
  python3 -m pip install --quiet ".[test]"
fi

# Configured again now that the package's build has run: its core may serve.
configure > /dev/null
cmake --build "$build" -j 2
ctest --test-dir "$build" --output-on-failure -j 2

# Run from outside the source tree so the installed package is the one under test; two
# worker processes, each taking tests from the other's queue when its own runs out (a
# module's shared fixtures are then built at most once per worker).
cd tests && python3 -m pytest -q -n 2 --dist worksteal python "$@"
