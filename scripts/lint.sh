#!/usr/bin/env bash
# Static checks, with the tools pinned here: ruff's linter and formatter on every Python
# file (rules in pyproject.toml), mypy on the package, and mypy's stubtest of the
# compiled module against python/quorvelkit/_quorvelkit.pyi. Stubtest imports the
# module, so the package must be installed first (bash scripts/test.sh does that).
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install --quiet "ruff==0.17.6" "mypy==2.4.1" "pandas-stubs==3.1.0.261029"
python3 -m ruff check .
python3 -m ruff format --check .
python3 -m mypy
# From outside the source tree, so that the installed module is the one checked.
cd tests && python3 -m mypy.stubtest quorvelkit._quorvelkit
