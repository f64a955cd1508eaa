"""The estimates of a fitted model as read-only attributes, in lme4's vocabulary with
statsmodels' names as aliases: fixed effects, variance components, random effects,
fitted values, criteria and the optimiser's report, all views of the design, the core
and the core's solution at the optimum.

Conventions follow lme4: the log-likelihood is minus half the criterion (the REML
log-likelihood for REML fits), AIC = criterion + 2 k and BIC = criterion + log(n) k with
k = p + n_theta + 1 parameters, and the data are fitted as given (no rescaling), so
``theta`` is directly comparable with lme4's ``getME(fit, "theta")``.
"""

from __future__ import annotations

import warnings
from collections.abc import Mapping
from typing import Any, cast

import numpy as np
import pandas as pd

from .._quorvelkit import CrossedCore, LmmCore
from ..formula.parsing import ParsedFormula
from ..model.design import Design
from .inference import coefficient_tests
from .kenward_roger import KRInfo, kr_info
from .mixed_fit import MixedFit, ResidualScale
from .satterthwaite import varpar_info
from .term_tests import check_ddf

__all__ = ["FitResults"]


class FitResults(ResidualScale, MixedFit):
    """The estimates of a fitted linear mixed model (the base of
    :class:`quorvelkit.LmmFit`, which documents them and adds what can be done with a
    fit); its random effects are :class:`~quorvelkit.results.mixed_effects.MixedEffects`'."""

    def __init__(
        self,
        design: Design,
        core: LmmCore,
        result: Mapping[str, Any],
        *,
        n_starts: int,
        fit_seconds: float,
        total_seconds: float,
        evaluator_requested: str = "auto",
    ) -> None:
        self._design = design
        self._core = core
        self._res = dict(result)
        self._n_starts = n_starts
        self._fit_seconds = fit_seconds
        self._total_seconds = total_seconds
        self._evaluator_requested = evaluator_requested
        self._cond_cov: np.ndarray | None = None
        self._ztx: np.ndarray | None = None  # Z_i'X_i of every group, for prediction intervals
        self._by_value: dict[Any, int] | None = None
        self._varpar: Any = None
        self._kr: KRInfo | None = None
        #: A name for the data, shown in the report (the command line sets the file name).
        self.data_name: str | None = None

    # ----------------------------------------------------------------- description
    @property
    def parsed_formula(self) -> ParsedFormula:
        """The formula split into response, fixed part, random part and group."""
        return self._design.parsed

    @property
    def n_zero_weight(self) -> int:
        """Number of rows left out because their prior weight is zero."""
        return self._design.n_zero_weight

    @property
    def rows_kept(self) -> bool:
        """Whether the fit keeps its rows. A model fitted from products of rows read in
        batches (a Parquet source, an iterator of DataFrames, Dask or Spark partitions)
        keeps none: everything that follows from the products is available (estimates,
        standard errors, variance components, random effects and conditional
        covariances, criteria, ``predict(newdata)``, refits by the other method,
        ``anova``, Satterthwaite tests, Wald and profile intervals, the report,
        pickling), and what needs the rows raises :class:`RowsUnavailable` (an
        ``AttributeError``): ``fitted``, ``residuals``, ``response``, the weights of a
        weighted fit, ``predict()`` without new data, prediction intervals, ``refit(y)``,
        ``simulate`` and ``bootstrap``; ``predict(batch)`` gives fitted values batch by
        batch."""
        return self._design.rows is not None

    @property
    def needs_rows(self) -> tuple[str, ...]:
        """What raises :class:`RowsUnavailable` on this fit (nothing when it keeps its rows)."""
        if self.rows_kept:
            return ()
        # With several factors an interval of new data needs only the core's
        # factorisation; with one, the groups' cross-products of the rows.
        intervals = ("intervals of predictions",) if not self._several else ()
        return (
            "weights (of a weighted fit)",
            "fitted",
            "residuals",
            "response",
            "predict() without newdata",
            *intervals,
            "refit",
            "simulate",
            "bootstrap",
        )

    @property
    def source(self) -> str:
        """Where the rows of a fit without them were read ("" for a fit of rows in memory)."""
        return self._design.source

    @property
    def weights_column(self) -> str | None:
        """The column the prior weights came from (``None`` for an unweighted fit or
        weights given as an array)."""
        return self._design.spec.weights_column

    @property
    def weights(self) -> pd.Series | None:
        """The prior weights of the rows used (``None`` for an unweighted fit; a fit
        without its rows has them in :attr:`weights_column`)."""
        w = self._design.weights
        return None if w is None else pd.Series(w, index=self._design.row_index, name="weights")

    @property
    def offset(self) -> pd.Series | None:
        """The offset of the rows used (``None`` for a fit without one)."""
        o = self._design.offset
        return None if o is None else pd.Series(o, index=self._design.row_index, name="offset")

    @property
    def core(self) -> LmmCore:
        """The compiled core holding this model's cross-products."""
        return self._core

    @property
    def n_params(self) -> int:
        """Number of parameters: p fixed effects, n_theta covariance parameters, sigma."""
        return len(self._design.fe_names) + self._core.n_theta + 1

    # ----------------------------------------------------------------- fixed effects
    @property
    def pvalues(self) -> pd.Series:
        """p-values of the t tests of the fixed effects with Satterthwaite's degrees of
        freedom (lmerTest's ``Pr(>|t|)``; see :attr:`coef_table`)."""
        return self.coef_table["Pr(>|t|)"].rename("Pr(>|t|)")

    @property
    def df(self) -> pd.Series:
        """Satterthwaite's denominator degrees of freedom of each fixed effect's t test."""
        return self.coef_table["df"].rename("df")

    def satterthwaite(self) -> Any:
        """What Satterthwaite's tests need at this fit (:class:`quorvelkit.results.satterthwaite.VarparInfo`:
        the covariance of (theta, sigma) and the Jacobian of Cov(beta)), computed once
        from 1 + 2 n_theta evaluations of the criterion."""
        if self._varpar is None:
            self._varpar = varpar_info(self._core, list(self.theta), self.reml)
        return self._varpar

    def kenward_roger(self) -> KRInfo:
        """What Kenward and Roger's tests need at this fit
        (:class:`quorvelkit.results.kenward_roger.KRInfo`; its ``cov_adjusted`` is
        pbkrtest's ``vcovAdj``), computed once from 1 + 6 k evaluations of the criterion
        for k variance parameters. ``ValueError`` for an ML fit: the method is defined
        for REML estimates (lmerTest refuses it too)."""
        if not self.reml:
            raise ValueError("Kenward-Roger's method is only available for REML model fits")
        if self._kr is None:
            self._kr = kr_info(self._core, list(self.theta), self.sigma2)
            if self._kr.P.size == 0:
                warnings.warn(
                    "Kenward-Roger's adjustment needs the variance parameters' neighbourhood, which a boundary fit "
                    "with a singular covariance of several random effects (a correlation of +-1) does not have: its "
                    "tests are NaN; Satterthwaite's method (ddf='satterthwaite') still applies",
                    UserWarning,
                    stacklevel=3,
                )
        return self._kr

    def _df_info(self, ddf: str) -> Any:
        """The tests' record of the df method ``ddf`` (see :func:`check_ddf`)."""
        return self.kenward_roger() if check_ddf(ddf) == "kenward-roger" else self.satterthwaite()

    def coef_tests(self, ddf: str = "satterthwaite") -> pd.DataFrame:
        """The fixed-effects table with the df method ``ddf``: "satterthwaite" (as
        :attr:`coef_table`) or "kenward-roger" (lmerTest's ``summary(fit, ddf =
        "Kenward-Roger")``: standard errors from the adjusted covariance, Kenward and
        Roger's df)."""
        if check_ddf(ddf) == "satterthwaite":
            return self.coef_table
        return coefficient_tests(self.kenward_roger(), self.fe_names)

    def cov_params(self) -> pd.DataFrame:
        """The covariance matrix of the fixed effects (:attr:`cov_fixef`; statsmodels'
        name)."""
        return self.cov_fixef

    @property
    def tvalues(self) -> pd.Series:
        """t values (estimate / standard error) of the fixed effects."""
        return pd.Series(self.fixef.to_numpy() / self.se.to_numpy(), index=self.fe_names, name="t value")

    @property
    def coef_table(self) -> pd.DataFrame:
        """The fixed-effects table as lmerTest's summary shows it: Estimate, Std. Error,
        df (Satterthwaite's), t value and Pr(>|t|)."""
        try:
            table = coefficient_tests(self.satterthwaite(), self.fe_names)
        except RuntimeError:
            # A neighbour of theta the differences need is infeasible (a degenerate
            # fit): no approximation, so no df and no p-values.
            table = pd.DataFrame(np.nan, index=self.fe_names, columns=["Estimate", "Std. Error", "df", "t value"])
            table["Pr(>|t|)"] = np.nan
        # The estimates and standard errors are the fit's own (the tests' agree with them).
        table["Estimate"] = self.fixef.to_numpy()
        table["Std. Error"] = self.se.to_numpy()
        table["t value"] = self.tvalues.to_numpy()
        return table

    # ----------------------------------------------------------------- variance components
    # ----------------------------------------------------------------- the random effects' sources
    # The core of one grouping factor returns one array of modes and the covariances on
    # request; the crossed core a list, one per factor in its order, and the
    # covariances with its solution (asked for when first needed).
    def _factor_modes(self) -> list[np.ndarray]:
        b = self._res["random_effects"]
        if not self._several:
            return [np.asarray(b, dtype=float)]
        return [np.asarray(v, dtype=float) for v in b]

    def _factor_cond_covs(self) -> list[np.ndarray]:
        if not self._several:
            if self._cond_cov is None:
                self._cond_cov = np.asarray(
                    self._core.conditional_covariances(list(self.theta), reml=self.reml), dtype=float
                )
            return [self._cond_cov]
        if self._res.get("cond_var") is None:
            self._res["cond_var"] = dict(self._crossed.solution(self.theta, self.reml))["cond_var"]
        return [np.asarray(v, dtype=float) for v in self._res["cond_var"]]

    @property
    def _crossed(self) -> CrossedCore:
        """The core of a model of several grouping factors, the crossed core."""
        return cast(CrossedCore, self._core)

    def _cov_re_values(self) -> np.ndarray:
        if not self._several:  # the core's own sigma^2 Lambda Lambda'
            return np.array(self._res["cov_re"], dtype=float)
        return super()._cov_re_values()

    # ----------------------------------------------------------------- fitted values
    @property
    def fitted(self) -> pd.Series:
        """Fitted values X beta + sum over factors of Z_j b_j (plus the offset), indexed
        like the rows of the data used."""
        d = self._design
        rows = d.need_rows("fitted")
        vals = rows.x @ np.asarray(self._res["beta"], dtype=float)
        self._add_random_part(
            vals, rows.z, [(rows.factor_codes or (rows.codes,))[i] for i in self._layout.factor_order]
        )
        if d.offset is not None:
            vals = vals + d.offset
        return pd.Series(vals, index=d.row_index, name="fitted")

    @property
    def residuals(self) -> pd.Series:
        """Response minus fitted values, indexed like the rows of the data used (lme4's
        response residuals: not scaled by the weights)."""
        self._design.need_rows("residuals")
        return pd.Series(self._design.y - self.fitted.to_numpy(), index=self._design.row_index, name="residuals")

    resid = residuals
    fittedvalues = fitted

    @property
    def response(self) -> pd.Series:
        """The response used in the fit."""
        self._design.need_rows("response")
        return pd.Series(self._design.y.copy(), index=self._design.row_index, name=self._design.parsed.response)

    # ----------------------------------------------------------------- tidy tables and R^2
    def _augment_response(self) -> dict[str, Any]:
        fitted, resid = self.fitted.to_numpy(), self.residuals.to_numpy()
        w = self._design.weights
        w = np.ones(self.nobs) if w is None else np.asarray(w, dtype=float)
        return {
            ".fitted": fitted,
            ".resid": resid,
            ".mu": fitted,
            ".weights": w,
            ".sqrtrwt": np.sqrt(w),
            ".wtres": np.sqrt(w) * resid,
        }

    def _distribution_variance(self, approximation: str) -> float:
        return self.sigma2

    # ----------------------------------------------------------------- criteria
    @property
    def criterion(self) -> float:
        """The REML criterion (REML fits) or the deviance, -2 log-likelihood (ML fits)."""
        return float(self._res["deviance"])

    @property
    def reml_criterion(self) -> float | None:
        """The REML criterion, or ``None`` for an ML fit."""
        return self.criterion if self.reml else None

    @property
    def deviance(self) -> float | None:
        """The ML deviance (-2 log-likelihood) of an ML fit; ``None`` for a REML fit
        (use :attr:`criterion`, or ``fit.refit_ml().deviance``)."""
        return None if self.reml else self.criterion

    # ----------------------------------------------------------------- optimiser
    @property
    def optimizer(self) -> dict[str, Any]:
        """The optimiser's report: converged, iterations, fev (criterion evaluations),
        grad_inf_norm (largest gradient entry at the end), message, starts (number of
        starting vectors), evaluator (kernel in use), n_classes, seconds."""
        return dict(
            converged=bool(self._res["converged"]),
            iterations=int(self._res["iterations"]),
            fev=int(self._res["fev"]),
            grad_inf_norm=float(self._res["grad_inf_norm"]),
            message=str(self._res["message"]),
            starts=self._n_starts,
            evaluator=self._core.evaluator,
            n_classes=self._core.n_classes,
            seconds=self._fit_seconds,
            total_seconds=self._total_seconds,
        )

    @property
    def fit_seconds(self) -> float:
        """Seconds spent building the core and optimising."""
        return self._fit_seconds
