"""Seeded data frames for the user's-call cases, written once to disk for every contender.

A case is a formula on a data frame, as a user writes it, in each contender's
notation: ours, lme4's and statsmodels' (fixed formula, groups column,
re_formula). Each column is stored as a .npy for the Python contenders and as a
raw little-endian file for R's readBin (NAME.f64 for numbers, NAME.i32 for
1-based factor codes), so no parser stands between a contender and its data.
"""

from __future__ import annotations

import dataclasses
import json
from pathlib import Path

import numpy as np
import scenarios

# Bump when any generator changes, so stale caches are never reused.
GENERATOR_VERSION = 2


@dataclasses.dataclass(frozen=True)
class Case:
    key: int
    title: str
    n: int
    m: int
    formula: str  # ours, and statsmodels' fixed part and groups derived from it
    lme4: str  # the same model in R's notation
    # statsmodels' fixed formula, groups column and re_formula; with ``vc`` its
    # variance-components form (one group, a component per factor); None: not run
    mixedlm: tuple[str, str, str] | None
    seed: int
    vc: tuple[str, ...] = ()
    mixedlm_note: str = ""  # why MixedLM is not run

    @property
    def tag(self) -> str:
        return f"u{self.key}-n{self.n}-m{self.m}-v{GENERATOR_VERSION}"


# Real data sets shipped with the tests: (file, columns read as factors).
TEST_DATA = Path(__file__).resolve().parent.parent / "tests" / "data"
REAL = {
    4: ("chickweight.csv", ("Chick", "Diet")),
    5: ("orthodont.csv", ("Subject", "Sex")),
    6: ("co2.csv", ("Plant", "Type", "Treatment")),
    7: ("star.csv", ("id", "sch", "gr", "cltype", "sx")),
    8: ("crossed/penicillin.csv", ("plate", "sample")),
    9: ("crossed/insteval.csv.gz", ("s", "d", "dept", "service")),
}

#: The ratings design: users x items with Zipf-like item popularity.
RATINGS = (6_000, 3_700)
DENSE_VC = "MixedLM's variance-components form holds every factor's indicator columns densely"


def cases(quick: bool) -> dict[int, Case]:
    big = (100_000, 5_000) if quick else (1_000_000, 50_000)
    return {
        1: Case(
            1,
            "sleepstudy (real data)",
            180,
            18,
            "Reaction ~ Days + (Days | Subject)",
            "Reaction ~ Days + (Days | Subject)",
            ("Reaction ~ Days", "Subject", "~Days"),
            0,
        ),
        2: Case(
            2,
            "course evaluations: 73k ratings, 14 departments",
            73_421,
            1_128,
            "y ~ service + C(dept) + studage + (1 | lecturer)",
            "y ~ service + dept + studage + (1 | lecturer)",
            ("y ~ service + C(dept) + studage", "lecturer", "1"),
            2,
        ),
        3: Case(
            3,
            f"{big[0]:,} rows, {big[1]:,} groups, a 20-level factor",
            big[0],
            big[1],
            "y ~ x1 + x2 + C(site) + (x1 | g)",
            "y ~ x1 + x2 + site + (x1 | g)",
            ("y ~ x1 + x2 + C(site)", "g", "~x1"),
            3,
        ),
        4: Case(
            4,
            "ChickWeight (real data)",
            578,
            50,
            "weight ~ Time * C(Diet) + (Time | Chick)",
            "weight ~ Time * Diet + (Time | Chick)",
            ("weight ~ Time * C(Diet)", "Chick", "~Time"),
            0,
        ),
        5: Case(
            5,
            "Orthodont (real data)",
            108,
            27,
            "distance ~ age * Sex + (age | Subject)",
            "distance ~ age * Sex + (age | Subject)",
            ("distance ~ age * Sex", "Subject", "~age"),
            0,
        ),
        6: Case(
            6,
            "CO2 (real data)",
            84,
            12,
            "uptake ~ conc * Type + Treatment + (1 | Plant)",
            "uptake ~ conc * Type + Treatment + (1 | Plant)",
            ("uptake ~ conc * Type + Treatment", "Plant", "1"),
            0,
        ),
        7: Case(
            7,
            "STAR, schools 1-6 (real data)",
            1_551,
            702,
            "math ~ gr + cltype + sx + (1 | id)",
            "math ~ gr + cltype + sx + (1 | id)",
            ("math ~ gr + cltype + sx", "id", "1"),
            0,
        ),
        8: Case(
            8,
            "Penicillin (real data): plate x sample, crossed",
            144,
            24,
            "diameter ~ 1 + (1 | plate) + (1 | sample)",
            "diameter ~ 1 + (1 | plate) + (1 | sample)",
            ("diameter ~ 1", "", "0"),
            0,
            vc=("plate", "sample"),
        ),
        9: Case(
            9,
            "InstEval (real data): students x lecturers, crossed, and department:service",
            73_421,
            2_972,
            "y ~ 1 + service + (1 | s) + (1 | d) + (1 | dept:service)",
            "y ~ 1 + service + (1 | s) + (1 | d) + (1 | dept:service)",
            None,
            0,
            mixedlm_note=DENSE_VC + " (73421 x 2972 for s)",
        ),
        10: Case(
            10,
            f"{big[0]:,} ratings, {RATINGS[0]:,} users x {RATINGS[1]:,} items, skewed popularity",
            big[0],
            RATINGS[0],
            "y ~ x + (1 | user) + (1 | item)",
            "y ~ x + (1 | user) + (1 | item)",
            None,
            10,
            mixedlm_note=DENSE_VC,
        ),
    }


def ratings_columns(rng: np.random.Generator, n: int, users: int, items: int) -> dict[str, np.ndarray]:
    """A ratings design: users uniform, items Zipf-popular (the k-th rated 1/k as often)."""
    user = rng.integers(0, users, n).astype(np.int32)
    popularity = 1.0 / np.arange(1, items + 1)
    item = rng.choice(items, n, p=popularity / popularity.sum()).astype(np.int32)
    x = rng.standard_normal(n)
    y = 3.0 + 0.3 * x + 0.5 * rng.standard_normal(users)[user] + 0.7 * rng.standard_normal(items)[item]
    return {"y": y + rng.standard_normal(n), "x": x, "user": user, "item": item}


def _frame(c: Case) -> dict[str, np.ndarray]:
    """Columns of the case's data frame: float64 numbers, int32 factor codes."""
    if c.key in REAL:
        import pandas as pd

        name, factors = REAL[c.key]
        d = pd.read_csv(TEST_DATA / name, dtype={f: str for f in factors})
        return {
            col: (pd.factorize(d[col], sort=True)[0].astype(np.int32) if col in factors else d[col].to_numpy(float))
            for col in d.columns
        }
    if c.key == 1:
        import pandas as pd

        d = pd.read_csv(scenarios.SLEEPSTUDY_CSV)
        return {
            "Reaction": d["Reaction"].to_numpy(float),
            "Days": d["Days"].to_numpy(float),
            "Subject": d["Subject"].to_numpy(np.int32),
        }
    rng = np.random.default_rng(31_000 + c.seed)
    n, m = c.n, c.m
    if c.key == 10:
        return ratings_columns(rng, n, *RATINGS)
    g = rng.integers(0, m, n).astype(np.int32)
    if c.key == 2:
        dept = rng.integers(0, 14, n).astype(np.int32)
        service = (rng.random(n) < 0.4).astype(float)
        studage = rng.integers(1, 5, n).astype(float)
        y = (
            3.0
            + 0.1 * dept
            - 0.08 * service
            + 0.05 * studage
            + 0.5 * rng.standard_normal(m)[g]
            + rng.standard_normal(n)
        )
        return {"y": y, "service": service, "dept": dept, "studage": studage, "lecturer": g}
    site = rng.integers(0, 20, n).astype(np.int32)
    x1, x2 = rng.standard_normal(n), rng.standard_normal(n)
    b0, b1 = 0.5 * rng.standard_normal(m), 0.3 * rng.standard_normal(m)
    y = 1.0 + 0.5 * x1 - 0.2 * x2 + 0.05 * site + b0[g] + b1[g] * x1 + rng.standard_normal(n)
    return {"y": y, "x1": x1, "x2": x2, "site": site, "g": g}


def ensure(c: Case, root: Path = scenarios.DEFAULT_CACHE) -> Path:
    """The case's data directory, generated on first use."""

    def write(d: Path) -> dict:
        kinds = {}
        for name, a in _frame(c).items():
            np.save(d / f"{name}.npy", a)
            if a.dtype == np.int32:
                (a + 1).astype("<i4").tofile(d / f"{name}.i32")  # 1-based, as R's factors count
                kinds[name] = "factor"
            else:
                a.astype("<f8").tofile(d / f"{name}.f64")
                kinds[name] = "number"
        mixedlm = None if c.mixedlm is None else list(c.mixedlm)
        return {"n": c.n, "m": c.m, "columns": kinds, "lme4": c.lme4, "mixedlm": mixedlm, "vc": list(c.vc)}

    return scenarios.cached(root, c.tag, write)


def load_frame(d: Path):
    """The data frame every Python contender is given: factors as categoricals."""
    import pandas as pd

    meta = json.loads((d / "meta.json").read_text())
    out = {}
    for name, kind in meta["columns"].items():
        a = np.load(d / f"{name}.npy")
        out[name] = pd.Categorical(a) if kind == "factor" else a
    return pd.DataFrame(out)
