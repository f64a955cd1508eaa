"""The model interface under its original module name: :func:`lmm`, :class:`LmmFit`,
:func:`anova` and the parametric bootstrap, importable from here as they always were
(pickled fits name ``quorvelkit.model.LmmFit``). Each lives in a module of its own:
:mod:`quorvelkit.fitting`, :mod:`quorvelkit.fit`, :mod:`quorvelkit.anova` and
:mod:`quorvelkit.bootstrap`."""

from .anova import AnovaTable, anova
from .bootstrap import BootstrapResult
from .errors import SINGULAR_NOTE, SINGULAR_TOL, PValuesUnavailable, SingularFitWarning
from .fit import LmmFit
from .fitting import lmm

__all__ = [
    "lmm",
    "LmmFit",
    "anova",
    "AnovaTable",
    "BootstrapResult",
    "SINGULAR_TOL",
    "SINGULAR_NOTE",
    "SingularFitWarning",
    "PValuesUnavailable",
]
