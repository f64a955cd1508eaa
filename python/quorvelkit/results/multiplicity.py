"""Multiplicity adjustments of a family of t (or z) tests and of their confidence
intervals, as emmeans (Lenth, R package emmeans 1.8) applies them to marginal means and
their contrasts, and the contrast coefficients of its named contrast families.

A family is the set of estimates tested together: the rows of one ``by`` group. For
the single-step methods (Tukey, Sidak, Scheffe, Dunnett's approximation) every row is
adjusted for the size of one group; the step-down and false-discovery methods
(Holm, Hochberg, Benjamini-Hochberg and -Yekutieli, Bonferroni) run group by group.

* tukey: the studentized range of ``family_size`` means, P(Q > sqrt(2) |t|), with the
  df rounded as R's ``zapsmall`` rounds them (emmeans does) for the p-values; only
  for pairwise comparisons, otherwise Sidak's is used instead (with a note).
* sidak: 1 - (1 - p)^k; bonferroni: min(1, k p); scheffe: P(F(r, df) > t^2 / r), r the
  rank of the family's linear functions.
* dunnettx: Tukey's approximation of Dunnett's two-sided statistic that emmeans uses,
  a weighted mean of the studentized range of (1 + sqrt(1 + 8k)) / 2 means and the
  Sidak product of k F(1, df) probabilities, weights (k - 1)/k and 1/k. Its critical
  value is the exact root of that approximation (emmeans stops its root search at
  5e-4, so its intervals may differ in the fourth digit).
* The multivariate t ("mvt") needs randomised quasi-Monte Carlo integration
  (Genz and Bretz 2009), not an exact value; it is not offered.

Intervals: "none", "sidak", "bonferroni", "tukey", "scheffe" and "dunnettx" adjust the
critical value; a p-value-only method (holm, fdr, ...) gives Bonferroni intervals, as
emmeans gives them. A family of one estimate is not adjusted (but by Scheffe's method).
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from .pvalues import normal_quantile, t_two_sided

__all__ = ["Family", "ADJUSTMENTS", "adjust_pvalues", "critical_values", "poly_coefficients"]

#: The p-value adjustments offered (emmeans' names; "BH" is "fdr").
ADJUSTMENTS = ("tukey", "sidak", "bonferroni", "scheffe", "dunnettx", "holm", "hochberg", "fdr", "BH", "BY", "none")
_STEPWISE = ("holm", "hochberg", "fdr", "BH", "BY", "bonferroni", "none")
_INTERVAL = ("none", "sidak", "bonferroni", "tukey", "scheffe", "dunnettx")


@dataclass(frozen=True)
class Family:
    """The families of a table of estimates: ``groups`` lists each ``by`` group's rows
    (all of the same size), ``family_size`` the number of means compared (Tukey's),
    ``pairs`` whether the rows are pairwise differences of means, ``ranks`` the rank
    of each group's linear functions (Scheffe's)."""

    groups: list[np.ndarray]
    family_size: int
    pairs: bool
    ranks: list[int]

    @property
    def n_tests(self) -> int:
        return len(self.groups[0])


def resolve(adjust: str, family: Family, intervals: bool) -> tuple[str, str | None]:
    """The method emmeans applies for ``adjust`` and the note it makes when it swaps one
    for another; ``ValueError`` for a method not offered."""
    if adjust not in ADJUSTMENTS:
        raise ValueError(f"adjust must be one of {', '.join(ADJUSTMENTS)}; got {adjust!r}")
    if family.n_tests == 1 and adjust != "scheffe":
        return "none", None
    if intervals and adjust not in _INTERVAL:
        adjust = "bonferroni"
    if adjust == "tukey" and not family.pairs:
        note = 'adjust = "tukey" was changed to "sidak" because "tukey" is only appropriate for pairwise comparisons'
        return "sidak", note
    return adjust, None


def _zap_small(df: np.ndarray, digits: int = 7) -> np.ndarray:
    """R's (4.2) ``zapsmall(df)``: rounded to digits - ceiling(log10(max |df|)) decimals."""
    mx = float(np.max(np.abs(df)))
    if not mx > 0:
        return df
    decimals = 0 if math.isinf(mx) else max(0, digits - math.ceil(math.log10(mx)))
    return np.array([round(float(v), decimals) if math.isfinite(v) else v for v in df])


def _tukey_sf(q: np.ndarray, k: float, df: np.ndarray) -> np.ndarray:
    from .ptukey import ptukey  # imported when needed, with scipy.special

    return 0.5 - ptukey(q, k, df) + 0.5  # R's upper tail of ptukey


def _f_cdf(x: np.ndarray, n: float, df: np.ndarray) -> np.ndarray:
    from scipy.special import chdtr, fdtr

    df = np.asarray(df, dtype=float)
    finite = np.isfinite(df)
    out = np.empty(np.broadcast(x, df).shape)
    xb, dfb = np.broadcast_arrays(x, df)
    fin = np.broadcast_to(finite, out.shape)
    out[fin] = fdtr(n, dfb[fin], xb[fin])
    out[~fin] = chdtr(n, n * xb[~fin])  # F(n, inf) is chi-squared(n) / n
    return out


def _dunnettx_cdf(x: np.ndarray, k: int, df: np.ndarray) -> np.ndarray:
    """emmeans' approximation of P(max |T_j| <= x) for k comparisons with a control."""
    from .ptukey import ptukey

    weight = (k - 1) / k
    tukey = ptukey(math.sqrt(2.0) * np.asarray(x), (1.0 + math.sqrt(1.0 + 8.0 * k)) / 2.0, df)
    sidak = _f_cdf(np.asarray(x) ** 2, 1.0, df) ** k
    return np.asarray(weight * tukey + (1.0 - weight) * sidak, dtype=float)


def _step_adjust(p: np.ndarray, method: str) -> np.ndarray:
    """R's ``p.adjust(p, method)`` of one family."""
    n = p.size
    if method == "none":
        return p
    if method == "bonferroni":
        return np.asarray(np.minimum(1.0, n * p), dtype=float)
    if method == "holm":
        order = np.argsort(p, kind="stable")
        adj = np.minimum(1.0, np.maximum.accumulate((n - np.arange(n)) * p[order]))
    else:
        order = np.argsort(p, kind="stable")[::-1]
        i = np.arange(n, 0, -1)
        if method == "hochberg":
            scaled = (n - i + 1) * p[order]
        else:  # Benjamini and Hochberg (1995); Benjamini and Yekutieli (2001) add sum 1/j
            q = float(np.sum(1.0 / np.arange(1, n + 1))) if method == "BY" else 1.0
            scaled = q * n / i * p[order]
        adj = np.minimum(1.0, np.minimum.accumulate(scaled))
    out = np.empty(n)
    out[order] = adj
    return out


def adjust_pvalues(t: np.ndarray, df: np.ndarray, adjust: str, family: Family) -> tuple[np.ndarray, str, str | None]:
    """Two-sided p-values of the statistics ``t`` adjusted by ``adjust`` within
    ``family``; the method applied and a note when it is not the one asked for."""
    method, note = resolve(adjust, family, intervals=False)
    raw = t_two_sided(t, df)
    k = family.n_tests
    if method in _STEPWISE:
        out = np.empty_like(raw)
        for rows in family.groups:
            out[rows] = _step_adjust(raw[rows], "BH" if method == "fdr" else method)
        return out, method, note
    if method == "sidak":
        return 1.0 - (1.0 - raw) ** k, method, note
    if method == "tukey":
        return _tukey_sf(math.sqrt(2.0) * np.abs(t), family.family_size, _zap_small(df)), method, note
    if method == "dunnettx":
        return 1.0 - _dunnettx_cdf(np.abs(t), k, df), method, note
    # Scheffe: every row's F on the rank of its group's functions
    out = np.empty_like(raw)
    for rows, r in zip(family.groups, family.ranks, strict=True):
        out[rows] = 1.0 - _f_cdf(t[rows] ** 2 / r, float(r), df[rows])
    return out, method, note


def _t_quantile(p: float, df: np.ndarray) -> np.ndarray:
    from scipy.special import stdtrit

    df = np.asarray(df, dtype=float)
    finite = np.isfinite(df)
    return np.asarray(np.where(finite, stdtrit(np.where(finite, df, 1.0), p), normal_quantile(p)), dtype=float)


def _f_quantile(p: float, n: float, df: np.ndarray) -> np.ndarray:
    from scipy.special import chdtri, fdtri

    df = np.asarray(df, dtype=float)
    finite = np.isfinite(df)
    return np.asarray(np.where(finite, fdtri(n, np.where(finite, df, 1.0), p), chdtri(n, 1.0 - p) / n), dtype=float)


def _root(cdf: Callable[[float], Any], level: float, lo: float) -> float:
    """The x with cdf(x) = level, cdf increasing from below ``level`` at ``lo``."""
    from scipy.optimize import brentq

    hi = 2.0 * lo
    while cdf(hi) < level:
        hi *= 2.0
    return float(brentq(lambda x: cdf(x) - level, lo, hi, xtol=1e-13, rtol=1e-15))


def _roots(
    cdf: Callable[[np.ndarray, np.ndarray], np.ndarray], level: float, dfs: np.ndarray, start: float
) -> np.ndarray:
    """The x with cdf(x, df) = level for each of ``dfs`` at once, by the secant method
    from ``start`` (the root at one of them, close to the others': the quantile moves
    little with the df); a df where it does not settle within 30 steps is NaN. Each
    step evaluates the distribution function of every df still moving in one call."""
    x0 = np.full(dfs.size, start)
    f0 = cdf(x0, dfs) - level
    x1 = x0 * (1.0 + 1e-4)
    f1 = cdf(x1, dfs) - level
    moving = np.ones(dfs.size, dtype=bool)
    for _ in range(30):
        with np.errstate(divide="ignore", invalid="ignore"):
            step = np.where(f1 != f0, f1 * (x1 - x0) / (f1 - f0), 0.0)
        x0, f0 = x1.copy(), f1.copy()
        x1 = x1 - np.where(moving, step, 0.0)
        moving &= np.abs(step) > 1e-12 * np.abs(x1)
        if not moving.any():
            return x1
        f1[moving] = cdf(x1[moving], dfs[moving]) - level
    x1[moving] = np.nan
    return x1


def critical_values(level: float, df: np.ndarray, adjust: str, family: Family) -> tuple[np.ndarray, str, str | None]:
    """The multiplier c of each row's two-sided interval estimate -+ c SE at ``level``
    under ``adjust``; the method applied and a note when it is not the one asked for."""
    method, note = resolve(adjust, family, intervals=True)
    df = np.asarray(df, dtype=float)
    k = family.n_tests
    if method == "none":
        return _t_quantile(0.5 + level / 2.0, df), method, note
    if method == "sidak":
        return _t_quantile(1.0 - (1.0 - level ** (1.0 / k)) / 2.0, df), method, note
    if method == "bonferroni":
        return _t_quantile(1.0 - (1.0 - level) / k / 2.0, df), method, note
    out = np.empty_like(df)
    if method == "scheffe":
        for rows, r in zip(family.groups, family.ranks, strict=True):
            out[rows] = np.sqrt(r * _f_quantile(level, float(r), df[rows]))
        return out, method, note
    from .ptukey import ptukey

    m = family.family_size

    def tukey(x: np.ndarray, v: np.ndarray) -> np.ndarray:
        return ptukey(x, m, v)

    def dunnettx(x: np.ndarray, v: np.ndarray) -> np.ndarray:
        return _dunnettx_cdf(x, k, v)

    cdf, scale = (tukey, math.sqrt(2.0)) if method == "tukey" else (dunnettx, 1.0)
    values, where = np.unique(df, return_inverse=True)  # one root per distinct df
    middle = float(values[values.size // 2])
    t_quantile = float(_t_quantile(0.5 + level / 2.0, np.array([middle]))[0])

    def at(v: float) -> Callable[[float], Any]:
        return lambda x: float(cdf(np.array(x), np.array(v)))

    roots = _roots(cdf, level, values, _root(at(middle), level, t_quantile))
    for j in np.flatnonzero(~np.isfinite(roots)):  # a root the secant steps missed: bracketed
        roots[j] = _root(at(float(values[j])), level, float(_t_quantile(0.5 + level / 2.0, values[j : j + 1])[0]))
    out = roots[where.ravel()] / scale
    return out, method, note


def poly_coefficients(k: int) -> tuple[np.ndarray, list[str]]:
    """Orthogonal polynomial contrasts of k equally spaced levels, of degree 1 to
    min(6, k - 1), each scaled to the smallest integers (emmeans' ``poly.emmc``): the
    orthonormal polynomials (R's ``poly``, leading coefficient positive) divided by
    their smallest entry above 0.01, then by the largest distance from an integer
    while that exceeds 0.05, and rounded. Rows are the polynomials."""
    degree = min(6, k - 1)
    x = np.arange(1, k + 1, dtype=float)
    x -= x.mean()
    q, r = np.linalg.qr(np.vander(x, degree + 1, increasing=True))
    q = q * np.sign(np.diag(r))  # the sign of each column: positive leading coefficient
    rows = []
    for j in range(1, degree + 1):
        con = q[:, j]
        con = con / con[con > 0.01].min()
        z = float(np.max(np.abs(con - np.round(con))))
        while z > 0.05:
            con = con / z
            z = float(np.max(np.abs(con - np.round(con))))
        rows.append(np.round(con))
    names = ["linear", "quadratic", "cubic", "quartic"] + [f"degree {d}" for d in range(5, 21)]
    return np.array(rows), names[:degree]


def matrix_rank(rows: Sequence[np.ndarray] | np.ndarray) -> int:
    """The rank of linear functions as R's ``qr(zapsmall(L))$rank`` finds it (tolerance 1e-7)."""
    a = np.atleast_2d(np.asarray(rows, dtype=float))
    mx = float(np.max(np.abs(a))) if a.size else 0.0
    if mx > 0:
        a = np.round(a, max(0, 7 - math.ceil(math.log10(mx))))
    return int(np.linalg.matrix_rank(a, tol=1e-7 * max(1.0, float(np.max(np.abs(a))) if a.size else 1.0)))
