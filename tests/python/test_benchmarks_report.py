"""The committed benchmark reports are what their committed results render to.

Each benchmark writes its results as .json and renders its markdown report from
that text alone; rendering a committed .json again (``--render``) must give the
committed .md byte for byte. A change to the renderers that alters a published
figure, or a report edited by hand, fails here. The committed results show no
fault, so the rows that report one (results differing between thread counts or
rounds, a peer not converged or timed out) are checked on altered copies. Needs
neither R nor statsmodels: rendering measures nothing.
"""

import difflib
import fnmatch
import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

BENCHMARKS = Path(__file__).resolve().parents[2] / "benchmarks"


@pytest.mark.parametrize(
    "script, name",
    [
        ("run.py", "results"),
        ("user_calls.py", "user_calls"),
        ("user_calls.py", "user_calls-quick"),
    ],
)
def test_committed_results_render_to_the_committed_report(tmp_path, script, name):
    results = tmp_path / f"{name}.json"
    shutil.copyfile(BENCHMARKS / f"{name}.json", results)
    proc = subprocess.run(
        [sys.executable, str(BENCHMARKS / script), "--render", str(results)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    got = (tmp_path / f"{name}.md").read_bytes()
    want = (BENCHMARKS / f"{name}.md").read_bytes()
    diff = "".join(
        difflib.unified_diff(
            want.decode().splitlines(True), got.decode().splitlines(True), f"benchmarks/{name}.md", "rendered", n=0
        )
    )
    assert got == want, diff[:4000]


def _render(tmp_path, results: dict) -> list[str]:
    path = tmp_path / "altered.json"
    path.write_text(json.dumps(results))
    proc = subprocess.run(
        [sys.executable, str(BENCHMARKS / "run.py"), "--render", str(path)], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    return (tmp_path / "altered.md").read_text().splitlines()


def _flip_eval_bits(r):
    bits = r["scenarios"]["4"]["timing"]["1"]["evals"]["blocks"]["bits"]
    bits[0] = float.hex(float.fromhex(bits[0]) * (1 + 2**-52))


def _unstable(r):
    r["scenarios"]["1"]["timing"]["2"]["stable_across_rounds"] = False


def _not_converged(r):
    r["scenarios"]["2"]["peers"]["mixedlm"]["converged"] = False


def _timed_out(r):
    r["scenarios"]["2"]["peers"]["lme4"] = {"status": "timeout", "detail": "killed after 600 s"}


# What the committed results never show: the faults the report exists to expose.
@pytest.mark.parametrize(
    "alter, expected",
    [
        (
            _flip_eval_bits,
            ["| 4 | blocks | * | NO | *", "| Evaluations with m ≥ 100,000: * bit-identical: NO; * | **missed** |"],
        ),
        (
            _unstable,
            ["| 1 | blocks | * | NO | *", "| 1 | aggregated | * | NO | *", "| 1 | 1 | * | NO |", "| 1 | 2 | * | NO |"],
        ),
        (_not_converged, ["| 2 | statsmodels MixedLM | * | not converged* |"]),
        (
            _timed_out,
            [
                "| 2 | course evaluations | * | timed out (> 10 min) | — | — | 1.43 s | *",
                "| Scenario 2: whole fit ≥ 100× faster than lme4 | lme4: timed out (> 10 min) | n/a |",
                "| 2 | lme4 lmer | timed out (> 10 min) | — | * | — | killed after 600 s |",
            ],
        ),
    ],
)
def test_the_report_shows_what_went_wrong(tmp_path, alter, expected):
    results = json.loads((BENCHMARKS / "results.json").read_text())
    alter(results)
    lines = _render(tmp_path, results)
    for pattern in expected:
        assert any(fnmatch.fnmatchcase(line, pattern) for line in lines), pattern
