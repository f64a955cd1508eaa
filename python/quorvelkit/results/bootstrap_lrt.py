"""The parametric bootstrap likelihood-ratio test between nested models (pbkrtest's
``PBmodcomp``; Halekoh & Hojsgaard 2014, J. Stat. Softw. 59(9), sec. 4): responses are
drawn from the smaller model's fit, both models are refitted to each, and the observed
statistic 2 (logLik_large - logLik_small) is referred to the replicates' statistics.
Linear mixed models are compared by maximum likelihood (REML fits are refitted by ML
first, as pbkrtest does), GLMMs by their fits' criterion. The draws and refits are the
parametric bootstrap's own (:func:`~quorvelkit.results.bootstrap.bootstrap`): one
random stream, the same replicates for a seed, a progress bar."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from .anova import anova
from .bootstrap import bootstrap
from .glmm_bootstrap import glmm_response_fitter
from .glmm_fit import GlmmFit
from .lmm_fit import LmmFit
from .pvalues import chi2_upper, f_upper

__all__ = ["PBResult", "pbmodcomp", "summarize"]

#: The tests of the reference distribution, and their columns (pbkrtest's).
TESTS = ["LRT", "PBtest", "Gamma", "Bartlett", "F"]
COLUMNS = ["stat", "df", "ddf", "p.value"]


def _gamma_upper(x: float, shape: float, scale: float) -> float:
    """The upper tail of the gamma distribution (scipy.special's, as scipy.stats
    computes it, without importing scipy.stats)."""
    from scipy.special import gammaincc

    return float(gammaincc(shape, x / scale))


def summarize(tobs: float, ndf: float, ref: np.ndarray) -> tuple[pd.DataFrame, dict[str, float]]:
    """pbkrtest's tests of the observed statistic ``tobs`` (``ndf`` parameters apart)
    against the reference ``ref``, of which only the positive values count (a refit
    that did not reach the larger model's optimum gives a statistic at or below zero):

    * LRT: chi-square on ``ndf`` df;
    * PBtest: (1 + #{ref > tobs}) / (1 + #positive);
    * Gamma: the gamma distribution with the reference's mean E and variance V;
    * Bartlett: ndf tobs / E, chi-square on ``ndf`` df;
    * F: tobs / ndf against F(ndf, d) with pbkrtest's d = 2 E / (E - 1), whose F has
      the mean E (so for one df the F that tobs / ndf has in the mean; a reference
      of mean below 1 leaves no d and no p-value).

    Returns the table (rows :data:`TESTS`, columns :data:`COLUMNS`) and the moments."""
    ref = np.asarray(ref, dtype=float)
    pos = ref[ref > 0]
    n_extreme = int(np.sum(pos > tobs))
    e, v = float(np.mean(pos)), float(np.var(pos, ddof=1))
    scale, shape = v / e, e * e / v
    bartlett = ndf * tobs / e
    ddf = 2.0 * e / (e - 1.0)
    f = tobs / ndf
    rows = [
        [tobs, ndf, np.nan, chi2_upper(tobs, ndf)],
        [tobs, np.nan, np.nan, (1.0 + n_extreme) / (1.0 + pos.size)],
        [tobs, np.nan, np.nan, _gamma_upper(tobs, shape, scale)],
        [bartlett, ndf, np.nan, chi2_upper(bartlett, ndf)],
        [f, ndf, ddf, f_upper(f, ndf, ddf) if ddf > 0 else np.nan],
    ]
    moments = {"mean": e, "var": v, "n_extreme": n_extreme, "npos": int(pos.size)}
    return pd.DataFrame(rows, index=TESTS, columns=COLUMNS), moments


@dataclass(eq=False, repr=False)
class PBResult:
    """The result of :func:`pbmodcomp`.

    Attributes:
        test: pbkrtest's table of ``summary(PBmodcomp(...))``: rows "LRT", "PBtest",
            "Gamma", "Bartlett", "F"; columns "stat", "df", "ddf", "p.value".
        ref: the replicates' statistics (the reference distribution).
        tobs: the observed statistic, and ``ndf`` the parameters between the models.
        converged: whether both refits of each replicate converged.
        seed: the seed (pass it again to repeat the run); ``seconds`` its wall time.
        formula_large, formula_small: the models compared.
    """

    test: pd.DataFrame
    ref: np.ndarray
    tobs: float
    ndf: int
    converged: np.ndarray
    seed: int
    seconds: float
    formula_large: str
    formula_small: str

    @property
    def p_value(self) -> float:
        """The bootstrap p-value (the "PBtest" row)."""
        return float(self.test.at["PBtest", "p.value"])  # type: ignore[arg-type]

    def __repr__(self) -> str:
        npos = int(np.sum(self.ref > 0))
        head = f"Bootstrap test; time: {self.seconds:.2f} sec; samples: {self.ref.size}; "
        head += f"extremes: {int(np.sum(self.ref[self.ref > 0] > self.tobs))};"
        lines = [head]
        if npos < self.ref.size:
            lines.append(f"Requested samples: {self.ref.size} Used samples: {npos}")
        lines += [f"large : {self.formula_large}", f"small : {self.formula_small}"]
        lines.append(self.test.to_string(float_format=lambda v: f"{v:.6g}", na_rep=""))
        return "\n".join(lines)


def pbmodcomp(
    large: Any, small: Any, nsim: int = 1000, seed: int | None = None, progress: bool | None = None
) -> PBResult:
    """The parametric bootstrap test of ``small`` against ``large``, two nested models
    fitted to the same rows (both :class:`~quorvelkit.LmmFit` or both
    :class:`~quorvelkit.GlmmFit`, in memory), pbkrtest's ``PBmodcomp(large, small,
    nsim)``: ``nsim`` responses drawn from the smaller model's (ML) fit, each refitted
    by both models from their estimates (see :class:`PBResult` for the tests).

    ``seed`` seeds numpy's ``default_rng`` (``None``: a fresh seed, kept in the
    result); ``progress`` shows a progress bar (``None``: on a terminal, for runs longer
    than about a second). ``ValueError`` where the models have as many parameters, were
    fitted to other rows, or are of different classes."""
    fits = (large, small)
    if not (all(isinstance(f, LmmFit) for f in fits) or all(isinstance(f, GlmmFit) for f in fits)):
        raise TypeError("pbmodcomp compares two LmmFit or two GlmmFit models")
    for f in fits:
        f._design.need_rows("pbmodcomp")
    ml = [f.refit_ml() if isinstance(f, LmmFit) else f for f in fits]
    if ml[0].n_params == ml[1].n_params:
        raise ValueError("the two models have as many parameters: they are not nested")
    if ml[0].n_params < ml[1].n_params:  # pbkrtest's order: the larger first
        ml.reverse()
        fits = fits[::-1]
    anova(*ml, refit=False)  # the same rows, response and prior weights, or a ValueError
    key = "m2loglik" if isinstance(ml[0], GlmmFit) else "deviance"
    refits = [glmm_response_fitter(f) if isinstance(f, GlmmFit) else f._response_fitter() for f in ml]
    tobs = float(ml[1].criterion - ml[0].criterion)
    ndf = int(ml[0].n_params - ml[1].n_params)

    def refit(y: np.ndarray) -> tuple[np.ndarray, np.ndarray, bool]:
        a, b = refits[0](y), refits[1](y)
        return np.array([float(b[key]) - float(a[key])]), np.empty(0), bool(a["converged"] and b["converged"])

    small_ml = ml[1]
    if isinstance(small_ml, GlmmFit):
        draw, width = (lambda rng, k: small_ml.simulate(k, seed=rng)), small_ml.nobs
    else:
        simulator = small_ml._simulator()
        draw, width = simulator.draw_many, simulator.width
    run = bootstrap(
        draw,
        refit,
        names=["LRT"],
        estimate=np.array([tobs]),
        n_theta=0,
        n=nsim,
        seed=seed,
        progress=progress,
        level=0.95,
        width=width,
    )
    ref = run.replicates["LRT"].to_numpy()
    table, _ = summarize(tobs, ndf, ref)
    return PBResult(
        test=table,
        ref=ref,
        tobs=tobs,
        ndf=ndf,
        converged=run.converged,
        seed=run.seed,
        seconds=run.seconds,
        formula_large=fits[0].formula,
        formula_small=fits[1].formula,
    )
