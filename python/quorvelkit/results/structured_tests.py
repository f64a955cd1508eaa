"""nlme's tests of the fixed effects of a model with a residual structure (the degrees
of freedom by containment, the marginal F tests of each term), and the choice of
degrees of freedom its tests take; Satterthwaite's are :mod:`quorvelkit.results.satterthwaite`'s."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from ..model.design import Design
from .pvalues import f_upper

__all__ = ["check_ddf", "containment_df", "marginal_anova"]


def check_ddf(ddf: Any) -> str:
    """``ddf`` checked: "nlme", "satterthwaite" or "kenward-roger" (any case)."""
    name = ddf.lower() if isinstance(ddf, str) else ddf
    if name not in ("nlme", "satterthwaite", "kenward-roger"):
        raise ValueError(f'ddf must be "nlme", "satterthwaite" or "kenward-roger", got {ddf!r}')
    return str(name)


def containment_df(design: Design, names: Sequence[str]) -> np.ndarray:
    """nlme's denominator degrees of freedom of each fixed effect of a model with random
    effects on one factor, by containment (Pinheiro & Bates 2000, sec. 2.4.2): a column
    constant within every group, and not among the random effects' columns, is
    estimated between groups, m - 1 - (such columns); the others within groups,
    n - m - (the others but the intercept)."""
    rows = design.need_rows("the degrees of freedom")
    codes, m, n = rows.codes, design.m, design.n
    order = np.argsort(codes, kind="stable")
    starts = np.r_[0, np.flatnonzero(np.diff(codes[order])) + 1]
    xs = rows.x[order]
    first = np.repeat(xs[starts], np.diff(np.r_[starts, len(order)]), axis=0)
    constant = np.all(xs == first, axis=0)
    random_cols = set(design.re_names)
    intercept = np.array([name == "(Intercept)" for name in names])
    outer = constant & ~intercept & np.array([name not in random_cols for name in names])
    inner = ~outer & ~intercept
    return np.asarray(np.where(outer, m - 1 - outer.sum(), n - m - inner.sum()), dtype=float)


def marginal_anova(design: Design, beta: np.ndarray, cov: np.ndarray, df: np.ndarray, reml: bool) -> pd.DataFrame:
    """nlme's ``anova(fit, type = "marginal")``: for a term's coefficients b_T, F =
    b_T' Cov(b_T)^-1 b_T / r with r of them, on the term's denominator df ``df``; by
    ML with random effects, Cov(b) taken with sigma^2 n / (n - p), as nlme's anova
    takes it."""
    d = design
    kept = {c: k for k, c in enumerate(d.kept_columns)}
    if not reml and d.spec.q:
        cov = cov * (d.n / (d.n - len(beta)))
    spec = d.spec.fixed_spec
    names = d.parsed.display_names(list(spec.term_indices))
    rows, index = [], []
    for name, cols in zip(names, spec.term_indices.values(), strict=True):
        at = [kept[c] for c in cols if c in kept]
        if not at:
            continue
        b = beta[at]
        f = float(b @ np.linalg.solve(cov[np.ix_(at, at)], b)) / len(at)
        rows.append([len(at), df[at[0]], f, f_upper(f, len(at), df[at[0]])])
        index.append("(Intercept)" if name == "1" else name)
    return pd.DataFrame(rows, index=index, columns=["numDF", "denDF", "F-value", "p-value"])
