"""Tidy tables of a fitted mixed model under broom.mixed's column names, written once
for every model class: :func:`tidy` (the fixed effects with their tests and intervals,
the variance parameters, the conditional modes), :func:`glance` (one row of the fit's
criteria) and :func:`augment` (a row per observation: fitted values, residuals and the
parts of the linear predictor).

A model class supplies only what differs: its table of tests (``coef_table``, whose
"df" column, when there is one, makes the intervals t intervals), its residual scale
(sigma for a linear model, 1 for a GLMM of these families), the name of its criterion
and the response-scale columns of :func:`augment` (``_augment_response``).
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import numpy as np
import pandas as pd

from ..formula.checks import check_level
from .pvalues import normal_quantile

__all__ = ["augment", "glance", "tidy"]

EFFECTS = ("fixed", "ran_pars", "ran_vals")

# coef_table's columns under broom's names.
_FIXED_NAMES = {
    "Estimate": "estimate",
    "Std. Error": "std.error",
    "t value": "statistic",
    "z value": "statistic",
    "df": "df",
    "Pr(>|t|)": "p.value",
    "Pr(>|z|)": "p.value",
}


def _effects(effects: str | Iterable[str]) -> list[str]:
    chosen = [effects] if isinstance(effects, str) else list(effects)
    bad = [e for e in chosen if e not in EFFECTS]
    if bad or not chosen:
        raise ValueError(f"effects must be among {', '.join(map(repr, EFFECTS))}, got {effects!r}")
    return chosen


def _quantile(level: float, df: np.ndarray | None) -> np.ndarray | float:
    """The (1 + level) / 2 quantile of the t distribution of ``df`` degrees of
    freedom (of the normal one without)."""
    p = 0.5 + level / 2
    if df is None:
        return float(normal_quantile(p))
    from scipy.special import stdtrit

    return np.asarray(stdtrit(df, p), dtype=float)


def _fixed(fit: Any, conf_int: bool, level: float) -> pd.DataFrame:
    table = fit.coef_table
    out = pd.DataFrame({_FIXED_NAMES[c]: table[c].to_numpy(dtype=float) for c in table.columns})
    out.insert(0, "term", list(table.index))
    cols = ["term", "estimate", "std.error", "statistic"] + (["df"] if "df" in out else []) + ["p.value"]
    out = out[cols]
    if conf_int:
        q = _quantile(level, out["df"].to_numpy() if "df" in out else None)
        out["conf.low"] = out["estimate"] - q * out["std.error"]
        out["conf.high"] = out["estimate"] + q * out["std.error"]
    return out


def _ran_pars(fit: Any) -> pd.DataFrame:
    """Per term in lme4's order, broom.mixed's order of its parameters: each effect's
    standard deviation followed by its correlations with the effects after it; then
    the residual standard deviation of a model that has one."""
    cov = fit._cov_re_values()
    rows: list[tuple[str, str, float]] = []
    start = 0
    for t in fit._terms:
        k = len(t.columns)
        block = cov[start : start + k, start : start + k]
        start += k
        sd = np.sqrt(np.maximum(np.diag(block), 0.0))
        for i, a in enumerate(t.columns):
            rows.append((t.name, f"sd__{a}", float(sd[i])))
            for j in range(i + 1, k):
                corr = block[i, j] / (sd[i] * sd[j]) if sd[i] > 0 and sd[j] > 0 else np.nan
                rows.append((t.name, f"cor__{a}.{t.columns[j]}", float(corr)))
    rows += [("Residual", "sd__Observation", float(r["sdcor"])) for r in fit._residual_rows()]
    return pd.DataFrame(rows, columns=["group", "term", "estimate"])


def _ran_vals(fit: Any, conf_int: bool, level: float) -> pd.DataFrame:
    """The conditional modes with their conditional standard deviations: factor by
    factor (lme4's order), effect by effect, level by level."""
    parts = []
    for (name, modes), cv in zip(fit.ranef.items(), fit.cond_var.values(), strict=True):
        for col in modes.columns:
            parts.append(
                pd.DataFrame(
                    {
                        "group": name,
                        "level": [str(v) for v in modes.index],
                        "term": col,
                        "estimate": modes[col].to_numpy(dtype=float),
                        "std.error": np.sqrt(cv[col].to_numpy(dtype=float)),
                    }
                )
            )
    out = pd.concat(parts, ignore_index=True)
    if conf_int:
        q = _quantile(level, None)
        out["conf.low"] = out["estimate"] - q * out["std.error"]
        out["conf.high"] = out["estimate"] + q * out["std.error"]
    return out


def tidy(
    fit: Any, effects: str | Iterable[str] = ("fixed", "ran_pars"), conf_int: bool = False, conf_level: float = 0.95
) -> pd.DataFrame:
    """See :meth:`quorvelkit.results.mixed_fit.MixedFit.tidy`."""
    chosen = _effects(effects)
    check_level(conf_level)
    parts = []
    for e in chosen:
        part = (
            _fixed(fit, conf_int, conf_level)
            if e == "fixed"
            else _ran_pars(fit)
            if e == "ran_pars"
            else _ran_vals(fit, conf_int, conf_level)
        )
        if e == "ran_pars" and conf_int:  # Wald intervals of variance parameters: none, as broom.mixed's
            part["conf.low"] = part["conf.high"] = np.nan
        part.insert(0, "effect", e)
        parts.append(part)
    out = pd.concat(parts, ignore_index=True)
    if chosen == ["fixed"]:
        return out
    order = ["effect", "group"] + (["level"] if "ran_vals" in chosen else []) + ["term"]
    return out[order + [c for c in out.columns if c not in order]]


def glance(fit: Any) -> pd.DataFrame:
    """See :meth:`quorvelkit.results.mixed_fit.MixedFit.glance`."""
    crit = "REMLcrit" if fit.reml else "deviance"
    row = {
        "nobs": fit.nobs,
        "sigma": fit._tidy_sigma,
        "logLik": fit.loglik,
        "AIC": fit.aic,
        "BIC": fit.bic,
        crit: fit.criterion if fit.reml else fit.deviance,
        "df.residual": fit.nobs - fit.n_params,
    }
    return pd.DataFrame([row])


def augment(fit: Any) -> pd.DataFrame:
    """See :meth:`quorvelkit.results.mixed_fit.MixedFit.augment`."""
    d = fit._design
    rows = d.need_rows("augment")
    offset = np.zeros(d.n) if d.offset is None else np.asarray(d.offset, dtype=float)
    fixed = rows.x @ np.asarray(fit._res["beta"], dtype=float) + offset
    codes = rows.factor_codes or (rows.codes,)
    codes = [codes[i] for i in fit._layout.factor_order]
    modes = fit._factor_modes()
    parts = {}
    for k, name in enumerate(fit.factor_names):
        only = [b if j == k else np.zeros_like(b) for j, b in enumerate(modes)]
        parts[f".ranef_{name}"] = fit._add_random_part(np.zeros(d.n), rows.z, codes, only)
    columns: dict[str, Any] = dict(fit._augment_response())
    columns[".fixed"] = fixed
    columns[".offset"] = offset
    columns.update(parts)
    return pd.DataFrame(columns, index=d.row_index)
