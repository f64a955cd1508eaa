"""The committed benchmark reports are what their committed results render to.

Each benchmark writes its results as .json and renders its markdown report from
that text alone; rendering a committed .json again (``--render``) must give the
committed .md byte for byte. A change to the renderers that alters a published
figure, or a report edited by hand, fails here. Needs neither R nor statsmodels:
rendering measures nothing.
"""

import difflib
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

BENCHMARKS = Path(__file__).resolve().parents[2] / "benchmarks"


@pytest.mark.parametrize("script, name", [
    ("run.py", "results"),
    ("user_calls.py", "user_calls"),
    ("user_calls.py", "user_calls-quick"),
])
def test_committed_results_render_to_the_committed_report(tmp_path, script, name):
    results = tmp_path / f"{name}.json"
    shutil.copyfile(BENCHMARKS / f"{name}.json", results)
    proc = subprocess.run([sys.executable, str(BENCHMARKS / script), "--render", str(results)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    got = (tmp_path / f"{name}.md").read_bytes()
    want = (BENCHMARKS / f"{name}.md").read_bytes()
    diff = "".join(difflib.unified_diff(want.decode().splitlines(True), got.decode().splitlines(True),
                                        f"benchmarks/{name}.md", "rendered", n=0))
    assert got == want, diff[:4000]
