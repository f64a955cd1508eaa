"""The fitted model, :class:`LmmFit`: lme4's results as attributes (with statsmodels'
names as aliases), reports, refits to a new response or by the other method, and the
entry points of prediction, simulation and the parametric bootstrap.

Conventions follow lme4: the log-likelihood is minus half the criterion (the REML
log-likelihood for REML fits), AIC = criterion + 2 k and BIC = criterion + log(n) k with
k = p + n_theta + 1 parameters, and the data are fitted as given (no rescaling), so
``theta`` is directly comparable with lme4's ``getME(fit, "theta")``.
"""

from __future__ import annotations

import math
import sys
import time
import warnings
from collections.abc import Mapping
from dataclasses import replace
from typing import Any

import numpy as np
import pandas as pd

from . import bootstrap as _bootstrap
from ._quorvelkit import LmmCore
from .design import Design, check_response_variation
from .errors import SINGULAR_NOTE, SINGULAR_TOL, PValuesUnavailable, SingularFitWarning, check_flag, core_refusals
from .labels import levels_by_value
from .parsing import ParsedFormula
from .predict import predict, random_part
from .report import fit_to_dict, format_html, format_short, format_summary, interval_names

__all__ = ["LmmFit", "warn_if_singular"]


def warn_if_singular(fit: LmmFit, stacklevel: int) -> None:
    """A :class:`SingularFitWarning` pointing ``stacklevel`` frames above the caller
    when ``fit`` is on the boundary."""
    if fit.is_singular:
        warnings.warn(f"{SINGULAR_NOTE}; see LmmFit.is_singular", SingularFitWarning, stacklevel=stacklevel + 1)


class LmmFit:
    """A fitted linear mixed model with one grouping factor (returned by :func:`lmm`).

    The main results are attributes: :attr:`fixef`, :attr:`se`, :attr:`tvalues`,
    :attr:`cov_fixef`, :attr:`varcorr`, :attr:`sigma`, :attr:`theta`, :attr:`ranef`,
    :attr:`cond_cov`, :attr:`fitted`, :attr:`residuals`, :attr:`criterion`,
    :attr:`loglik`, :attr:`aic`, :attr:`bic`, :attr:`nobs`, :attr:`ngroups`,
    :attr:`optimizer` and :attr:`is_singular`. :meth:`summary` prints lme4's report.

    Names. The vocabulary is lme4's (the report's); the names a statsmodels user types
    first are aliases of the same objects:

    ====================  =========================  ===============================
    lme4                  quorvelkit                 statsmodels alias
    ====================  =========================  ===============================
    fixef(fit)            fixef                      params, fe_params
    vcov(fit)             cov_fixef (also vcov)      cov_params()
    (Std. Error)          se                         bse
    (t value)             tvalues                    tvalues
    (Pr(>|t|), lmerTest)  not yet                    pvalues (raises, see below)
    confint(fit)          confint(level=0.95)        conf_int(alpha=0.05)
    logLik(fit)           loglik                     llf
    fitted(fit)           fitted                     fittedvalues
    residuals(fit)        residuals                  resid
    ranef(fit)            ranef                      random_effects (a DataFrame)
    VarCorr(fit)          varcorr, cov_re            cov_re
    sigma(fit)            sigma, sigma2
    AIC, BIC              aic, bic                   aic, bic
    nobs, ngrps           nobs, ngroups              nobs
    isSingular(fit)       is_singular
    ====================  =========================  ===============================

    ``pvalues`` raises ``NotImplementedError`` (which is also an ``AttributeError``,
    so ``hasattr(fit, "pvalues")`` is false): p-values of the fixed effects need the
    t statistics' denominator degrees of freedom (Satterthwaite's approximation, as
    lmerTest computes), which a later version provides; a normal approximation would
    be too liberal in small samples, so none is given.

    A fit pickles and deep-copies with its design and core (a pickle from another
    version of quorvelkit is refused when it is loaded).
    """

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
        self._by_value: dict[Any, int] | None = None
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
        """Number of observations used (after dropping rows with missing values)."""
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
        return int(self._design.x.shape[1]) + self._core.n_theta + 1

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
        """Not available yet: raises :class:`PValuesUnavailable` (a
        ``NotImplementedError`` and an ``AttributeError``). p-values need the t
        statistics' denominator degrees of freedom (Satterthwaite), which a later
        version provides; use :attr:`tvalues`, :meth:`confint` or :meth:`bootstrap`."""
        raise PValuesUnavailable(
            "p-values of the fixed effects need the denominator degrees of freedom of the "
            "t statistics (Satterthwaite's approximation, as lmerTest computes), which "
            "quorvelkit does not compute yet; a normal approximation would be too liberal "
            "in small samples, so none is given. Use tvalues, confint() or bootstrap()"
        )

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
        """The fixed-effects table: Estimate, Std. Error, t value."""
        return pd.concat([self.fixef, self.se, self.tvalues], axis=1)

    def confint(
        self,
        level: float = 0.95,
        method: str = "Wald",
        n: int = 1000,
        seed: int | None = None,
    ) -> pd.DataFrame:
        """Confidence intervals.

        ``method="Wald"`` (default): estimate +/- z * standard error for the fixed
        effects. ``method="boot"``: percentile intervals from :meth:`bootstrap` with
        ``n`` replicates and ``seed``, for standard deviations, correlations, sigma and
        the fixed effects. Columns are named like R's (``"2.5 %"``, ``"97.5 %"``).
        """
        if not 0 < level < 1:
            raise ValueError(f"level must be between 0 and 1, got {level}")
        if method.lower() == "wald":
            from scipy.stats import norm  # imported on first use: scipy.stats is slow to import

            zq = float(norm.ppf(0.5 + level / 2))
            lo, hi = interval_names(level)
            est, se = self.fixef.to_numpy(), self.se.to_numpy()
            return pd.DataFrame({lo: est - zq * se, hi: est + zq * se}, index=self.fe_names)
        if method.lower() in ("boot", "bootstrap"):
            return self.bootstrap(n, seed=seed).intervals(level)
        raise ValueError(f"method must be 'Wald' or 'boot', got {method!r}")

    def conf_int(self, alpha: float = 0.05) -> pd.DataFrame:
        """Wald intervals of the fixed effects at level 1 - ``alpha`` (statsmodels'
        name and argument): :meth:`confint` with ``level=1 - alpha``; the columns are
        named like R's ("2.5 %", "97.5 %")."""
        return self.confint(level=1.0 - float(alpha))

    # ----------------------------------------------------------------- variance components
    @property
    def theta(self) -> np.ndarray:
        """The relative covariance factor Lambda's lower triangle, column by column
        (lme4's ``getME(fit, "theta")``)."""
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
        return pd.Series(np.sqrt(np.diag(self.cov_re.to_numpy())), index=self.re_names, name="Std.Dev.")

    @property
    def corr_re(self) -> pd.DataFrame:
        """Correlation matrix of the random effects (NaN where a standard deviation is 0)."""
        cov = self.cov_re.to_numpy()
        sd = np.sqrt(np.diag(cov))
        with np.errstate(invalid="ignore", divide="ignore"):
            corr = cov / np.outer(sd, sd)
        np.fill_diagonal(corr, 1.0)
        return pd.DataFrame(corr, index=self.re_names, columns=self.re_names)

    @property
    def varcorr(self) -> pd.DataFrame:
        """Variance components as a table, like lme4's ``as.data.frame(VarCorr(fit))``.

        Columns: ``grp``, ``var1``, ``var2``, ``vcov`` (variance or covariance) and
        ``sdcor`` (standard deviation, or correlation for a covariance row). Rows: the
        variance of each random effect, then each covariance (var1, var2), then the
        residual.
        """
        names = self.re_names
        cov = self.cov_re.to_numpy()
        corr = self.corr_re.to_numpy()
        q = len(names)
        rows: list[dict[str, Any]] = []
        for i in range(q):
            rows.append(
                dict(
                    grp=self.group_name, var1=names[i], var2=None, vcov=cov[i, i], sdcor=math.sqrt(max(cov[i, i], 0.0))
                )
            )
        for i in range(q):
            for j in range(i + 1, q):
                rows.append(dict(grp=self.group_name, var1=names[i], var2=names[j], vcov=cov[i, j], sdcor=corr[i, j]))
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
        """Fitted values X beta + Z b, indexed like the rows of the data used."""
        b = np.asarray(self._res["random_effects"], dtype=float)
        vals = self._design.x @ np.asarray(self._res["beta"], dtype=float) + random_part(self._design, b)
        return pd.Series(vals, index=self._design.row_index, name="fitted")

    @property
    def residuals(self) -> pd.Series:
        """Response minus fitted values, indexed like the rows of the data used."""
        return pd.Series(self._design.y - self.fitted.to_numpy(), index=self._design.row_index, name="residuals")

    resid = residuals
    fittedvalues = fitted

    @property
    def response(self) -> pd.Series:
        """The response used in the fit."""
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

    # ----------------------------------------------------------------- output
    def summary_text(self) -> str:
        """The report :meth:`summary` prints, as a string."""
        return format_summary(self)

    def summary(self, file: Any = None) -> None:
        """Print the familiar report (lme4's ``summary``; the command line prints the
        same): criteria, scaled residuals, variance components, fixed effects, their
        correlations, the optimiser's report and the time taken."""
        print(self.summary_text(), file=file if file is not None else sys.stdout)

    def __repr__(self) -> str:
        return format_short(self)

    __str__ = __repr__

    def _repr_html_(self) -> str:
        return format_html(self)

    def to_dict(self) -> dict[str, Any]:
        """Every result as plain Python values (what ``--json`` prints)."""
        return fit_to_dict(self)

    # ----------------------------------------------------------------- prediction
    def predict(
        self,
        newdata: Any = None,
        re: bool = True,
        allow_new_levels: bool = False,
    ) -> pd.Series:
        """Predictions for ``newdata`` (the data used for the fit when ``None``).

        With ``re=True`` a row of a group seen in the fit gets the fixed part plus its
        group's random effects, X beta + Z b. A group label the fit has not seen (a new
        group, a typo, another spelling) or a missing label raises ``ValueError`` naming
        the labels, as lme4 does; with ``allow_new_levels=True`` such rows get the
        population-level prediction X beta. Labels match by value across text and
        numbers where that is unambiguous: "308", 308 and 308.0 are one label unless
        the fit has more than one of them. With ``re=False`` every row gets X beta.
        Rows with missing predictor values get NaN. The result is indexed like
        ``newdata``.
        """
        check_flag("allow_new_levels", allow_new_levels)
        beta = np.asarray(self._res["beta"], dtype=float)
        b = np.asarray(self._res["random_effects"], dtype=float)
        return predict(
            self._design,
            beta,
            b,
            newdata,
            re=re,
            allow_new_levels=allow_new_levels,
            by_value=self._levels_by_value,
        )

    def _levels_by_value(self) -> dict[Any, int]:
        """The levels by the value of their label (computed once, when first needed)."""
        if self._by_value is None:
            self._by_value = levels_by_value(self._design.levels, len(self._design.parsed.group))
        return self._by_value

    # ----------------------------------------------------------------- refits
    def _refit_core(self, core: LmmCore, y: np.ndarray, reml: bool, starts: list[float]) -> LmmFit:
        t0 = time.perf_counter()
        with core_refusals("new response", self.fe_names):
            result = core.fit(starts, reml=reml)
        t1 = time.perf_counter()
        design = replace(self._design, y=y)
        fit = LmmFit(
            design,
            core,
            result,
            n_starts=len(starts) // core.n_theta,
            fit_seconds=t1 - t0,
            total_seconds=t1 - t0,
            evaluator_requested=self._evaluator_requested,
        )
        warn_if_singular(fit, stacklevel=3)
        return fit

    def _starts(self) -> list[float]:
        """Starts for a refit: this fit's theta, close to the new optimum. A singular
        theta sits on a symmetric face of the criterion, from which the optimiser
        leaves only along negative curvature, so lme4's start is tried as well."""
        flat = list(self.theta)
        if self.is_singular:
            flat += list(self._core.default_theta())
        return flat

    def refit(self, y: Any) -> LmmFit:
        """The same model fitted to a new response ``y`` (length :attr:`nobs`, in the
        order of the rows used), reusing the prepared design (lme4's ``refit``)."""
        if isinstance(y, pd.Series) and y.index.equals(self._design.row_index):
            arr = y.to_numpy(dtype=float)
        else:
            arr = np.asarray(y, dtype=float).ravel()
        arr = np.ascontiguousarray(arr, dtype=float)
        if arr.shape[0] != self.nobs:
            raise ValueError(f"the new response has {arr.shape[0]} values; the model has {self.nobs} observations")
        if not np.all(np.isfinite(arr)):
            raise ValueError("the new response has missing or non-finite values")
        d = self._design
        check_response_variation(arr, "new response")
        core = self._core.with_response(arr, d.x, d.z, d.codes)
        return self._refit_core(core, arr, self.reml, self._starts())

    def refit_ml(self) -> LmmFit:
        """This model fitted by maximum likelihood (itself when it already is)."""
        if not self.reml:
            return self
        return self._refit_core(self._core, self._design.y, False, self._starts())

    def refit_reml(self) -> LmmFit:
        """This model fitted by REML (itself when it already is)."""
        if self.reml:
            return self
        return self._refit_core(self._core, self._design.y, True, self._starts())

    # ----------------------------------------------------------------- simulation
    def simulate(self, n: int = 1, seed: int | np.random.Generator | None = None) -> np.ndarray:
        """Responses simulated from the fitted model, shape (n, nobs):
        y* = X beta + Z b* + e with b*_i ~ N(0, sigma^2 Lambda Lambda'), e ~ N(0, sigma^2).
        The replicates are those :meth:`bootstrap` refits for the same seed."""
        rng = seed if isinstance(seed, np.random.Generator) else np.random.default_rng(seed)
        return self._simulator().draw_many(rng, int(n))

    def bootstrap(
        self,
        n: int,
        seed: int | None = None,
        progress: bool | None = None,
        level: float = 0.95,
    ) -> _bootstrap.BootstrapResult:
        """Parametric bootstrap: simulate ``n`` responses from the fitted model and refit
        each (through ``LmmCore.with_response``, starting from this fit's theta and
        from the identity).

        Args:
            n: number of replicates.
            seed: seed of the random generator (numpy's ``default_rng``); the same seed
                gives the same replicates. ``None`` draws a fresh seed, kept in the
                result's ``seed`` so the run can be repeated.
            progress: show a progress bar (tqdm); ``None`` shows it only on a
                terminal and only for runs longer than about a second.
            level: confidence level of the result's default intervals.

        Returns:
            :class:`BootstrapResult` with the replicates (fixed effects, standard
            deviations and correlations of the random effects, sigma) and percentile
            intervals.
        """
        return _bootstrap.bootstrap(
            self._core,
            self._design,
            self._simulator(),
            reml=self.reml,
            starts=self._starts(),
            names=_bootstrap.param_names(self.group_name, self.re_names, self.fe_names),
            estimate=_bootstrap.param_vector(self._res),
            n=n,
            seed=seed,
            progress=progress,
            level=level,
        )

    def _simulator(self) -> _bootstrap.Simulator:
        beta = np.asarray(self._res["beta"], dtype=float)
        return _bootstrap.Simulator(self._design, beta, self.sigma, self.lambda_matrix)
