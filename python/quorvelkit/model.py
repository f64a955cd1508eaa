"""The model interface: :func:`lmm`, the fitted model :class:`LmmFit`, :func:`anova`
and the parametric bootstrap.

Conventions follow lme4: the log-likelihood is minus half the criterion (the REML
log-likelihood for REML fits), AIC = criterion + 2 k and BIC = criterion + log(n) k with
k = p + n_theta + 1 parameters, and the data are fitted as given (no rescaling), so
``theta`` is directly comparable with lme4's ``getME(fit, "theta")``.
"""

from __future__ import annotations

import contextlib
import math
import sys
import time
import warnings
from dataclasses import replace
from typing import Any, Iterator, Mapping, Sequence

import numpy as np
import pandas as pd

from ._quorvelkit import LmmCore
from .formula import (
    Design,
    ParsedFormula,
    build_design,
    check_response_variation,
    exact_fit_error,
    join_labels,
    parse_formula,
    to_frame,
)

__all__ = [
    "lmm",
    "LmmFit",
    "anova",
    "AnovaTable",
    "BootstrapResult",
    "SINGULAR_TOL",
    "SingularFitWarning",
    "PValuesUnavailable",
]

#: A diagonal entry of Lambda below this is "at zero" (lme4's ``isSingular`` tolerance).
SINGULAR_TOL = 1e-4

SINGULAR_NOTE = (
    "boundary (singular) fit: a random-effect variance (or a linear combination) is estimated at zero"
)


class PValuesUnavailable(AttributeError, NotImplementedError):
    """Raised by :attr:`LmmFit.pvalues`: p-values with proper degrees of freedom are
    not computed yet. An ``AttributeError`` too, so ``hasattr`` and ``getattr(fit,
    "pvalues", None)`` treat them as absent."""


class SingularFitWarning(UserWarning):
    """An optimised fit is on the boundary: a random-effect variance, or a linear
    combination of the random effects, is estimated at zero (lme4's "boundary
    (singular) fit"). Filter it like any warning, e.g.
    ``warnings.simplefilter("ignore", qk.SingularFitWarning)``."""


def _warn_if_singular(fit: "LmmFit", stacklevel: int) -> None:
    if fit.is_singular:
        warnings.warn(f"{SINGULAR_NOTE}; see LmmFit.is_singular", SingularFitWarning, stacklevel=stacklevel + 1)


# --------------------------------------------------------------------------- helpers


def _theta_pairs(q: int) -> list[tuple[int, int]]:
    """(row, column) of each theta entry: the lower triangle, column by column."""
    return [(r, c) for c in range(q) for r in range(c, q)]


def _lambda(theta: Sequence[float] | np.ndarray, q: int) -> np.ndarray:
    lam = np.zeros((q, q))
    for k, (r, c) in enumerate(_theta_pairs(q)):
        lam[r, c] = theta[k]
    return lam


def _flatten_starts(starts: Any, n_theta: int) -> list[float]:
    flat: list[float] = []
    arr = np.asarray(starts, dtype=float)
    if arr.ndim == 0:
        arr = arr.reshape(1)
    flat = [float(v) for v in arr.ravel()]
    if not flat or len(flat) % n_theta:
        raise ValueError(
            f"starts must be one or more theta vectors of length {n_theta}, got {len(flat)} values"
        )
    return flat


def _json_label(v: Any) -> Any:
    if isinstance(v, (np.integer,)):
        return int(v)
    if isinstance(v, (np.floating,)):
        return float(v)
    if isinstance(v, (np.bool_,)):
        return bool(v)
    if isinstance(v, (str, int, float, bool)) or v is None:
        return v
    return str(v)


def _is_missing(v: Any) -> bool:
    try:
        return v is None or bool(pd.isna(v))
    except (TypeError, ValueError):
        return False


def _label_key(v: Any, parts: int = 1) -> Any:
    """The value of a group label, the same for "308", 308 and 308.0: a number for
    anything that reads as one (integers as ``int``), else the text. Labels of an
    interaction ("a:1") are keyed part by part. None for a missing label."""
    if _is_missing(v):
        return None
    if parts > 1:
        pieces = str(v).split(":")
        if len(pieces) != parts:
            return ("text", str(v))
        return tuple(_label_key(p) for p in pieces)
    if isinstance(v, (bool, np.bool_)):
        return ("bool", bool(v))
    if isinstance(v, (int, np.integer)):
        return ("number", int(v))
    try:
        f = float(v.strip() if isinstance(v, str) else v)
    except (TypeError, ValueError, OverflowError):
        return ("text", str(v))
    if not math.isfinite(f):
        return ("text", str(v))
    if f.is_integer() and abs(f) < 2**63:
        try:  # keep every digit of a long integer written as text
            return ("number", int(v) if isinstance(v, str) else int(f))
        except ValueError:
            return ("number", int(f))
    return ("number", f)


def _check_flag(name: str, value: Any) -> None:
    """``value`` must be a boolean (``True``/``False`` or a NumPy boolean): a string
    such as "FALSE" is true in Python, so it would silently mean the opposite."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {type(value).__name__} {value!r}")


def _num(v: float) -> float | None:
    v = float(v)
    return v if math.isfinite(v) else None


# --------------------------------------------------------------------------- fitting


def lmm(
    formula: str,
    data: Any,
    reml: bool = True,
    evaluator: str = "auto",
    starts: Any = None,
    *,
    theta: Sequence[float] | None = None,
    max_iter: int = 300,
    **source_options: Any,
) -> "LmmFit":
    """Fit a linear mixed model written in lme4's notation.

    Args:
        formula: e.g. ``"Reaction ~ Days + (Days | Subject)"``, ``"y ~ x1 * x2 + C(site)
            + (1 | g)"`` or ``"y ~ 1 + (0 + x | g)"``. Exactly one random-effects term
            ``(terms | group)``; the grouping factor is a column (or ``a:b``, the
            interaction of two columns). The response, the fixed part and the left side
            of the bar are built by formulaic, with R's meanings: ``I(x^2)`` is a square,
            ``factor(x)`` is ``C(x)``, ``Solar.R`` is a column name. Every expression
            is checked before anything evaluates it: only column names, numbers,
            arithmetic, comparisons and the functions of
            :data:`quorvelkit.expressions.ALLOWED_FUNCTIONS` are allowed.
        data: a pandas DataFrame, or anything pandas can turn into one (a dict of
            columns, a list of records, an object with ``to_pandas()``); or a source
            read in batches, never whole: a Parquet file or directory (a path), a
            pyarrow dataset, an iterator of DataFrames, a Dask or Spark DataFrame
            (see :func:`quorvelkit.sources.lmm`, whose options ``batch_rows``,
            ``levels`` and ``progress`` pass through ``source_options``).
        reml: fit by REML (``True``, the default) or by maximum likelihood (``False``);
            a boolean (a NumPy boolean is fine), anything else is a ``TypeError``.
        evaluator: the core's kernel: ``"auto"``, ``"blocks"``, ``"aggregated"`` or
            ``"streaming"``; all give the same fit.
        starts: starting values for theta, one vector or several (a 2-D array or a flat
            concatenation); with several, the lowest optimum wins. By default the
            identity factor alone (lme4's start): the optimiser reaches the optimum
            from it, so further starts only cost time.
        theta: evaluate the model at this theta without optimising (like lme4's
            ``optimizer = NULL``); useful for comparisons and profiles.
        max_iter: iteration limit of the optimiser, per start.

    Returns:
        The fitted model, :class:`LmmFit`.

    Raises:
        ValueError: a formula that cannot be read or uses unsupported notation
            (several bar terms, ``||``, nested groups) or anything but column names,
            numbers, arithmetic and the allowed transforms; a column that is not in the
            data, a non-numeric response, infinite values, too few groups or
            observations; a degenerate response: a constant one, or one the fixed
            effects fit exactly (its residuals are zero to rounding error), which
            leaves no residual variation to estimate the variance components from.
        TypeError: ``reml`` that is not a boolean.
        RuntimeError: no start gives a feasible theta.

    Rows with a missing value in any column the model uses are dropped and counted
    (``fit.n_dropped``). Aliased fixed-effects columns are dropped with a
    :class:`~quorvelkit.formula.RankDeficiencyWarning` naming them. An optimised fit
    on the boundary (:attr:`LmmFit.is_singular`) gives a :class:`SingularFitWarning`.
    A response that the fixed and random effects fit exactly together (but the fixed
    effects alone do not), e.g. one that is constant within every group in a random-
    intercept model, has no finite optimum either; it is not detected before the fit,
    which ends at a very large theta with a sigma many orders of magnitude below the
    response's spread.
    """
    from .sources import is_batch_source

    if is_batch_source(data):
        from .sources import lmm as lmm_batches

        return lmm_batches(formula, data, reml, evaluator, starts, theta=theta, max_iter=max_iter, **source_options)
    if source_options:
        raise TypeError(f"lmm() got options of a batched source for a data frame: {', '.join(source_options)}")
    _check_flag("reml", reml)
    t0 = time.perf_counter()
    parsed = parse_formula(formula)
    design = build_design(parsed, data)
    t1 = time.perf_counter()
    core = LmmCore(design.y, design.x, design.z, design.codes, design.m, evaluator)
    response = f"response '{parsed.response}'"
    if theta is not None:
        with _core_refusals(response, design.fe_names):
            result: Mapping[str, Any] = _evaluate_at(core, theta, reml)
        n_starts = 0
    else:
        if starts is None:
            flat = list(core.default_theta())
        else:
            flat = _flatten_starts(starts, core.n_theta)
        n_starts = len(flat) // core.n_theta
        with _core_refusals(response, design.fe_names):
            result = core.fit(flat, reml=bool(reml), max_iter=int(max_iter))
    t2 = time.perf_counter()
    fit = LmmFit(
        design,
        core,
        result,
        n_starts=n_starts,
        fit_seconds=t2 - t1,
        total_seconds=t2 - t0,
        evaluator_requested=evaluator,
    )
    if theta is None:
        _warn_if_singular(fit, stacklevel=2)
    return fit


@contextlib.contextmanager
def _core_refusals(response: str, fe_names: Sequence[str]) -> Iterator[None]:
    """Turns the core's refusal of a response that the fixed effects fit exactly into
    the user's ``ValueError``, and any other "theta is infeasible" at every start into
    a ``RuntimeError`` saying so; the core's own error is the cause."""
    try:
        yield
    except RuntimeError as e:
        exact = exact_fit_error(e, response, fe_names)
        if exact is not None:
            raise exact from e
        raise RuntimeError(
            "theta is infeasible at every start: the model cannot be estimated from these data"
        ) from e


def _evaluate_at(core: LmmCore, theta: Sequence[float], reml: bool) -> dict[str, Any]:
    theta_l = [float(v) for v in np.asarray(theta, dtype=float).ravel()]
    result = dict(core.solution(theta_l, reml=bool(reml)))
    result.update(
        converged=False,
        iterations=0,
        fev=1,
        grad_inf_norm=float(np.nanmax(np.abs(result["grad"]), initial=0.0)),
        message="theta given by the caller (not optimised)",
    )
    return result


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
        return self._design.x.shape[1] + self._core.n_theta + 1

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
            from scipy.stats import norm

            zq = float(norm.ppf(0.5 + level / 2))
            lo, hi = _pct_names(level)
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
        return _lambda(self.theta, self._core.q)

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
            rows.append(dict(grp=self.group_name, var1=names[i], var2=None, vcov=cov[i, i], sdcor=math.sqrt(max(cov[i, i], 0.0))))
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
        return pd.DataFrame(
            np.diagonal(cc, axis1=1, axis2=2).copy(), index=self.levels, columns=self.re_names
        )

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
    def _zb(self) -> np.ndarray:
        b = np.asarray(self._res["random_effects"], dtype=float)
        return np.einsum("ij,ij->i", self._design.z, b[self._design.codes])

    @property
    def fitted(self) -> pd.Series:
        """Fitted values X beta + Z b, indexed like the rows of the data used."""
        vals = self._design.x @ np.asarray(self._res["beta"], dtype=float) + self._zb()
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
        from .report import format_summary

        return format_summary(self)

    def summary(self, file: Any = None) -> None:
        """Print the familiar report (lme4's ``summary``; the command line prints the
        same): criteria, scaled residuals, variance components, fixed effects, their
        correlations, the optimiser's report and the time taken."""
        print(self.summary_text(), file=file if file is not None else sys.stdout)

    def __repr__(self) -> str:
        from .report import format_short

        return format_short(self)

    __str__ = __repr__

    def _repr_html_(self) -> str:
        from .report import format_html

        return format_html(self)

    def to_dict(self) -> dict[str, Any]:
        """Every result as plain Python values (what ``--json`` prints)."""
        from .report import fit_to_dict

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
        _check_flag("allow_new_levels", allow_new_levels)
        beta = np.asarray(self._res["beta"], dtype=float)
        if newdata is None:
            vals = self._design.x @ beta
            if re:
                vals = vals + self._zb()
            return pd.Series(vals, index=self._design.row_index, name="predicted")
        frame = to_frame(newdata)
        parsed = self._design.parsed
        need = [c for c in self._design.predictor_columns if c not in parsed.group or re]
        absent = [c for c in need if c not in frame.columns]
        if absent:
            raise ValueError(f"newdata lacks the column(s) {', '.join(absent)}")
        fixed_cols = [c for c in need if c not in parsed.group]
        ok = ~frame[fixed_cols].isna().any(axis=1).to_numpy() if fixed_cols else np.ones(len(frame), bool)
        out = np.full(len(frame), np.nan)
        if re and not allow_new_levels:  # every label is checked, whatever the predictors
            labels = self._group_values(frame)
            unknown = self._group_index(frame) < 0
            if unknown.any():
                missing = np.array([_is_missing(v) for v in labels[unknown]], dtype=bool)
                shown = ", ".join(repr(_json_label(v)) for v in pd.unique(labels[unknown][~missing])[:5])
                more = int(len(pd.unique(labels[unknown][~missing]))) - 5
                parts = []
                if shown:
                    parts.append(f"levels of '{self.group_name}' not in the fit: {shown}"
                                 + (f" and {more} more" if more > 0 else ""))
                if missing.any():
                    parts.append(f"{int(missing.sum())} row(s) with a missing '{self.group_name}'")
                raise ValueError(
                    f"newdata has {' and '.join(parts)}; pass allow_new_levels=True for "
                    f"population-level predictions of those rows"
                )
        if ok.any():
            sub = frame.loc[ok].reset_index(drop=True)
            named = parsed.for_formulaic(sub[need])
            x_new = self._materialize(self._design.fixed_spec, named)[:, self._design.kept_columns]
            vals = x_new @ beta
            if re:
                idx = self._group_index(sub)
                new = idx < 0
                z_new = self._materialize(self._design.random_spec, named)
                b = np.asarray(self._res["random_effects"], dtype=float)
                known = ~new
                vals[known] += np.einsum("ij,ij->i", z_new[known], b[idx[known]])
            out[ok] = vals
        return pd.Series(out, index=frame.index, name="predicted")

    @staticmethod
    def _materialize(spec: Any, frame: pd.DataFrame) -> np.ndarray:
        from formulaic.errors import FormulaicError

        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                mm = spec.get_model_matrix(frame, na_action="ignore")
        except Warning as w:  # formulaic's data-mismatch warning: unseen factor levels
            raise ValueError(f"newdata does not match the fitted model: {w}") from None
        except FormulaicError as exc:
            from .formula import _clean_message

            raise ValueError(f"cannot build model matrices for newdata: {_clean_message(exc)}") from None
        return np.asarray(mm.to_numpy(dtype=float))

    def _group_values(self, frame: pd.DataFrame) -> np.ndarray:
        group = self._design.parsed.group
        if len(group) == 1:
            return frame[group[0]].to_numpy(dtype=object)
        strs = join_labels(frame, group)
        bad = frame[list(group)].isna().any(axis=1).to_numpy()
        vals = strs.to_numpy(dtype=object)
        vals[bad] = None
        return vals

    def _group_index(self, frame: pd.DataFrame) -> np.ndarray:
        """Index into :attr:`levels` of each row's group label; -1 for a label the fit
        has not seen (or a missing one). A label that is not found as it is matches the
        level of the same value in another representation (text "308", integer 308,
        float 308.0) when exactly one level has that value."""
        labels = self._group_values(frame)
        levels = self._design.levels
        idx = np.asarray(levels.get_indexer(pd.Index(labels, dtype=object)), dtype=np.int64)
        missing = idx < 0
        if missing.any():
            by_value = self._levels_by_value()
            parts = len(self._design.parsed.group)
            for k in np.flatnonzero(missing):
                key = _label_key(labels[k], parts)
                if key is not None:
                    idx[k] = by_value.get(key, -1)
        return idx

    def _levels_by_value(self) -> dict[Any, int]:
        """Levels by the value of their label; a value shared by several levels (an
        ambiguous one, e.g. levels "1" and 1) maps to -1."""
        if self._by_value is None:
            parts = len(self._design.parsed.group)
            table: dict[Any, int] = {}
            for i, v in enumerate(self._design.levels):
                key = _label_key(v, parts)
                if key is not None:
                    table[key] = -1 if key in table else i
            self._by_value = table
        return self._by_value

    # ----------------------------------------------------------------- refits
    def _refit_core(self, core: LmmCore, y: np.ndarray, reml: bool, starts: list[float]) -> "LmmFit":
        t0 = time.perf_counter()
        with _core_refusals("new response", self.fe_names):
            result = core.fit(starts, reml=reml)
        t1 = time.perf_counter()
        design = replace(self._design, y=y)
        fit = type(self)(
            design,
            core,
            result,
            n_starts=len(starts) // core.n_theta,
            fit_seconds=t1 - t0,
            total_seconds=t1 - t0,
            evaluator_requested=self._evaluator_requested,
        )
        _warn_if_singular(fit, stacklevel=3)
        return fit

    def _starts(self) -> list[float]:
        """Starts for a refit: this fit's theta, close to the new optimum. A singular
        theta sits on a symmetric face of the criterion, from which the optimiser
        leaves only along negative curvature, so lme4's start is tried as well."""
        flat = list(self.theta)
        if self.is_singular:
            flat += list(self._core.default_theta())
        return flat

    def refit(self, y: Any) -> "LmmFit":
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

    def refit_ml(self) -> "LmmFit":
        """This model fitted by maximum likelihood (itself when it already is)."""
        if not self.reml:
            return self
        return self._refit_core(self._core, self._design.y, False, self._starts())

    def refit_reml(self) -> "LmmFit":
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
        return _Simulator(self).draw_many(rng, int(n))

    def bootstrap(
        self,
        n: int,
        seed: int | None = None,
        progress: bool | None = None,
        level: float = 0.95,
    ) -> "BootstrapResult":
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
        n = int(n)
        if n < 1:
            raise ValueError(f"n must be a positive number of replicates, got {n}")
        if seed is None:
            seed = int(np.random.SeedSequence().entropy) % (2**63)  # type: ignore[arg-type]
        rng = np.random.default_rng(seed)
        sim = _Simulator(self)
        d = self._design
        starts = self._starts()
        names = _param_names(self)
        p, q, n_theta = d.x.shape[1], d.z.shape[1], self._core.n_theta
        betas = np.empty((n, p))
        covs = np.empty((n, q, q))
        sigmas = np.empty(n)
        thetas = np.empty((n, n_theta))
        converged = np.empty(n, dtype=bool)
        from tqdm import tqdm

        if progress is None:
            disable = not (sys.stderr is not None and hasattr(sys.stderr, "isatty") and sys.stderr.isatty())
            bar = tqdm(total=n, disable=disable, delay=1.0, desc="bootstrap", unit="refit", leave=False)
        else:
            bar = tqdm(total=n, disable=not progress, desc="bootstrap", unit="refit", leave=False)
        # Responses are simulated in batches of about 8 MB (the same random stream as one
        # replicate at a time) and refitted one by one through with_response.
        batch = max(1, min(n, 64, (1 << 20) // max(1, sim.width)))
        t0 = time.perf_counter()
        core, reml, x, z, codes = self._core, self.reml, d.x, d.z, d.codes
        try:
            for first in range(0, n, batch):
                k = min(batch, n - first)
                ys = sim.draw_many(rng, k)
                for i in range(k):
                    res = core.with_response(ys[i], x, z, codes).fit(starts, reml=reml)
                    j = first + i
                    betas[j] = res["beta"]
                    covs[j] = res["cov_re"]
                    sigmas[j] = res["sigma"]
                    thetas[j] = res["theta"]
                    converged[j] = res["converged"]
                bar.update(k)
        finally:
            bar.close()
        elapsed = time.perf_counter() - t0
        return BootstrapResult(
            replicates=pd.DataFrame(_param_matrix(covs, sigmas, betas), columns=names),
            theta=pd.DataFrame(thetas, columns=[f"theta{k + 1}" for k in range(n_theta)]),
            estimate=pd.Series(_param_vector(self._res), index=names, name="estimate"),
            converged=converged,
            seed=seed,
            seconds=elapsed,
            level=level,
        )


class _Simulator:
    """Draws responses from a fitted model: y* = X beta + Z b* + e."""

    def __init__(self, fit: LmmFit) -> None:
        d = fit._design
        self.mean = d.x @ np.asarray(fit._res["beta"], dtype=float)
        self.z = d.z
        self.codes = d.codes
        self.m = d.m
        self.q = d.z.shape[1]
        self.n = d.n
        self.sigma = fit.sigma
        self.lam_t = fit.lambda_matrix.T * self.sigma  # rows of u @ (sigma Lambda)'

    @property
    def width(self) -> int:
        """Random numbers per replicate: m*q for b*, then n for e."""
        return self.m * self.q + self.n

    def draw_many(self, rng: np.random.Generator, k: int) -> np.ndarray:
        """``k`` simulated responses, shape (k, n), C-contiguous rows. Each replicate
        takes m*q standard normals for b* (group by group) and then n for e."""
        normals = rng.standard_normal((k, self.width))
        u = normals[:, : self.m * self.q].reshape(k, self.m, self.q)
        e = normals[:, self.m * self.q :]
        b = u @ self.lam_t  # (k, m, q)
        if self.q == 1:
            zb = self.z[:, 0] * b[:, self.codes, 0]
        else:
            zb = np.einsum("ij,kij->ki", self.z, b[:, self.codes, :])
        return np.ascontiguousarray(self.mean + zb + self.sigma * e)

    def draw(self, rng: np.random.Generator) -> np.ndarray:
        """One simulated response (the same stream as ``draw_many`` with k = 1)."""
        return self.draw_many(rng, 1)[0]


def _param_names(fit: LmmFit) -> list[str]:
    """Bootstrap parameter names, as lme4's ``confint(..., oldNames = FALSE)``."""
    g = fit.group_name
    re = fit.re_names
    q = len(re)
    names = []
    for c in range(q):
        names.append(f"sd_{re[c]}|{g}")
        for r in range(c + 1, q):
            names.append(f"cor_{re[r]}.{re[c]}|{g}")
    names.append("sigma")
    return names + fit.fe_names


def _param_matrix(covs: np.ndarray, sigmas: np.ndarray, betas: np.ndarray) -> np.ndarray:
    """Rows of (sd, correlations column by column, sigma, beta) for stacked fits."""
    q = covs.shape[1]
    sd = np.sqrt(np.maximum(np.diagonal(covs, axis1=1, axis2=2), 0.0))
    cols = []
    for c in range(q):
        cols.append(sd[:, c])
        for r in range(c + 1, q):
            den = sd[:, r] * sd[:, c]
            with np.errstate(invalid="ignore", divide="ignore"):
                cols.append(np.where(den > 0, covs[:, r, c] / np.where(den > 0, den, 1.0), np.nan))
    cols.append(sigmas)
    return np.column_stack(cols + [betas])


def _param_vector(res: Mapping[str, Any]) -> np.ndarray:
    cov = np.asarray(res["cov_re"], dtype=float)
    q = cov.shape[0]
    sd = np.sqrt(np.maximum(np.diag(cov), 0.0))
    out = []
    for c in range(q):
        out.append(sd[c])
        for r in range(c + 1, q):
            den = sd[r] * sd[c]
            out.append(cov[r, c] / den if den > 0 else np.nan)
    out.append(float(res["sigma"]))
    out.extend(np.asarray(res["beta"], dtype=float))
    return np.asarray(out, dtype=float)


def _pct_names(level: float) -> tuple[str, str]:
    lo = (1 - level) / 2 * 100
    hi = 100 - lo
    fmt = lambda v: f"{v:.10g} %"  # noqa: E731
    return fmt(lo), fmt(hi)


class BootstrapResult:
    """Result of :meth:`LmmFit.bootstrap`.

    Attributes:
        replicates: DataFrame, one row per replicate; columns ``sd_<term>|<group>``,
            ``cor_<term2>.<term1>|<group>``, ``sigma`` and the fixed effects (lme4's
            names). A correlation is NaN in a replicate whose standard deviation is 0.
        theta: DataFrame of the replicates' theta.
        estimate: the fitted model's values of the same parameters.
        converged: boolean array, whether each refit converged.
        seed: the seed used (pass it again to repeat the run).
        seconds: wall time of the simulation and refits.
        ci: percentile intervals at the level requested (:meth:`intervals`).
    """

    def __init__(
        self,
        replicates: pd.DataFrame,
        theta: pd.DataFrame,
        estimate: pd.Series,
        converged: np.ndarray,
        seed: int,
        seconds: float,
        level: float = 0.95,
    ) -> None:
        self.replicates = replicates
        self.theta = theta
        self.estimate = estimate
        self.converged = converged
        self.seed = seed
        self.seconds = seconds
        self.level = level

    @property
    def n(self) -> int:
        """Number of replicates."""
        return len(self.replicates)

    @property
    def n_failed(self) -> int:
        """Number of refits whose optimiser did not report convergence."""
        return int((~self.converged).sum())

    @property
    def refits_per_second(self) -> float:
        """Replicates simulated and refitted per second of wall time."""
        return self.n / self.seconds if self.seconds > 0 else float("inf")

    def intervals(self, level: float = 0.95) -> pd.DataFrame:
        """Percentile intervals at ``level`` for every parameter (NaN replicates,
        i.e. undefined correlations, are ignored)."""
        if not 0 < level < 1:
            raise ValueError(f"level must be between 0 and 1, got {level}")
        lo, hi = _pct_names(level)
        a = (1 - level) / 2
        vals = self.replicates.to_numpy()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            q = np.nanquantile(vals, [a, 1 - a], axis=0)
        return pd.DataFrame({lo: q[0], hi: q[1]}, index=self.replicates.columns)

    @property
    def ci(self) -> pd.DataFrame:
        """Percentile intervals at :attr:`level`."""
        return self.intervals(self.level)

    @property
    def std_error(self) -> pd.Series:
        """Bootstrap standard deviation of each parameter."""
        return self.replicates.std(ddof=1)

    def __repr__(self) -> str:
        table = self.ci.copy()
        table.insert(0, "estimate", self.estimate)
        lines = [
            f"Parametric bootstrap: {self.n} replicates, seed {self.seed}, "
            f"{self.seconds:.3g} s ({self.refits_per_second:.0f} refits/s)"
            + (f", {self.n_failed} not converged" if self.n_failed else ""),
            table.to_string(float_format=lambda v: f"{v:.6g}"),
        ]
        return "\n".join(lines)


# --------------------------------------------------------------------------- anova


def anova(*fits: LmmFit, refit: bool = True, names: Sequence[str] | None = None) -> pd.DataFrame:
    """Likelihood-ratio tests of nested models fitted to the same data (lme4's
    ``anova``).

    REML fits are refitted by maximum likelihood first (``refit=True``, as lme4 does).
    Models are ordered by number of parameters; each is tested against the one before.

    Returns:
        :class:`AnovaTable`, a DataFrame indexed by model (``names``, or the
        formulas) with columns ``Df``
        (number of parameters), ``AIC``, ``BIC``, ``logLik``, ``deviance``, ``Chisq``,
        ``Chi Df`` and ``Pr(>Chisq)`` (NaN on the first row).
    """
    from scipy.stats import chi2

    if len(fits) < 2:
        raise ValueError("anova needs at least two fitted models")
    for f in fits:
        if not isinstance(f, LmmFit):
            raise TypeError(f"anova takes fitted models (LmmFit), got {type(f).__name__}")
    labels = list(names) if names is not None else [f.formula for f in fits]
    if len(labels) != len(fits):
        raise ValueError("names must give one name per model")
    if len(set(labels)) != len(labels):
        labels = [f"model {i + 1}: {lab}" for i, lab in enumerate(labels)]
    n0 = fits[0].nobs
    y0 = fits[0]._design.y
    for f in fits[1:]:
        if f.nobs != n0 or not np.array_equal(f._design.y, y0):
            raise ValueError(
                "models were not all fitted to the same data (different observations or response)"
            )
    if refit:
        ml = [f.refit_ml() for f in fits]
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
            p = float(chi2.sf(chisq, ddf)) if ddf > 0 else np.nan
            row.update({"Chisq": chisq, "Chi Df": ddf, "Pr(>Chisq)": p})
        rows.append(row)
        prev = f
    out = AnovaTable(rows, index=[labels[i] for i in order])
    out["Df"] = out["Df"].astype(int)
    out.attrs["models"] = {labels[i]: fits[i].formula for i in order}
    out.attrs["refitted_ml"] = bool(refit and any(f.reml for f in fits))
    return out


class AnovaTable(pd.DataFrame):
    """The table :func:`anova` returns: a pandas DataFrame that prints like lme4's."""

    @property
    def _constructor(self):  # slices and copies stay AnovaTables
        return AnovaTable

    _COLUMNS = ["Df", "AIC", "BIC", "logLik", "deviance", "Chisq", "Chi Df", "Pr(>Chisq)"]

    def __repr__(self) -> str:
        if list(self.columns) != self._COLUMNS:
            return super().__repr__()
        from .report import format_anova

        return format_anova(self)

    __str__ = __repr__

    def _repr_html_(self) -> str:  # notebooks: the same cells as the text
        if list(self.columns) != self._COLUMNS:
            return super()._repr_html_()  # type: ignore[misc]
        from .report import format_anova_html

        return format_anova_html(self)
