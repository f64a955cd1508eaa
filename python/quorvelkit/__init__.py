"""Linear mixed models, with crossed and nested random effects: exact, fast and reproducible.

:func:`lmm` fits a model written in lme4's notation, e.g.
``quorvelkit.lmm("Reaction ~ Days + (Days | Subject)", data)``, and returns an
:class:`LmmFit` with lme4's results (fixed effects, variance components, random effects,
criteria, predictions, refits, a parametric bootstrap) and lmerTest's inference
(Satterthwaite's t and F tests), profile-likelihood intervals and prediction intervals.
:func:`anova` compares nested fits by likelihood-ratio tests; :mod:`quorvelkit.plot`
draws a fit (with the optional extra ``[plot]``, matplotlib).

The compiled core, :class:`LmmCore`, reduces the rows of a model once to per-group
cross-products and then evaluates the profiled REML or ML criterion, its analytic
gradient and every derived quantity at any ``theta``, on all cores, with results
that are bit-identical for any number of threads.
"""

from importlib import resources

import pandas as pd

# _openblas first: it loads the library the extension links.
from . import _openblas, plot  # noqa: F401
from ._quorvelkit import LmmCore, __version__
from .anova import AnovaTable, anova
from .bootstrap import BootstrapResult
from .crossed import CrossedFit
from .errors import (
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
from .estimate import lmm
from .fit import LmmFit
from .fit_options import FitOptions
from .glmm import glmm
from .glmm_fit import GlmmFit
from .inference import ContrastResult, FTestTable
from .profile import ProfileResult

__all__ = [
    "LmmCore",
    "__version__",
    "lmm",
    "glmm",
    "anova",
    "LmmFit",
    "CrossedFit",
    "GlmmFit",
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


def load_sleepstudy() -> pd.DataFrame:
    """The bundled sleepstudy data (Belenky et al. 2003) as a pandas DataFrame with
    columns Reaction, Days and Subject."""
    with resources.files(__package__).joinpath("data/sleepstudy_data.csv").open("r") as fh:
        return pd.read_csv(fh)
