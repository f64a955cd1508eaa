"""The simulated data of the GLMM benchmarks (benchmarks/glmm_calls.py): a one-factor
Bernoulli design of 1,000,000 rows in 50,000 groups, written once as CSV for the peers."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

#: Groups and rows of the large Bernoulli design; every group has at least one row.
GROUPS, ROWS = 50_000, 1_000_000


def bernoulli_frame(seed: int = 20261207, groups: int = GROUPS, rows: int = ROWS) -> pd.DataFrame:
    """y ~ x + (1 | g) with sd 0.8 between groups, intercept -0.5 and slope 0.7 on the
    logit scale; group sizes multinomial around rows / groups."""
    rng = np.random.default_rng(seed)
    g = rng.integers(0, groups, rows)
    g[:groups] = np.arange(groups)
    x = rng.normal(size=rows)
    b = rng.normal(scale=0.8, size=groups)
    eta = -0.5 + 0.7 * x + b[g]
    y = (rng.random(rows) < 1.0 / (1.0 + np.exp(-eta))).astype(np.int8)
    return pd.DataFrame({"y": y, "x": np.round(x, 6), "g": pd.Categorical([f"g{k:05d}" for k in g])})


def bernoulli_csv(directory: Path) -> Path:
    """The design as CSV in ``directory`` (written once)."""
    path = directory / f"bernoulli_{ROWS}_{GROUPS}.csv"
    if not path.exists():
        directory.mkdir(parents=True, exist_ok=True)
        bernoulli_frame().to_csv(path, index=False)
    return path
