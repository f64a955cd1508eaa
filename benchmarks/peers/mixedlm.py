"""statsmodels' MixedLM on one data directory, REML with its default optimiser.

    python mixedlm.py DATA_DIR              # a scenario's model matrices
    python mixedlm.py --formula DATA_DIR    # a user's-call case: its formula on its data frame

Loads the data first, then times only model construction and fit, and prints
one JSON object. A scenario's design is passed as matrices (exog = X,
exog_re = Z), so the model is exactly the one every other contender fits; a
case's data frame (factors as categoricals) goes through ``smf.mixedlm`` with
the case's fixed formula, groups column and re_formula, as a user would call it.

Criterion: -2 * llf of the REML fit, on the same scale as lme4's REML criterion
and our profiled REML deviance; the runner reports the difference on the
sleepstudy scenario, where all three must agree.
"""

from __future__ import annotations

import json
import sys
import time
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from frames import load_frame


def matrices_model(d: Path):
    from statsmodels.regression.mixed_linear_model import MixedLM

    y, x, z, codes = (np.load(d / f"{k}.npy") for k in ("y", "x", "z", "codes"))
    return lambda: MixedLM(y, x, groups=codes, exog_re=z)


def formula_model(d: Path):
    import statsmodels.formula.api as smf

    meta = json.loads((d / "meta.json").read_text())
    fixed, groups, re_formula = meta["mixedlm"]
    df = load_frame(d)
    if meta.get("vc"):  # crossed factors: one group, a variance component per factor
        vc = {f: f"0 + C({f})" for f in meta["vc"]}
        one = np.ones(len(df))
        return lambda: smf.mixedlm(fixed, df, groups=one, re_formula=re_formula, vc_formula=vc)
    return lambda: smf.mixedlm(fixed, df, groups=df[groups], re_formula=re_formula)


def main() -> None:
    formula = sys.argv[1] == "--formula"
    d = Path(sys.argv[-1])
    build = formula_model(d) if formula else matrices_model(d)
    import statsmodels

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        t0 = time.perf_counter()
        res = build().fit(reml=True)
        seconds = time.perf_counter() - t0
    out = {
        "peer": "statsmodels MixedLM",
        "version": statsmodels.__version__,
        "seconds": seconds,
        "criterion": -2.0 * float(res.llf),
        "converged": bool(res.converged),
        "method": str(getattr(res, "method", "")),
        "beta": [float(v) for v in np.asarray(res.fe_params)],
        "warnings": sorted({f"{w.category.__name__}: {str(w.message)[:120]}" for w in caught}),
    }
    json.dump(out, sys.stdout)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
