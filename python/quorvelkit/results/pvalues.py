"""p-values: the upper tails of the t, F and chi-squared distributions and the normal
quantile, and a column of numbers or p-values printed as R prints it.

The tails are scipy.special's routines (the regularised incomplete beta and gamma
functions to full double precision), the ones scipy.stats' distributions evaluate
after checking their arguments: with the same checks here, every value is bit-identical
to ``scipy.stats.t.sf``, ``f.sf``, ``chi2.sf`` and ``norm.ppf``. scipy.special is
imported where it is first needed; scipy.stats is never imported, since importing it
costs about a second in a fresh process.

The printed form is base R's: :func:`format_numbers` is ``format(x, digits = d)`` of a
column (a common number of decimals, or a common scientific mantissa when that is
narrower), :func:`format_pvalues` is ``format.pval(x, digits = d)`` with eps the machine
epsilon, as ``printCoefmat`` calls it for the p-values of a coefficient or test table.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np

__all__ = [
    "EPS",
    "t_two_sided",
    "f_upper",
    "chi2_upper",
    "normal_quantile",
    "zap_small",
    "format_numbers",
    "format_pvalues",
]

#: R's .Machine$double.eps: format.pval prints a p-value below it as "< eps".
EPS = float(np.finfo(float).eps)


def t_two_sided(t: Any, df: Any) -> np.ndarray:
    """2 P(T_df > |t|) elementwise: NaN where df is not positive or a value is NaN; df
    infinite is the normal distribution."""
    from scipy.special import stdtr

    return np.asarray(2.0 * stdtr(np.asarray(df, dtype=float), -np.abs(np.asarray(t, dtype=float))), dtype=float)


def f_upper(f: float, dfn: float, dfd: float) -> float:
    """P(F_{dfn, dfd} > f): NaN when a df is not positive or a value is NaN, 1 for
    f <= 0, 0 for f infinite."""
    from scipy.special import fdtrc

    if not (dfn > 0 and dfd > 0) or math.isnan(f):
        return math.nan
    return 1.0 if f <= 0 else 0.0 if f == math.inf else float(fdtrc(dfn, dfd, f))


def chi2_upper(x: float, df: float) -> float:
    """P(chi2_df > x): NaN when df is not positive or a value is NaN, 1 for x <= 0, 0
    for x infinite."""
    from scipy.special import chdtrc

    if not df > 0 or math.isnan(x):
        return math.nan
    return 1.0 if x <= 0 else 0.0 if x == math.inf else float(chdtrc(df, x))


def normal_quantile(q: Any) -> Any:
    """The standard normal quantile (a float for a float, an array for an array)."""
    from scipy.special import ndtri

    out = ndtri(q)
    return float(out) if np.ndim(out) == 0 else np.asarray(out, dtype=float)


def zap_small(values: Sequence[float] | np.ndarray, digits: int) -> list[float]:
    """R's ``zapsmall(x, digits)``: the values rounded to ``digits - log10(max |x|)``
    decimals (R rounds that count to the nearest integer), so that values negligible
    beside the largest print as 0. NaN stays NaN."""
    xs = [float(v) for v in values]
    finite = [abs(x) for x in xs if math.isfinite(x)]
    mx = max(finite) if finite else 0.0
    decimals = max(0, math.floor(digits - math.log10(mx) + 0.5)) if mx > 0 else digits
    return [round(x, decimals) if math.isfinite(x) else x for x in xs]


def _scientific(x: float, digits: int) -> tuple[int, int, bool]:
    """R's ``scientific()`` of a finite x: the power of ten of x rounded to ``digits``
    significant digits, the significant digits that rounding leaves (trailing zeros
    dropped) and whether rounding carried x to the next power of ten."""
    if x == 0:
        return 0, 1, False
    mantissa, exponent = f"{abs(x):.{digits - 1}e}".split("e")
    kpower = int(exponent)
    nsig = len(mantissa.replace(".", "").rstrip("0")) or 1
    # Fixed notation rounds to digits - kpower decimals (at least 0) and may then keep
    # x below 10^kpower, where the scientific form reached it (9996 to 3 digits).
    widens = kpower > 0 and abs(x) < 10.0**kpower - 0.5 / 10.0 ** max(0, digits - kpower)
    return kpower, nsig, widens


def format_numbers(values: Sequence[float] | np.ndarray, digits: int) -> list[str]:
    """``format(values, digits = digits)`` in R (``formatReal``): fixed notation with
    the decimals that show every value to ``digits`` significant digits, unless the
    scientific form with a common mantissa is narrower. Strings are not padded; a
    non-finite value is "NaN", "Inf" or "-Inf"."""
    finite = [float(v) for v in values if math.isfinite(float(v))]
    if not finite:
        return [_nonfinite(float(v)) for v in values]
    neg = rgt = 0
    mxsl = mxl = mxns = -(10**9)
    mxe, mne = -(10**9), 10**9
    for x in finite:
        kpower, nsig, widens = _scientific(x, digits)
        left = kpower + 1 - int(widens)
        sleft = int(x < 0) + (1 if left <= 0 else left)
        neg = max(neg, int(x < 0))
        rgt, mxl, mxsl, mxns = max(rgt, nsig - left), max(mxl, left), max(mxsl, sleft), max(mxns, nsig)
        mxe, mne = max(mxe, kpower), min(mne, kpower)
    if mxl < 0:
        mxsl = 1 + neg
    rgt = max(rgt, 0)
    fixed_width = mxsl + rgt + (rgt != 0)
    mantissa = mxns - 1
    sci_width = neg + (mantissa > 0) + mantissa + 4 + (2 if mxe >= 100 or mne <= -99 else 1)
    if fixed_width <= sci_width:
        return [f"{float(v):.{rgt}f}" if math.isfinite(float(v)) else _nonfinite(float(v)) for v in values]
    # Python's exponent has at least two digits and a third when it needs one, as R's.
    return [f"{float(v):.{mantissa}e}" if math.isfinite(float(v)) else _nonfinite(float(v)) for v in values]


def _nonfinite(v: float) -> str:
    return "NaN" if math.isnan(v) else "Inf" if v > 0 else "-Inf"


def format_pvalues(values: Sequence[float] | np.ndarray, digits: int) -> list[str]:
    """``format.pval(values, digits = digits)`` in R with eps the machine epsilon: the
    p-values at or above eps by :func:`format_numbers` (those from 1e-4 up apart from
    the smaller ones), those below as "<" and eps to ``digits - 2`` significant digits,
    shortened (and the space after "<" dropped) to fit the width of the others, as
    ``printCoefmat`` prints "< 2e-16" or "<2e-16" in a summary's coefficient table and
    "< 2.2e-16" in an anova table. NaN entries are "" (the caller's table decides how to
    show a missing test)."""
    ps = [float(v) for v in values]
    out = [""] * len(ps)
    shown = [i for i, p in enumerate(ps) if not math.isnan(p) and p >= EPS]
    tiny = [i for i, p in enumerate(ps) if not math.isnan(p) and p < EPS]
    # From 1e-4 up (1e-3 up when one digit is shown) in fixed notation if R's format
    # chooses it, the smaller ones formatted apart.
    fixed = {i for i in shown if math.floor(math.log10(ps[i])) >= (-4 if digits > 1 else -3)}
    for group in ([i for i in shown if i in fixed], [i for i in shown if i not in fixed]):
        for i, text in zip(group, format_numbers([ps[i] for i in group], digits), strict=True):
            out[i] = text
    if tiny:
        eps_digits = max(1, digits - 2)
        if shown:
            width = max(len(out[i]) for i in shown)
            if eps_digits > 1 and eps_digits + 6 > width:
                eps_digits = max(1, width - 7)
            sep = "" if eps_digits == 1 and width <= 6 else " "
        else:
            sep = "" if eps_digits == 1 else " "
        bound = "<" + sep + format_numbers([EPS], eps_digits)[0]
        for i in tiny:
            out[i] = bound
    return out
