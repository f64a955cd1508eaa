"""The first calls in a fresh Python process: ``import quorvelkit``, the first fit, the
first summary and the first coefficient table.

    python benchmarks/cold_start.py                      # the quorvelkit Python finds
    python benchmarks/cold_start.py --path python        # a checkout's package first
    python benchmarks/cold_start.py --repeats 9 --json cold_start.json

Every measurement runs in an interpreter of its own, since a module is imported once
per process; each is repeated and reported by its median and its best. Measured:

* ``python -X importtime -c "import quorvelkit"``: the cumulative import time of
  quorvelkit as importtime reports it, and of pandas, numpy and scipy within it;
* in one process: the import, the first fit of sleepstudy (``Reaction ~ Days + (Days |
  Subject)``), its first ``summary_text()``; then a second fit and its summary, which
  import nothing: the fit and the summary themselves;
* in another: the import, the first fit and its first ``coef_table``, and the first
  ``anova_terms()``.

"Beyond the fit itself" is a first call's time less the same call's time once
everything it imports is loaded. The machine's load changes every figure: compare two
versions (``--path``) in the same run of minutes, on a quiet machine.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

FORMULA = "Reaction ~ Days + (Days | Subject)"

CHILD = """
import sys, time, json
sys.path[:0] = {path!r}
clock = time.perf_counter
t0 = clock()
import quorvelkit as qk
t1 = clock()
data = qk.load_sleepstudy()
t2 = clock()
fit = qk.lmm({formula!r}, data)
t3 = clock()
out = {{"import": t1 - t0, "first fit": t3 - t2}}
if {which!r} == "summary":
    fit.summary_text()
    t4 = clock()
    again = qk.lmm({formula!r}, data)
    t5 = clock()
    again.summary_text()
    t6 = clock()
    out.update({{"first summary": t4 - t3, "fit, warm": t5 - t4, "summary, warm": t6 - t5}})
else:
    fit.coef_table
    t4 = clock()
    fit.anova_terms()
    t5 = clock()
    out.update({{"first coef_table": t4 - t3, "first anova_terms": t5 - t4}})
out["scipy.stats loaded"] = "scipy.stats" in sys.modules
print(json.dumps(out))
"""


def run_child(path: list[str], which: str) -> dict:
    code = CHILD.format(path=path, formula=FORMULA, which=which)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def import_times(path: list[str]) -> dict[str, float]:
    """Cumulative seconds of the top-level imports importtime reports for ``import quorvelkit``."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path + [os.environ.get("PYTHONPATH", "")]).rstrip(os.pathsep))
    done = subprocess.run(
        [sys.executable, "-X", "importtime", "-c", "import quorvelkit"], capture_output=True, text=True, env=env
    )
    done.check_returncode()
    out: dict[str, float] = {}
    for line in done.stderr.splitlines():
        if not line.startswith("import time:") or "cumulative" in line:
            continue
        _, cumulative, name = (part.strip() for part in line.removeprefix("import time:").split("|"))
        if name in ("quorvelkit", "pandas", "numpy", "scipy", "scipy.stats", "formulaic"):
            out[name] = out.get(name, 0.0) + int(cumulative) / 1e6
    return out


def summarise(samples: list[dict]) -> dict[str, dict[str, float]]:
    keys = [k for k, v in samples[0].items() if isinstance(v, float)]
    return {k: {"median": statistics.median(s[k] for s in samples), "best": min(s[k] for s in samples)} for k in keys}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--path", action="append", default=[], help="put this directory first on sys.path")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--json", type=Path, help="write the numbers here")
    args = parser.parse_args()
    path = [str(Path(p).resolve()) for p in args.path]
    located = subprocess.run(
        [sys.executable, "-c", f"import sys; sys.path[:0] = {path!r}; import quorvelkit; print(quorvelkit.__file__)"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    importtime = [import_times(path) for _ in range(args.repeats)]
    summary = [run_child(path, "summary") for _ in range(args.repeats)]
    tables = [run_child(path, "tables") for _ in range(args.repeats)]
    result = {
        "quorvelkit": located,
        "repeats": args.repeats,
        "importtime": summarise(importtime),
        "summary": summarise(summary),
        "tables": summarise(tables),
        "scipy.stats loaded": any(s["scipy.stats loaded"] for s in summary + tables),
    }
    s, t = result["summary"], result["tables"]
    beyond = {
        f"{first} beyond the {call}": {m: s[first][m] - s[f"{call}, warm"][m] for m in ("median", "best")}
        for first, call in (("first fit", "fit"), ("first summary", "summary"))
    }
    print(f"quorvelkit: {located}  ({args.repeats} fresh processes each; seconds, median / best)\n")
    print("| measurement | median | best |\n|---|---:|---:|")
    groups = (("importtime, cumulative", result["importtime"]), ("summary process", s), ("tables process", t))
    for group, table in groups + (("", beyond),):
        for name, v in table.items():
            label = f"{group}: {name}" if group else name
            print(f"| {label} | {v['median']:.3f} | {v['best']:.3f} |")
    print(f"\nscipy.stats imported by these calls: {'yes' if result['scipy.stats loaded'] else 'no'}")
    if args.json:
        args.json.write_text(json.dumps(result | {"beyond": beyond}, indent=2) + "\n")


if __name__ == "__main__":
    main()
