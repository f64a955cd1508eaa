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

import math
from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd

from .._quorvelkit import LmmCore
from ..formula.parsing import ParsedFormula
from ..model.design import Design
from ..support.errors import SINGULAR_TOL
from .inference import coefficient_tests
from .satterthwaite import varpar_info

__all__ = ["FitResults"]


class FitResults:
    """The estimates of a fitted model (the base of :class:`quorvelkit.LmmFit`, which
    documents them and adds what can be done with a fit)."""

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
        #: A name for the data, shown in the report (the command line sets the file name).
        self.data_name: str | None = None

    # ----------------------------------------------------------------- description
    @property
    def formula(self) -> str:
        """The model formula as given."""
        return self._design.parsed.text

    @property
    def parsed_formula(self) -> ParsedFormula:
        """The formula split into response, fixed part, random part and group."""
        return self._design.parsed

    @property
    def reml(self) -> bool:
        """Whether the model was fitted by REML (else by maximum likelihood)."""
        return bool(self._res["reml"])

    @property
    def method(self) -> str:
        """``"REML"`` or ``"ML"``."""
        return "REML" if self.reml else "ML"

    @property
    def group_name(self) -> str:
        """The grouping factor as written in the formula."""
        return self._design.parsed.group_label

    @property
    def nobs(self) -> int:
        """Number of observations used (after dropping rows with missing values and
        rows of weight zero)."""
        return self._design.n

    @property
    def ngroups(self) -> int:
        """Number of levels of the grouping factor."""
        return self._design.m

    @property
    def n_dropped(self) -> int:
        """Number of rows dropped because of missing values in the columns used."""
        return self._design.n_dropped

    @property
    def dropped_columns(self) -> list[str]:
        """Fixed-effects columns dropped as aliased (rank deficiency)."""
        return list(self._design.dropped_columns)

    @property
    def levels(self) -> pd.Index:
        """The levels of the grouping factor, in the order of :attr:`ranef`."""
        idx = self._design.levels.copy()
        idx.name = self.group_name
        return idx

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
        return (
            "weights (of a weighted fit)",
            "fitted",
            "residuals",
            "response",
            "predict() without newdata",
            "prediction intervals",
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
    def re_terms(self) -> list[tuple[str, list[str]]]:
        """The random-effects terms, one per block of Lambda, as (name, columns) pairs:
        the grouping factor's name for the first and, as lme4 names them, the name with
        ".1", ".2", ... for the others (``[("Chick", ["(Intercept)"]), ("Chick.1",
        ["Time"])]`` for ``(Time || Chick)``). Terms are uncorrelated with each other."""
        names = self.re_names
        blocks = self._design.blocks or [len(names)]
        out, start = [], 0
        for k, size in enumerate(blocks):
            out.append((self.group_name if k == 0 else f"{self.group_name}.{k}", names[start : start + size]))
            start += size
        return out

    @property
    def fe_names(self) -> list[str]:
        """Names of the fixed-effects columns kept in the model."""
        return list(self._design.fe_names)

    @property
    def re_names(self) -> list[str]:
        """Names of the random-effects columns (e.g. ``["(Intercept)", "Days"]``)."""
        return list(self._design.re_names)

    @property
    def core(self) -> LmmCore:
        """The compiled core holding this model's cross-products."""
        return self._core

    @property
    def solution(self) -> dict:
        """The raw dictionary the core returned at the optimum (a copy)."""
        return dict(self._res)

    @property
    def n_params(self) -> int:
        """Number of parameters: p fixed effects, n_theta covariance parameters, sigma."""
        return len(self._design.fe_names) + self._core.n_theta + 1

    # ----------------------------------------------------------------- fixed effects
    @property
    def fixef(self) -> pd.Series:
        """Fixed-effects estimates, by column name."""
        return pd.Series(np.asarray(self._res["beta"], dtype=float), index=self.fe_names, name="Estimate")

    params = fixef

    @property
    def cov_fixef(self) -> pd.DataFrame:
        """Covariance matrix of the fixed-effects estimates (lme4's ``vcov``)."""
        names = self.fe_names
        return pd.DataFrame(np.array(self._res["cov_beta"], dtype=float), index=names, columns=names)

    vcov = cov_fixef

    @property
    def se(self) -> pd.Series:
        """Standard errors of the fixed effects."""
        return pd.Series(
            np.sqrt(np.diag(np.asarray(self._res["cov_beta"], dtype=float))),
            index=self.fe_names,
            name="Std. Error",
        )

    bse = se

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

    fe_params = fixef

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
    @property
    def theta(self) -> np.ndarray:
        """The free entries of the relative covariance factor Lambda: its lower
        triangle, column by column, within each term of :attr:`re_terms` in turn
        (lme4's ``getME(fit, "theta")``); entries between terms are zero."""
        return np.array(self._res["theta"], dtype=float)

    @property
    def lambda_matrix(self) -> np.ndarray:
        """Lambda, the q x q lower-triangular relative covariance factor."""
        q = self._core.q
        lam = np.zeros((q, q))
        rows, cols = zip(*self._core.theta_index(), strict=True)
        lam[list(rows), list(cols)] = self.theta
        return lam

    @property
    def sigma(self) -> float:
        """Residual standard deviation."""
        return float(self._res["sigma"])

    @property
    def sigma2(self) -> float:
        """Residual variance."""
        return float(self._res["sigma2"])

    @property
    def cov_re(self) -> pd.DataFrame:
        """Covariance matrix of the random effects, sigma^2 Lambda Lambda'."""
        names = self.re_names
        return pd.DataFrame(np.array(self._res["cov_re"], dtype=float), index=names, columns=names)

    @property
    def sd_re(self) -> pd.Series:
        """Standard deviations of the random effects."""
        frame = self.cov_re
        return pd.Series(np.sqrt(np.diag(frame.to_numpy())), index=frame.index, name="Std.Dev.")

    @property
    def corr_re(self) -> pd.DataFrame:
        """Correlation matrix of the random effects (NaN where a standard deviation is 0),
        labelled as :attr:`cov_re`."""
        frame = self.cov_re
        cov = frame.to_numpy()
        sd = np.sqrt(np.diag(cov))
        with np.errstate(invalid="ignore", divide="ignore"):
            corr = cov / np.outer(sd, sd)
        np.fill_diagonal(corr, 1.0)
        return pd.DataFrame(corr, index=frame.index, columns=frame.columns)

    @property
    def varcorr(self) -> pd.DataFrame:
        """Variance components as a table, like lme4's ``as.data.frame(VarCorr(fit))``.

        Columns: ``grp``, ``var1``, ``var2``, ``vcov`` (variance or covariance) and
        ``sdcor`` (standard deviation, or correlation for a covariance row). Rows, term
        by term (:attr:`re_terms`, whose names are ``grp``): the variance of each of its
        random effects, then each covariance (var1, var2) within it; then the residual.
        Terms are uncorrelated with each other, so no row pairs effects of two terms.
        """
        names = self.re_names
        cov = self.cov_re.to_numpy()
        corr = self.corr_re.to_numpy()
        rows: list[dict[str, Any]] = []
        start = 0
        for grp, cols in self.re_terms:
            idx = range(start, start + len(cols))
            start += len(cols)
            for i in idx:
                rows.append(
                    dict(grp=grp, var1=names[i], var2=None, vcov=cov[i, i], sdcor=math.sqrt(max(cov[i, i], 0.0)))
                )
            for i in idx:
                for j in idx:
                    if j > i:
                        rows.append(dict(grp=grp, var1=names[i], var2=names[j], vcov=cov[i, j], sdcor=corr[i, j]))
        rows.append(dict(grp="Residual", var1=None, var2=None, vcov=self.sigma2, sdcor=self.sigma))
        return pd.DataFrame(rows, columns=["grp", "var1", "var2", "vcov", "sdcor"])

    @property
    def is_singular(self) -> bool:
        """True when a diagonal entry of Lambda is at zero (below 1e-4, lme4's
        ``isSingular`` tolerance): a boundary fit."""
        lam = self.lambda_matrix
        return bool(np.any(np.abs(np.diag(lam)) < SINGULAR_TOL))

    # ----------------------------------------------------------------- random effects
    @property
    def ranef(self) -> pd.DataFrame:
        """Conditional modes of the random effects, one row per group (indexed by the
        group labels, in sorted order of levels), one column per random-effects term."""
        return pd.DataFrame(
            np.array(self._res["random_effects"], dtype=float),
            index=self.levels,
            columns=self.re_names,
        )

    random_effects = ranef

    @property
    def cond_cov(self) -> np.ndarray:
        """Conditional covariances Var(b_i | y): an array of shape (m, q, q) whose
        first axis follows :attr:`levels` (lme4's ``attr(ranef(fit), "postVar")``)."""
        if self._cond_cov is None:
            self._cond_cov = np.asarray(
                self._core.conditional_covariances(list(self.theta), reml=self.reml), dtype=float
            )
        return self._cond_cov.copy()

    @property
    def cond_var(self) -> pd.DataFrame:
        """Conditional variances (the diagonals of :attr:`cond_cov`), by group and term."""
        cc = self.cond_cov
        return pd.DataFrame(np.diagonal(cc, axis1=1, axis2=2).copy(), index=self.levels, columns=self.re_names)

    @property
    def coef(self) -> pd.DataFrame:
        """Group-level coefficients (lme4's ``coef``): fixed effect plus random effect
        for every random-effects term that is also a fixed effect; other fixed effects
        repeated."""
        out = pd.DataFrame(index=self.levels)
        fe = self.fixef
        re = self.ranef
        for name in self.fe_names:
            out[name] = fe[name] + (re[name] if name in re.columns else 0.0)
        for name in self.re_names:
            if name not in out.columns:
                out[name] = re[name]
        return out

    # ----------------------------------------------------------------- fitted values
    @property
    def fitted(self) -> pd.Series:
        """Fitted values X beta + Z b (plus the offset), indexed like the rows of the
        data used."""
        self._design.need_rows("fitted")
        b = np.asarray(self._res["random_effects"], dtype=float)
        vals = self._design.x @ np.asarray(self._res["beta"], dtype=float) + self._design.random_part(b)
        if self._design.offset is not None:
            vals = vals + self._design.offset
        return pd.Series(vals, index=self._design.row_index, name="fitted")

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

    @property
    def loglik(self) -> float:
        """Log-likelihood: -criterion / 2 (the REML log-likelihood for REML fits)."""
        return -0.5 * self.criterion

    llf = loglik

    @property
    def aic(self) -> float:
        """Akaike's criterion, criterion + 2 k with k = :attr:`n_params`."""
        return self.criterion + 2.0 * self.n_params

    @property
    def bic(self) -> float:
        """Schwarz's criterion, criterion + log(n) k with k = :attr:`n_params`."""
        return self.criterion + math.log(self.nobs) * self.n_params

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
    def converged(self) -> bool:
        """Whether the optimiser reported convergence."""
        return bool(self._res["converged"])

    @property
    def fit_seconds(self) -> float:
        """Seconds spent building the core and optimising."""
        return self._fit_seconds
