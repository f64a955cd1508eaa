"""The fitted model, :class:`LmmFit`: its estimates (:class:`~quorvelkit.results.estimates.FitResults`)
and what a user does with a fit: reports, intervals, predictions, refits to a new
response or by the other method, simulation and the parametric bootstrap."""

from __future__ import annotations

import time
import warnings
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from .._quorvelkit import LmmCore
from ..cores.crossed_core import design_core
from ..formula.checks import check_flag
from ..model.design import Design
from ..model.fit_options import FitOptions, run_core
from ..model.model_checks import check_response_variation
from ..results import bootstrap as _bootstrap
from ..results import inference as _inference
from ..results import profile as _profile
from ..results import term_tests as _term_tests
from ..support.errors import SINGULAR_NOTE, SingularFitWarning, core_refusals
from .estimates import FitResults
from .lmm_predict import LmmPrediction
from .lmm_report import LmmReport

__all__ = ["LmmFit", "fit_design", "warn_if_singular"]


def warn_if_singular(fit: FitResults, stacklevel: int) -> None:
    """A :class:`SingularFitWarning` pointing ``stacklevel`` frames above the caller
    when ``fit`` is on the boundary."""
    if fit.is_singular:
        warnings.warn(f"{SINGULAR_NOTE}; see LmmFit.is_singular", SingularFitWarning, stacklevel=stacklevel + 1)


class LmmFit(LmmPrediction):
    """A fitted linear mixed model of one grouping factor or several (returned by
    :func:`lmm`; :class:`~quorvelkit.results.crossed_fit.CrossedFit` names the case of
    several). Its random effects are by factor, one shape for one factor and several
    (:class:`~quorvelkit.results.mixed_effects.MixedEffects`).

    The main results are attributes: :attr:`fixef`, :attr:`se`, :attr:`tvalues`,
    :attr:`cov_fixef`, :attr:`varcorr`, :attr:`sigma`, :attr:`theta`, :attr:`ranef`,
    :attr:`cond_cov`, :attr:`fitted`, :attr:`residuals`, :attr:`criterion`,
    :attr:`loglik`, :attr:`aic`, :attr:`bic`, :attr:`nobs`, :attr:`ngroups`,
    :attr:`optimizer` and :attr:`is_singular`; :attr:`re_terms` (the random-effects
    terms, uncorrelated with each other), :attr:`weights` and :attr:`offset`.
    :meth:`summary` prints lme4's report.

    Names. The vocabulary is lme4's (the report's); the names a statsmodels user types
    first are aliases of the same objects:

    ====================  =========================  ===============================
    lme4                  quorvelkit                 statsmodels alias
    ====================  =========================  ===============================
    fixef(fit)            fixef                      params, fe_params
    vcov(fit)             cov_fixef (also vcov)      cov_params()
    (Std. Error)          se                         bse
    (t value)             tvalues                    tvalues
    (Pr(>|t|), lmerTest)  pvalues, coef_table        pvalues
    confint(fit)          confint(level=0.95)        conf_int(alpha=0.05)
    logLik(fit)           loglik                     llf
    fitted(fit)           fitted                     fittedvalues
    residuals(fit)        residuals                  resid
    ranef(fit)            ranef (by factor)          random_effects
    VarCorr(fit)          varcorr, cov_re            cov_re
    sigma(fit)            sigma, sigma2
    AIC, BIC              aic, bic                   aic, bic
    nobs, ngrps           nobs, ngroups              nobs
    isSingular(fit)       is_singular
    ====================  =========================  ===============================

    Inference as lmerTest reports it: :attr:`coef_table` has Satterthwaite's df and
    p-values (also :attr:`pvalues`), :meth:`anova_terms` the type III F test of each
    term and :meth:`contrast` the tests of any contrast matrix. :meth:`confint` gives
    Wald, profile-likelihood (:meth:`profile`) and bootstrap intervals, and
    :meth:`predict` confidence and prediction intervals.

    A fit pickles and deep-copies with its design and core (a pickle from another
    version of quorvelkit is refused when it is loaded).
    """

    _report = LmmReport

    def _profiler(self, ml: bool) -> _profile.Profiler:
        check_flag("ml", ml)
        groups = [t.group for t in self._terms for _ in t.columns]
        names = _profile.parameter_names(groups, self.re_names, self.fe_names, self._core.theta_index())
        if ml and self.reml:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", SingularFitWarning)
                fit = self.refit_ml()
            return _profile.Profiler(self._core, False, fit.theta, names, base_evaluations=fit.optimizer["fev"])
        return _profile.Profiler(self._core, self.reml, self.theta, names)

    def anova_terms(self, ddf: str = "satterthwaite") -> pd.DataFrame:
        """Type III F tests of each term of the fixed part with Satterthwaite's
        denominator df, lmerTest's ``anova(fit)`` (its default, ``type = 3``, with
        ``ddf = "Satterthwaite"``), or with ``ddf="kenward-roger"`` Kenward and Roger's
        scaled F and df (``anova(fit, ddf = "Kenward-Roger")``): columns "Sum Sq", "Mean Sq", "NumDF", "DenDF",
        "F value", "Pr(>F)", one row per term (the intercept excluded). A term's
        hypothesis is lmerTest's type III one (in a hierarchical model: its
        coefficients are zero when every factor is coded with sum-to-zero contrasts),
        written in lmerTest's basis, which sets the DenDF of a multi-df term; for a
        model of a single term, lmerTest's type I basis (the same F). The fit is not
        redone. ``ValueError`` for a model
        whose fixed-effects matrix is rank deficient, that is not hierarchical, or that
        codes a factor with other contrasts than the default.
        """
        return _inference.anova_terms(self._df_info(ddf), self._type3_hypotheses(), self.sigma2)

    def _refit_design(self, design: Design, reml: bool) -> LmmFit:
        """The model ``design`` of this fit's rows (other terms), fitted as this one is
        (its evaluator), by REML or ML; a singular fit warns from the caller's caller."""
        t0 = time.perf_counter()
        core = design_core(design, self._evaluator_requested)
        options = FitOptions(reml=reml, evaluator=self._evaluator_requested)
        return fit_design(design, core, options, t0, time.perf_counter(), stacklevel=6)

    def ranova(self) -> pd.DataFrame:
        """Likelihood-ratio tests of the random terms, lmerTest's ``ranova(fit)``: the
        first row ("<none>") is the model, then one row per random term in formula
        order, the term removed (a term of the intercept alone, "(1 | g)") or reduced
        (each slope of a term in turn, "Days in (Days | Subject)": the term becomes
        (1 | Subject)). Columns "npar", "logLik", "AIC", "LRT", "Df", "Pr(>Chisq)". Each
        reduced model is refitted by this fit's criterion (REML or ML) from lme4's
        start, one refit per row; a model left without random terms is the linear
        model, whose log-likelihood is R's ``logLik.lm`` by the same criterion."""
        return _term_tests.ranova(self)

    def drop1(self, test: str = "F", ddf: str = "satterthwaite") -> pd.DataFrame:
        """Tests of each fixed term that marginality lets go (R's ``drop.scope``: a
        term no other term holds all the variables of). ``test="F"``: lmerTest's
        ``drop1(fit)``, its type III F test with ``ddf``'s denominator df (columns as
        :meth:`anova_terms`'s; the fit is not redone). ``test="Chisq"``:
        ``stats::drop1(fit, test = "Chisq")``, the likelihood-ratio test of each term
        against the model, both fitted by ML (a REML fit is refitted first): rows
        "<none>" then the terms, columns "npar" (parameters dropped), "AIC", "LRT",
        "Pr(Chi)"; one refit per term. ``ddf`` is "satterthwaite" or
        "kenward-roger" (anything else is a ``ValueError``)."""
        return _term_tests.drop1(self, test, ddf)

    def _type3_hypotheses(self) -> dict[str, np.ndarray]:
        return _inference.design_type3(self._design, self._gram())

    def _gram(self) -> Callable[[], np.ndarray]:
        def at_zero() -> np.ndarray:  # at theta = 0 the core's fixed-effects factor is (X'X)^-1
            parts = self._core.criterion_parts([0.0] * self._core.n_theta, self.reml)
            return np.asarray(np.linalg.inv(parts["fixed_inverse"]))

        return at_zero

    def contrast(self, L: Any, ddf: str = "satterthwaite") -> _inference.ContrastResult:
        """Tests of the linear combinations L beta of the fixed effects: a t test of
        each row with Satterthwaite's df (lmerTest's ``contest(fit, L, joint = FALSE)``)
        and the joint F test of L beta = 0 (``contest(fit, L)``), with Fai and
        Cornelius's denominator df (its numerator df is the rank of L); with
        ``ddf="kenward-roger"``, Kenward and Roger's (pbkrtest's ``KRmodcomp``). ``L`` has one
        column per fixed effect (a vector is one row; a DataFrame may name its columns
        by fixed effect, others count as zero); any other shape is a ``ValueError``."""
        names = self.fe_names
        return _inference.contrast(self._df_info(ddf), _inference.contrast_matrix(L, names), self.sigma2)

    def conf_int(self, alpha: float = 0.05) -> pd.DataFrame:
        """Wald intervals of the fixed effects at level 1 - ``alpha`` (statsmodels'
        name and argument): :meth:`confint` with ``level=1 - alpha``; the columns are
        named like R's ("2.5 %", "97.5 %")."""
        return self.confint(level=1.0 - float(alpha))

    # ----------------------------------------------------------------- refits
    def _refit_core(self, core: LmmCore, design: Design, reml: bool, starts: list[float]) -> LmmFit:
        t0 = time.perf_counter()
        with core_refusals("new response", self.fe_names):
            result = core.fit(starts, reml=reml)
        t1 = time.perf_counter()
        fit = type(self)(
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
        order of the rows used), reusing the prepared design, its prior weights and its
        offset (lme4's ``refit``)."""
        self._design.need_rows("refit(y)")
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
        fitted_y = arr if d.offset is None else np.ascontiguousarray(arr - d.offset)
        check_response_variation(fitted_y, "new response" if d.offset is None else "new response less its offset")
        core = self._core.with_response(fitted_y, d.x, d.z, d.codes, weights=d.weights)
        return self._refit_core(core, d.with_response(arr), self.reml, self._starts())

    def refit_ml(self) -> LmmFit:
        """This model fitted by maximum likelihood (itself when it already is)."""
        if not self.reml:
            return self
        return self._refit_core(self._core, self._design, False, self._starts())

    def refit_reml(self) -> LmmFit:
        """This model fitted by REML (itself when it already is)."""
        if self.reml:
            return self
        return self._refit_core(self._core, self._design, True, self._starts())

    # ----------------------------------------------------------------- simulation
    def simulate(self, n: int = 1, seed: int | np.random.Generator | None = None) -> np.ndarray:
        """Responses simulated from the fitted model, shape (n, nobs):
        y* = X beta + offset + Z b* + e with b*_i ~ N(0, sigma^2 Lambda Lambda') and
        e_r ~ N(0, sigma^2 / w_r) for prior weights w (1 without). The replicates are
        those :meth:`bootstrap` refits for the same seed."""
        self._design.need_rows("simulate")
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
        self._design.need_rows("bootstrap")
        sizes = [len(t.columns) for t in self._terms]
        groups = [t.group for t in self._terms for _ in t.columns]
        simulator, fit_response = self._simulator(), self._response_fitter()

        def refit(y: np.ndarray) -> tuple[np.ndarray, Any, bool]:
            res = fit_response(y)
            return _bootstrap.param_vector(res, sizes), res["theta"], bool(res["converged"])

        return _bootstrap.bootstrap(
            simulator.draw_many,
            refit,
            names=_bootstrap.param_names(groups, self.re_names, self.fe_names, sizes),
            estimate=_bootstrap.param_vector(self._res, sizes),
            n_theta=self._core.n_theta,
            n=n,
            seed=seed,
            progress=progress,
            level=level,
            width=simulator.width,
        )

    def _response_fitter(self) -> Callable[[np.ndarray], Mapping[str, Any]]:
        """The fit of a new response of this fit's rows by its criterion, from its theta
        (and lme4's start at a singular fit): the core's result, "deviance" its
        criterion. The simulate-and-refit path of :meth:`bootstrap` and of
        :func:`~quorvelkit.results.bootstrap_lrt.pbmodcomp`."""
        d, starts = self._design, self._starts()
        offset = 0.0 if d.offset is None else d.offset  # the core fits the response less the offset

        def fit(y: np.ndarray) -> Mapping[str, Any]:
            return self._core.with_response(y - offset, d.x, d.z, d.codes, weights=d.weights).fit(
                starts, reml=self.reml
            )

        return fit

    def _simulator(self) -> _bootstrap.Simulator:
        beta = np.asarray(self._res["beta"], dtype=float)
        d = self._design
        if not self._several:
            return _bootstrap.Simulator(d, beta, [(d.z, d.codes, d.m, self.lambda_matrix)], self.sigma)
        spans = d.spec.factor_columns()
        codes = d.need_rows("simulate").factor_codes
        lams = self._crossed.factor_lambdas(self.theta)
        factors = [
            (d.z[:, spans[i]], codes[i], len(lv), lams[k])
            for k, (i, lv) in enumerate(zip(self._layout.factor_order, self._levels, strict=True))
        ]
        return _bootstrap.Simulator(d, beta, factors, self.sigma)


def fit_design(
    design: Design,
    core: Any,
    options: FitOptions,
    t0: float,
    t1: float,
    stacklevel: int,
    kind: type[LmmFit] | None = None,
) -> LmmFit:
    """The fit of ``core`` (built at ``t1`` from data read from ``t0`` on) under
    ``options``, as the model ``design`` (a fit of class ``kind``); a
    :class:`SingularFitWarning` on the boundary points ``stacklevel`` frames above the
    caller."""
    result, n_starts = run_core(core, options, f"response '{design.parsed.response}'", design.fe_names)
    t2 = time.perf_counter()
    fit = (kind or LmmFit)(
        design,
        core,
        result,
        n_starts=n_starts,
        fit_seconds=t2 - t1,
        total_seconds=t2 - t0,
        evaluator_requested=options.evaluator,
    )
    if options.theta is None:
        warn_if_singular(fit, stacklevel=stacklevel)
    return fit
