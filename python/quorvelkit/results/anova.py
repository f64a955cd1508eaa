"""Likelihood-ratio tests of nested models (lme4's ``anova``): :func:`anova` and the
table it returns, :class:`AnovaTable`, which prints like lme4's."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from ..families.response import CONTINUOUS_FAMILIES
from .glmm_fit import GlmmFit
from .lmm_fit import LmmFit
from .pvalues import chi2_upper
from .report import format_anova, format_anova_html
from .structured_fit import StructuredFit

__all__ = ["anova", "AnovaTable"]


def anova(
    *fits: LmmFit | GlmmFit | StructuredFit, refit: bool = True, names: Sequence[str] | None = None
) -> AnovaTable:
    """Likelihood-ratio tests of nested models fitted to the same data (lme4's
    ``anova``).

    REML fits are refitted by maximum likelihood first (``refit=True``, as lme4 does),
    except where a model with a residual structure is compared with models of the same
    fixed effects, all fitted by REML: their REML likelihoods are compared, as nlme does.
    GLMMs (:class:`~quorvelkit.results.glmm_fit.GlmmFit`, all of one family and link, on the same
    response and prior weights) are compared by their full log-likelihoods, as lme4
    compares glmer fits. Models are ordered by number of parameters; each is tested
    against the one before.

    Returns:
        :class:`AnovaTable`, a DataFrame indexed by model (``names``, or the
        formulas) with columns ``Df``
        (number of parameters), ``AIC``, ``BIC``, ``logLik``, ``deviance``, ``Chisq``,
        ``Chi Df`` and ``Pr(>Chisq)`` (NaN on the first row).
    """
    if len(fits) < 2:
        raise ValueError("anova needs at least two fitted models")
    for f in fits:
        if not isinstance(f, (LmmFit, GlmmFit, StructuredFit)):
            raise TypeError(f"anova takes fitted models (LmmFit, GlmmFit or StructuredFit), got {type(f).__name__}")
    glmms = [f for f in fits if isinstance(f, GlmmFit)]
    if glmms and len(glmms) < len(fits):
        raise TypeError("anova compares linear mixed models with each other and GLMMs with each other, not both")
    # Likelihoods of one response are comparable across families (Poisson against a
    # negative binomial, glmmTMB's test of overdispersion) when they are densities with
    # respect to the same measure: counts' or continuous values'.
    if len({f.family in CONTINUOUS_FAMILIES for f in glmms}) > 1:
        raise ValueError(
            "GLMMs compared by anova must all be of discrete families (counts, proportions of trials) or all of "
            "continuous ones, whose likelihoods are densities of different kinds"
        )
    labels = list(names) if names is not None else [f.formula for f in fits]
    if len(labels) != len(fits):
        raise ValueError("names must give one name per model")
    if len(set(labels)) != len(labels):
        labels = [f"model {i + 1}: {lab}" for i, lab in enumerate(labels)]
    # Fits from batches keep no rows: their responses cannot be compared, only their
    # row counts.
    kept_rows = [f.rows_kept for f in fits]
    n0 = fits[0].nobs
    y0 = fits[0].response.to_numpy() if kept_rows[0] else None
    # Prior weights: the rows' where kept, else the column they came from.
    w0 = fits[0].weights if kept_rows[0] else fits[0]._design.spec.weights_column
    for f, kept in zip(fits[1:], kept_rows[1:], strict=True):
        same = f.nobs == n0 and (y0 is None or not kept or np.array_equal(f.response.to_numpy(), y0))
        if not same:
            raise ValueError("models were not all fitted to the same data (different observations or response)")
        w = f.weights if kept else f._design.spec.weights_column
        if (w is None) != (w0 is None) or (w is not None and w0 is not None and not np.array_equal(w, w0)):
            raise ValueError("models were not all fitted with the same prior weights")
    if glmms:  # fitted by maximum likelihood
        ml: list[Any] = list(fits)
    elif same_reml_fixed(fits):
        # nlme's rule where a residual structure is compared: REML fits of the same
        # fixed effects compare their REML likelihoods, without refitting.
        ml = list(fits)
        refit = False
    elif refit:
        ml = [f.refit_ml() for f in fits]  # type: ignore[union-attr]
    else:
        ml = list(fits)
        if len({f.reml for f in fits}) > 1:
            raise ValueError("cannot compare REML and ML fits without refitting")
    order = sorted(range(len(ml)), key=lambda i: ml[i].n_params)  # stable
    rows = []
    prev = None
    for i in order:
        f = ml[i]
        row = dict(Df=f.n_params, AIC=f.aic, BIC=f.bic, logLik=f.loglik, deviance=f.criterion)
        if prev is None:
            row.update({"Chisq": np.nan, "Chi Df": np.nan, "Pr(>Chisq)": np.nan})
        else:
            chisq = max(0.0, prev.criterion - f.criterion)
            ddf = f.n_params - prev.n_params
            p = chi2_upper(chisq, ddf) if ddf > 0 else np.nan
            row.update({"Chisq": chisq, "Chi Df": ddf, "Pr(>Chisq)": p})
        rows.append(row)
        prev = f
    out = AnovaTable(rows, index=[labels[i] for i in order])
    out["Df"] = out["Df"].astype(int)
    out.attrs["models"] = {labels[i]: fits[i].formula for i in order}
    out.attrs["refitted_ml"] = bool(refit and any(f.reml for f in fits))
    return out


def same_reml_fixed(fits: Sequence[Any]) -> bool:
    """Whether some fit has a residual structure, all were fitted by REML, and all have
    the same fixed-effects columns with the same values (of fits whose rows were read
    in batches and not kept, the same columns by name and the same number of rows)."""
    if not any(isinstance(f, StructuredFit) for f in fits) or not all(f.reml for f in fits):
        return False
    if not all(f.rows_kept for f in fits):  # rows read in batches: the columns by name
        return all(f.fe_names == fits[0].fe_names and f.nobs == fits[0].nobs for f in fits[1:])
    x0 = fits[0]._design.need_rows("anova").x
    return all(f.fe_names == fits[0].fe_names and np.array_equal(f._design.need_rows("anova").x, x0) for f in fits[1:])


class AnovaTable(pd.DataFrame):
    """The table :func:`anova` returns: a pandas DataFrame that prints like lme4's."""

    @property
    def _constructor(self) -> type[AnovaTable]:  # slices and copies stay AnovaTables
        return AnovaTable

    _COLUMNS = ["Df", "AIC", "BIC", "logLik", "deviance", "Chisq", "Chi Df", "Pr(>Chisq)"]

    def __repr__(self) -> str:
        if list(self.columns) != self._COLUMNS:
            return super().__repr__()
        return format_anova(self)

    __str__ = __repr__

    def _repr_html_(self) -> str:  # notebooks: the same cells as the text
        if list(self.columns) != self._COLUMNS:
            return super()._repr_html_()  # type: ignore[misc,no-any-return]  # not in pandas-stubs
        return format_anova_html(self)
