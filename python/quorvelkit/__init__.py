"""Linear mixed models, with crossed and nested random effects: exact, fast and reproducible.

:func:`lmm` fits a model written in lme4's notation, e.g.
``quorvelkit.lmm("Reaction ~ Days + (Days | Subject)", data)``, and returns an
:class:`LmmFit` with lme4's results (fixed effects, variance components, random effects,
criteria, predictions, refits, a parametric bootstrap) and lmerTest's inference
(Satterthwaite's t and F tests), profile-likelihood intervals and prediction intervals.
:func:`anova` compares nested fits by likelihood-ratio tests; :mod:`quorvelkit.results.plot`
draws a fit (with the optional extra ``[plot]``, matplotlib).

The compiled core, :class:`LmmCore`, reduces the rows of a model once to per-group
cross-products and then evaluates the profiled REML or ML criterion, its analytic
gradient and every derived quantity at any ``theta``, on all cores, with results
that are bit-identical for any number of threads.
"""

# _openblas first: it loads the library the extension links.
from . import _openblas  # noqa: F401
from ._quorvelkit import LmmCore, __version__
from .api.glmm import glmm
from .api.lmm import lmm
from .model.fit_options import FitOptions
from .results import plot
from .results.anova import AnovaTable, anova
from .results.bootstrap import BootstrapResult
from .results.bootstrap_lrt import PBResult, pbmodcomp
from .results.crossed_fit import CrossedFit
from .results.glmm_fit import GlmmFit
from .results.inference import ContrastResult, FTestTable
from .results.lmm_fit import LmmFit
from .results.profile import ProfileResult
from .results.structured_fit import StructuredFit
from .support.datasets import load_sleepstudy
from .support.errors import (
    ConvergenceWarning,
    DroppedRowsWarning,
    FormulaError,
    NearSeparationWarning,
    NonIntegerResponseWarning,
    QuadratureCostWarning,
    RankDeficiencyWarning,
    ResponseLevelsWarning,
    RowsUnavailable,
    SingularFitWarning,
    SourceError,
)

__all__ = [
    "LmmCore",
    "__version__",
    "lmm",
    "glmm",
    "anova",
    "pbmodcomp",
    "PBResult",
    "LmmFit",
    "CrossedFit",
    "GlmmFit",
    "StructuredFit",
    "BootstrapResult",
    "AnovaTable",
    "ContrastResult",
    "FTestTable",
    "ProfileResult",
    "plot",
    "FormulaError",
    "RankDeficiencyWarning",
    "SingularFitWarning",
    "ConvergenceWarning",
    "DroppedRowsWarning",
    "QuadratureCostWarning",
    "NearSeparationWarning",
    "NonIntegerResponseWarning",
    "ResponseLevelsWarning",
    "SourceError",
    "RowsUnavailable",
    "FitOptions",
    "load_sleepstudy",
]
