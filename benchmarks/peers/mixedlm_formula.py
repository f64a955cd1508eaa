"""statsmodels' mixedlm on one user-call case: the case's formula on its data frame,
REML with statsmodels' default optimiser.

    python mixedlm_formula.py DATA_DIR

Loads the data frame first (factors as categoricals), then times only model
construction from the formula and the fit, and prints one JSON object. Criterion:
-2 * llf, on the scale of lme4's REML criterion and ours.
"""

from __future__ import annotations

import json
import sys
import time
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from user_calls import load_frame  # noqa: E402


def main() -> None:
    d = Path(sys.argv[1])
    meta = json.loads((d / "meta.json").read_text())
    fixed, groups, re_formula = meta["mixedlm"]
    df = load_frame(d)
    import statsmodels
    import statsmodels.formula.api as smf

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        t0 = time.perf_counter()
        res = smf.mixedlm(fixed, df, groups=df[groups], re_formula=re_formula).fit(reml=True)
        seconds = time.perf_counter() - t0
    print(json.dumps({"peer": "statsmodels MixedLM", "version": statsmodels.__version__, "seconds": seconds,
                      "criterion": -2.0 * float(res.llf), "converged": bool(res.converged),
                      "warnings": sorted({f"{w.category.__name__}: {str(w.message)[:120]}" for w in caught})}))


if __name__ == "__main__":
    main()
