"""Generalized linear mixed models of binomial and Poisson responses: :func:`glmm`,
written as lme4's ``glmer(formula, data, family, nAGQ)``, the entry point of the one fit
(:func:`~quorvelkit.fitting.model_fit.fit_model`) for a :class:`~quorvelkit.fitting.glmm_model.GlmmModel`,
fitted by the compiled GLMM core and returned as a :class:`~quorvelkit.results.glmm_fit.GlmmFit`."""

from __future__ import annotations

import difflib
from typing import Any

import numpy as np

from ..families.family import parse_family
from ..fitting.glmm_model import MAX_NODES, GlmmModel
from ..fitting.model_fit import fit_model
from ..model.fit_options import FitOptions
from ..results.glmm_fit import GlmmFit
from ..sources import glmm_batches as batches
from ..sources.registry import source_for
from ..support.frames import to_frame
from ..support.heavy_imports import load_for_fit

__all__ = ["glmm", "check_family", "check_nagq", "MAX_NAGQ", "MAX_NODES"]

#: lme4's largest number of quadrature points per dimension.
MAX_NAGQ = 25
_OPTIONS = (
    "family", "link", "nagq", "weights", "offset", "subset", "theta", "beta", "max_iter", "laplace", "zi",
    "batch_rows", "levels", "cache_bytes", "spill", "progress", "split_every", "persist", "cache",
)  # fmt: skip
#: glmmTMB's ziformula of no inflation and of a constant probability.
_NO_ZI, _CONSTANT_ZI = ("~0", "0", "~ 0"), ("~1", "1", "~ 1")
#: The information in the Laplace approximation's determinant.
LAPLACE = ("fisher", "observed")
#: glmer's arguments that are spelt otherwise here, or mean nothing here.
_R_NAMES = {"nAGQ": "nagq", "start": "theta= and beta", "control": "max_iter", "REML": None}


def check_family(family: Any, link: Any) -> tuple[str, str]:
    """(family, link) by R's names, the family's canonical link when ``link`` is None;
    ``ValueError`` for one quorvelkit does not fit (R's spellings as
    :func:`~quorvelkit.families.family.parse_family` reads them)."""
    return parse_family(family, link)


def check_nagq(nagq: Any) -> int:
    """The number of quadrature points per dimension: an integer from 0 to 25 (lme4's
    range); 0 and 1 are Laplace's approximation (0 with beta inside the modes' iteration)."""
    if isinstance(nagq, (bool, np.bool_)) or not isinstance(nagq, (int, np.integer)):
        raise TypeError(f"nagq must be an integer from 0 to {MAX_NAGQ}, got {nagq!r}")
    if not 0 <= int(nagq) <= MAX_NAGQ:
        raise ValueError(f"nagq must be an integer from 0 to {MAX_NAGQ} (lme4's limit), got {int(nagq)}")
    return int(nagq)


def _zero_inflation(zi: Any) -> str | None:
    """``zi`` (glmmTMB's ``ziformula``) as the one-sided formula of the zero-inflation's
    fixed effects ("~1": a constant probability), or None for none."""
    if zi is None or (isinstance(zi, str) and zi.strip() in _NO_ZI):
        return None
    if not isinstance(zi, str) or not zi.strip().startswith("~") or "|" in zi:
        raise ValueError(
            f"zi must be a one-sided formula of fixed effects, such as '~1' (a constant zero-inflation "
            f"probability) or '~ spp + mined', or '~0' (none), got {zi!r}"
        )
    return "~1" if zi.strip() in _CONSTANT_ZI else zi.strip()


#: glmmTMB's arguments that are spelt otherwise here, or models not fitted here.
_TMB_NAMES = {
    "ziformula": "glmmTMB's ziformula= is zi= here",
    "dispformula": "a model of the dispersion (glmmTMB's dispformula=) is not fitted here: the dispersion is "
    "one parameter of the family, estimated with the rest",
}


def _unknown(kwargs: dict[str, Any]) -> TypeError:
    name = next(iter(kwargs))
    if name in _TMB_NAMES:
        hint = f"; {_TMB_NAMES[name]}"
    elif name in _R_NAMES:
        alias = _R_NAMES[name]
        hint = f"; glmer's {name}= is {alias}= here" if alias else f"; {name}= has no meaning for a GLMM"
    else:
        close = difflib.get_close_matches(name, _OPTIONS, n=1)
        hint = f"; did you mean {close[0]}=?" if close else ""
    return TypeError(f"glmm() got an unexpected keyword argument '{name}'{hint}")


def glmm(
    formula: str,
    data: Any,
    family: str = "binomial",
    link: str | None = None,
    nagq: int = 1,
    weights: Any = None,
    offset: Any = None,
    *,
    subset: Any = None,
    theta: Any = None,
    beta: Any = None,
    laplace: str | None = None,
    zi: str | None = None,
    **kwargs: Any,
) -> GlmmFit:
    """Fit a generalized linear mixed model written in lme4's notation (lme4's
    ``glmer(formula, data, family, nAGQ = nagq)``).

    Args:
        formula: e.g. ``"cbind(incidence, size - incidence) ~ period + (1 | herd)"``,
            ``"use ~ age + urban + (1 | district)"`` or ``"y ~ x + offset(log(t)) + (1 + x
            | g)"``; the right-hand side as :func:`quorvelkit.lmm` takes it (vector-valued
            and ``||`` terms; crossed and nested factors by Laplace's approximation).
        data: a pandas DataFrame or anything pandas can turn into one; or rows read in
            batches, never held whole (:mod:`quorvelkit.sources.glmm_batches`): a
            Parquet file or directory, a pyarrow dataset, a Dask or Spark DataFrame
            (each pass reduced on the workers for one grouping factor by Laplace,
            the partitions read here at each pass otherwise), a list of DataFrames or
            a callable returning a fresh iterator of DataFrames at each call (an
            iterator is refused: the fit reads its rows once per pass). Such a fit is the
            in-memory fit (a zero-inflation of a constant probability only, its start
            taking one pass more where the batches are not kept in memory; one grouping
            factor by Laplace, nagq = 0, or a quadrature of one scalar random effect;
            several crossed or nested with a random intercept each by Laplace) and keeps
            no rows: a :class:`~quorvelkit.results.glmm_batch_fit.GlmmBatchFit`. Its
            keyword options ``batch_rows`` (rows per Parquet batch) and ``levels``
            (declared levels of categorical columns) are those of :func:`quorvelkit.lmm`'s
            batches; ``cache_bytes`` bounds the memory that keeps the batches between
            passes, ``spill`` where they go beyond it (a temporary file; False: the
            source is read at every pass) and ``progress`` shows a bar of the passes;
            ``split_every``, ``persist`` (Dask) and ``cache`` (Spark) shape the merge on
            the workers and keep the partitions there (see
            :func:`~quorvelkit.sources.glmm_batches.glmm_batches`).
        family: "binomial", "poisson", "nbinom2" (negative binomial, variance mu +
            mu^2 / theta, glmer.nb's), "nbinom1" (variance mu (1 + phi)), "Gamma",
            "gaussian" (with its log or inverse link: a GLMM fitted by maximum
            likelihood), "inverse.gaussian", "beta" (proportions in (0, 1)),
            "betabinomial" or "truncated_poisson" (counts of at least 1), in R's and
            glmmTMB's spellings too: any case, R's call with the link inside
            (``"binomial(link = 'probit')"``, ``"poisson()"``,
            ``"Gamma(link = 'log')"``), or a family object
            (``quorvelkit.families.nbinom2()``;
            :func:`~quorvelkit.families.family.parse_family`). The dispersion
            parameter of the families with one is estimated with the rest, as glmmTMB
            defines it (:attr:`GlmmFit.sigma`). A binomial response is 0/1 numbers or
            booleans, a factor (its first level is the failure, as in R),
            ``cbind(successes, failures)``, or proportions with ``weights`` giving the
            trials; a Poisson response is counts (see
            :mod:`quorvelkit.families.response`).
        link: "logit" (binomial's default), "probit" or "cloglog"; "log" for Poisson.
        nagq: points per dimension of the adaptive Gauss-Hermite quadrature of each
            group's integral, 0 to 25. 1 (the default) is Laplace's approximation; 0
            is Laplace's with beta found within the conditional modes' iteration (a
            faster, rougher fit, as glmer's nAGQ = 0). Above 1 the rule is the product
            rule of nagq points per random effect, centred at the group's conditional
            mode and scaled by the Cholesky factor of its conditional covariance:
            nagq^q nodes per group for q random effects (glmer takes only q = 1), at
            most 10000; one grouping factor only, as in lme4.
        weights: prior weights, a column name or one number per row (the trials of a
            binomial proportion).
        offset: a known part of the linear predictor, a column name or one number per
            row, added to the formula's ``offset()`` terms.
            ``weights`` and ``offset`` may also be expressions of the columns, as
            glmer's ``offset = log(expected)`` (``offset="log(expected)"``), evaluated
            as a formula term is.
        subset: the rows to fit, as glmer's ``subset``: an expression of the columns
            or one boolean per row (see :func:`quorvelkit.lmm`).
        theta, beta: a start for the optimiser (lme4's layout of theta).
        laplace: the information in the Laplace approximation's log-determinant:
            "fisher", the expected information at the conditional modes (lme4's glmer
            and glmer.nb), or "observed", the Hessian of the integrand (glmmTMB's:
            Laplace's approximation proper). The two agree at a canonical link
            (binomial's logit, Poisson's log); elsewhere their log-likelihoods differ
            by a little (0.08 on Mmmec's negative binomial). None (the default) takes
            "fisher" for binomial and Poisson, whose fits then are lme4's, and
            "observed" for the other families, whose reference fits are glmmTMB's
            (nbinom1, beta, betabinomial and truncated_poisson have no closed-form
            expected information and take only "observed").
        zi: zero-inflation, as glmmTMB's ``ziformula``: ``"~1"`` for a constant
            probability of a structural zero, or a formula of fixed effects such as
            ``"~ spp + mined"`` for its logit (one grouping factor), estimated with the
            rest (for poisson, nbinom2 and nbinom1; with a truncated family it is a
            hurdle model, the probability of a zero); None or ``"~0"`` for none. Only
            the observed information defines its Laplace approximation. From batches,
            ``"~1"`` only.
        max_iter: the optimiser's iteration limit (keyword only; by default
            :class:`~quorvelkit.model.fit_options.FitOptions`'s). With ``max_iter=0`` the model is
            evaluated, not fitted: every parameter given is kept, and the fit reports
            -2 log-likelihood, modes and fitted values at that point (lme4's deviance
            function at ``c(theta, beta)``).

    Returns:
        :class:`~quorvelkit.results.glmm_fit.GlmmFit`.

    Raises:
        ValueError: an unknown family or link, a response outside its family's support
            (naming the first bad value and its row), ``nagq`` out of range or with
            several grouping factors or too many nodes, and the refusals of
            :func:`quorvelkit.lmm` for the rest of the model.
        TypeError: an argument ``glmm`` does not take, or ``nagq`` not an integer.

    Warns :class:`~quorvelkit.NonIntegerResponseWarning` where R warns of counts that
    are not whole, :class:`~quorvelkit.SingularFitWarning` for a boundary fit and
    :class:`~quorvelkit.ConvergenceWarning` when the optimiser does not converge (the
    fit's :attr:`~GlmmFit.converged` is then False).
    """
    load_for_fit()
    batch_options: dict[str, Any] = {
        k: kwargs.pop(k)
        for k in ("batch_rows", "levels", "cache_bytes", "spill", "progress", "split_every", "persist", "cache")
        if k in kwargs
    }
    # max_iter is a fit option, declared once (FitOptions); theta is its start.
    iterations = {"max_iter": kwargs.pop("max_iter")} if "max_iter" in kwargs else {}
    if kwargs:
        raise _unknown(kwargs)
    family, link = check_family(family, link)
    nagq = check_nagq(nagq)
    if laplace is not None and laplace not in LAPLACE:
        raise ValueError(f"laplace must be 'fisher' or 'observed', got {laplace!r}")
    zero_inflated = _zero_inflation(zi)
    if batches.accepts(data) or source_for(data) is not None:
        return _from_batches(
            formula,
            data,
            family,
            link,
            nagq,
            weights,
            offset,
            subset,
            theta,
            beta,
            laplace,
            zero_inflated,
            iterations,
            batch_options,
        )
    model = GlmmModel(
        family,
        link,
        nagq,
        formula,
        beta=beta,
        weights_column=weights if isinstance(weights, str) else None,
        offset_column=offset if isinstance(offset, str) else None,
        laplace=laplace,
        zi_formula=zero_inflated,
    )
    options = FitOptions(starts=theta, **iterations)
    fit: GlmmFit = fit_model(formula, to_frame(data), options, model, weights=weights, offset=offset, subset=subset)
    return fit


def _from_batches(
    formula: str,
    data: Any,
    family: str,
    link: str,
    nagq: int,
    weights: Any,
    offset: Any,
    subset: Any,
    theta: Any,
    beta: Any,
    laplace: str | None,
    zi: str | None,
    iterations: dict[str, Any],
    batch_options: dict[str, Any],
) -> GlmmFit:
    """The fit of data read in batches (:mod:`quorvelkit.sources.glmm_batches`), or the
    reason it cannot be made so."""
    if not batches.accepts(data):
        raise ValueError(
            f"glmm() reads {type(data).__name__} in batches only for a GLMM of a Parquet file or directory, a "
            "pyarrow dataset, a Dask or Spark DataFrame, a list of DataFrames or a callable returning an iterator of "
            "them; "
            "collect it to a DataFrame to fit it in memory"
        )
    if zi is not None and zi != "~1":
        raise ValueError(
            f"a GLMM fit from batches takes a zero-inflation of a constant probability (zi='~1'), not zi={zi!r}: "
            "its covariates' columns are not read from the batches; fit it in memory"
        )
    refused = [
        what
        for what, given in (
            ("subset=", subset is not None),
            ("a start for beta", beta is not None),
        )
        if given
    ]
    if refused:
        raise ValueError(f"a GLMM fit from batches does not take {', '.join(refused)}: fit it in memory")
    return batches.glmm_batches(
        formula,
        data,
        family,
        link,
        weights=weights,
        offset=offset,
        laplace=laplace,
        theta=theta,
        nagq=nagq,
        zi=zi is not None,
        **iterations,
        **batch_options,
    )
