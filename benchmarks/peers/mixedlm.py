"""statsmodels' MixedLM on one scenario's arrays, REML with its default optimiser.

    python mixedlm.py DATA_DIR

Loads the arrays first, then times only model construction and fit, and prints
one JSON object. The design is passed as matrices (exog = X, exog_re = Z), so
the model is exactly the one every other contender fits.

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


def main() -> None:
    d = Path(sys.argv[1])
    y, x, z, codes = (np.load(d / f"{k}.npy") for k in ("y", "x", "z", "codes"))
    import statsmodels
    from statsmodels.regression.mixed_linear_model import MixedLM

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        t0 = time.perf_counter()
        model = MixedLM(y, x, groups=codes, exog_re=z)
        res = model.fit(reml=True)
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
