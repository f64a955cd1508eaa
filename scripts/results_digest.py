"""Prints one line per case: a SHA-256 of every number a fit gives (criterion, gradient,
theta, estimates, standard errors, Satterthwaite's df, profile intervals, random
effects, predictions) and of its report, for the bundled example and the reference
data sets, in memory and from batches. Two builds whose outputs are equal compute the
same bits: run it before and after a change that must keep them
(``python scripts/results_digest.py > before.txt``)."""

from __future__ import annotations

import hashlib
import re
import sys
import tempfile
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

import quorvelkit as qk

DATA = Path(__file__).resolve().parent.parent / "tests" / "data"


def digest(values: list) -> str:
    h = hashlib.sha256()
    for v in values:
        if isinstance(v, str):
            h.update(v.encode())
        else:
            h.update(np.ascontiguousarray(np.asarray(v, dtype=float)).tobytes())
    return h.hexdigest()[:16]


def numbers(fit: qk.LmmFit, profile: bool) -> list:
    out = [fit.criterion, fit.solution["grad"], fit.theta, fit.fixef, fit.se, fit.sigma, fit.coef_table["df"]]
    for name, modes in fit.ranef.items():  # by factor
        out += [modes.to_numpy(), fit.cond_cov[name]]
    if profile:
        out.append(fit.confint(method="profile", progress=False).to_numpy())
    return out


def report(fit: qk.LmmFit) -> str:
    # The timing lines differ from run to run.
    return "\n".join(line for line in fit.summary_text().splitlines() if not re.search(r"seconds|Time|time", line))


def main() -> None:
    warnings.simplefilter("ignore")
    sleep = qk.load_sleepstudy()
    chick = pd.read_csv(DATA / "chickweight.csv")
    ortho = pd.read_csv(DATA / "orthodont.csv")
    air = pd.read_csv(DATA / "airquality.csv")
    star = pd.read_csv(DATA / "star.csv")
    cases = [
        ("sleep", "Reaction ~ Days + (Days | Subject)", sleep, {}),
        ("sleep-ml", "Reaction ~ Days + (Days | Subject)", sleep, {"reml": False}),
        ("sleep-uncorr", "Reaction ~ Days + (Days || Subject)", sleep, {}),
        ("chick", "weight ~ Time + I(Time^2) + factor(Diet) + (Time | Chick)", chick, {}),
        ("ortho", "distance ~ age * Sex + (1 | Subject)", ortho, {}),
        ("air", "Ozone ~ Solar.R + Wind + (1 | Month)", air, {}),
        ("star", "math ~ C(gr) + cltype + (1 | id)", star, {}),
        ("weights", "distance ~ age + (1 | Subject)", ortho, {"weights": np.linspace(0.5, 2.0, len(ortho))}),
        ("offset", "distance ~ age + offset(0.5 * age) + (1 | Subject)", ortho, {"offset": np.arange(len(ortho)) % 3}),
    ]
    for name, formula, data, kw in cases:
        fit = qk.lmm(formula, data, **kw)
        print(name, digest(numbers(fit, profile=name in ("sleep", "ortho"))), digest([report(fit)]))
        new = fit.predict(data.iloc[::5]).to_numpy() if "offset" not in kw else fit.predict().to_numpy()
        print(name + "-predict", digest([new, fit.fitted.to_numpy()]))
    for name, formula, data in [
        ("sleep-batches", "Reaction ~ Days + (Days | Subject)", sleep),
        ("chick-batches", "weight ~ Time + I(Time^2) + (Time | Chick)", chick),
    ]:
        chunks = [data.iloc[i : i + 97] for i in range(0, len(data), 97)]
        fit = qk.lmm(formula, iter(chunks))
        print(name, digest(numbers(fit, profile=False)))
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError:
            continue
        with tempfile.TemporaryDirectory() as tmp:
            for k, chunk in enumerate(chunks):
                pq.write_table(pa.Table.from_pandas(chunk, preserve_index=False), f"{tmp}/part-{k:03d}.parquet")
            fit = qk.lmm(formula, tmp, batch_rows=64)
            print(name + "-parquet", digest(numbers(fit, profile=False)))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
