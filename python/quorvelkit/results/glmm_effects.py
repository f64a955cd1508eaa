"""The random effects of a fitted GLMM, factor by factor in lme4's order of terms
(:func:`quorvelkit.cores.crossed_core.terms_in_lme4_order`): the terms, the variance
components and the conditional modes and variances, from the core's solution.

With one grouping factor the modes are one DataFrame as :class:`~quorvelkit.LmmFit`
gives them; with several, a mapping from each factor to its own, as
:class:`~quorvelkit.CrossedFit` gives them. The core's modes ``b`` and conditional
covariances ``cond_var`` are one array (one factor) or a list of arrays, one per factor
in the core's order (that of ``ThetaLayout.factor_order``).
"""

from __future__ import annotations

import functools
import math
from typing import Any

import numpy as np
import pandas as pd

from ..cores.crossed_core import CrossedTerm, block_lambda, terms_in_lme4_order
from ..formula.grouping import ThetaLayout
from ..model.design import Design, theta_layout_of
from ..support.errors import SINGULAR_TOL
from ..support.labels import levels_by_value
from .predict import group_index

__all__ = ["GlmmEffects"]


class GlmmEffects:
    """The random-effects results of :class:`~quorvelkit.results.glmm_fit.GlmmFit` (its base)."""

    _design: Design
    _res: dict[str, Any]

    @functools.cached_property
    def _layout(self) -> ThetaLayout:
        return theta_layout_of(self._design)

    @functools.cached_property
    def _terms(self) -> list[CrossedTerm]:
        return terms_in_lme4_order(self._design, self._layout)

    @property
    def factor_names(self) -> list[str]:
        """The grouping factors, in lme4's order."""
        return [self._design.spec.factors[i].name for i in self._layout.factor_order]

    @property
    def group_name(self) -> str:
        """The grouping factors' names, joined by ", "."""
        return ", ".join(self.factor_names)

    @property
    def _levels(self) -> list[pd.Index]:
        """Each factor's levels, in the core's order."""
        lv = self._design.factor_levels or (self._design.levels,)
        return [lv[i].rename(self._design.spec.factors[i].name) for i in self._layout.factor_order]

    @property
    def ngroups(self) -> dict[str, int]:
        """The number of levels of each grouping factor (lme4's ``ngrps``)."""
        return {name: len(lv) for name, lv in zip(self.factor_names, self._levels, strict=True)}

    @property
    def re_terms(self) -> list[tuple[str, list[str]]]:
        """The random-effects terms in lme4's order, as (name, columns): a factor's name
        for its first term, with ".1", ".2", ... for its others."""
        return [(t.name, list(t.columns)) for t in self._terms]

    @property
    def re_names(self) -> list[str]:
        """The random-effects columns, term by term in lme4's order."""
        return [c for t in self._terms for c in t.columns]

    # ------------------------------------------------------------- variance components
    @property
    def theta(self) -> np.ndarray:
        """The relative covariance factor's free entries in lme4's layout (per term, its
        lower triangle by columns: ``getME(fit, "theta")``)."""
        return np.array(self._res["theta"], dtype=float)

    @property
    def lambda_matrix(self) -> np.ndarray:
        """The covariance factor's template: one lower-triangular block per term in
        lme4's order. The random effects' covariance is Lambda Lambda' (no scale)."""
        return block_lambda(self.theta, [len(t.columns) for t in self._terms])

    @property
    def is_singular(self) -> bool:
        """True when a diagonal entry of Lambda is at zero (lme4's ``isSingular``)."""
        return bool(np.any(np.abs(np.diag(self.lambda_matrix)) < SINGULAR_TOL))

    @property
    def varcorr(self) -> pd.DataFrame:
        """Variance components as lme4's ``as.data.frame(VarCorr(fit))``: columns grp,
        var1, var2, vcov, sdcor; per term the variance of each effect, then each
        correlation within the term. A GLMM has no residual row."""
        lam = self.lambda_matrix
        cov = lam @ lam.T
        sd = np.sqrt(np.maximum(np.diag(cov), 0.0))
        rows: list[dict[str, Any]] = []
        at = 0
        for t in self._terms:
            idx = range(at, at + len(t.columns))
            at += len(t.columns)
            for i in idx:
                rows.append(dict(grp=t.name, var1=self.re_names[i], var2=None, vcov=cov[i, i], sdcor=sd[i]))
            for i in idx:
                for j in idx:
                    if j > i:
                        r = cov[i, j] / (sd[i] * sd[j]) if sd[i] > 0 and sd[j] > 0 else math.nan
                        rows.append(
                            dict(grp=t.name, var1=self.re_names[i], var2=self.re_names[j], vcov=cov[i, j], sdcor=r)
                        )
        return pd.DataFrame(rows, columns=["grp", "var1", "var2", "vcov", "sdcor"])

    # ------------------------------------------------------------- random effects
    def _by_factor(self, key: str) -> list[np.ndarray]:
        values = self._res[key]
        if len(self._levels) == 1 and not isinstance(values, (list, tuple)):
            return [np.asarray(values, dtype=float)]
        return [np.asarray(v, dtype=float) for v in values]

    def _factor_columns(self, k: int) -> tuple[list[str], list[int]]:
        """The k-th factor's columns (core order) as ranef lists them and their places
        among the core's columns of that factor."""
        names: list[str] = []
        at: list[int] = []
        for t in self._terms:
            if t.factor == k:
                names += t.columns
                at += t.at
        return names, at

    def _per_factor(self, frames: list[Any]) -> Any:
        if len(frames) == 1:
            return frames[0]
        return dict(zip(self.factor_names, frames, strict=True))

    @property
    def ranef(self) -> Any:
        """Conditional modes of the random effects: a DataFrame (a row per level, a
        column per effect) for one grouping factor, a mapping from factor to its
        DataFrame for several."""
        out = []
        for k, b in enumerate(self._by_factor("b")):
            cols, at = self._factor_columns(k)
            out.append(pd.DataFrame(b[:, at], index=self._levels[k], columns=cols))
        return self._per_factor(out)

    @property
    def cond_cov(self) -> Any:
        """Conditional covariances of the random effects per level, shape (levels, q,
        q) (lme4's ``postVar``): an array for one factor, a mapping for several."""
        out = []
        for k, c in enumerate(self._by_factor("cond_var")):
            _, at = self._factor_columns(k)
            out.append(np.ascontiguousarray(c[:, at][:, :, at]))
        return self._per_factor(out)

    @property
    def cond_var(self) -> Any:
        """Conditional variances (diagonals of :attr:`cond_cov`) by level and effect."""
        covs = self.cond_cov if isinstance(self.cond_cov, dict) else {self.factor_names[0]: self.cond_cov}
        out = []
        for k, c in enumerate(covs.values()):
            cols, _ = self._factor_columns(k)
            out.append(pd.DataFrame(np.diagonal(c, axis1=1, axis2=2).copy(), index=self._levels[k], columns=cols))
        return self._per_factor(out)

    def _factor_lambda(self, k: int, lam: np.ndarray) -> np.ndarray:
        """The rows and columns of Lambda of the k-th factor's effects (in ranef's order)."""
        sel = [j for j, t in enumerate(self._terms) if t.factor == k]
        starts = np.cumsum([0] + [len(t.columns) for t in self._terms])
        idx = [c for j in sel for c in range(starts[j], starts[j + 1])]
        return lam[np.ix_(idx, idx)]

    def _level_index(self, i: int, frame: pd.DataFrame, allow_new_levels: bool) -> np.ndarray:
        """Each row's level of the i-th factor (the model's order), -1 for a new or
        missing label; unseen labels are refused unless ``allow_new_levels``."""
        d = self._design
        factor = d.spec.factors[i]
        missing = [c for c in factor.columns if c not in frame.columns]
        if missing:
            raise ValueError(f"newdata lacks the column(s) {', '.join(missing)}")
        levels = (d.factor_levels or (d.levels,))[i]
        table = levels_by_value(levels, len(factor.columns))
        idx = group_index(d, frame, functools.partial(dict, table), factor.columns, levels)
        if not allow_new_levels and (idx < 0).any():
            labels = frame[list(factor.columns)].astype(str).agg(":".join, axis=1).to_numpy()
            unseen = pd.unique(labels[idx < 0])
            shown = ", ".join(repr(v) for v in unseen[:5]) + (f" and {len(unseen) - 5} more" if len(unseen) > 5 else "")
            raise ValueError(
                f"newdata has levels of '{factor.name}' not in the fit: {shown}; pass allow_new_levels=True for "
                "population-level predictions of those rows"
            )
        return idx
