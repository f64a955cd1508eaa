#!/usr/bin/env bash
# Builds the core, its C++ tests and the extension module with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the C++ tests and the Python tests against
# that build. Any report fails the run (UB reports are fatal, ASan aborts on error).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/sanitize

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQK_SANITIZE=ON -DQK_BUILD_TESTS=ON \
  -DQK_BUILD_MODULE=ON -DPython_EXECUTABLE="$(command -v python3)" > /dev/null
cmake --build "$build" -j 2

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$build" --output-on-failure -j 2

# A package directory holding the Python sources and the sanitized module.
pkg="$build/pkg/quorvelkit"
rm -rf "$build/pkg"
mkdir -p "$pkg"
cp -r python/quorvelkit/. "$pkg/"
rm -f "$pkg"/_quorvelkit*.so
cp "$build"/_quorvelkit*.so "$pkg/"

# The interpreter itself is not instrumented: the ASan runtime must be loaded first,
# and the interpreter's own deliberate leaks at exit are not ours to report.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0
export QK_SANITIZED=1
export PYTHONPATH="$build/pkg"
loaded=$(python3 -c "import quorvelkit._quorvelkit as m; print(m.__file__)")
case "$loaded" in
  "$PWD/$build/pkg/"*) ;;
  *) echo "the sanitized module is shadowed by $loaded (an editable install?); install the package normally first" >&2
     exit 1 ;;
esac
python3 -m pytest -q -p no:cacheprovider -n 2 --dist loadfile tests/python "$@"
