"""What quorvelkit raises and warns, and how it words the errors of formulaic and of the
compiled core for the user."""

from __future__ import annotations

import contextlib
import re
from collections.abc import Iterator, Sequence

__all__ = [
    "FormulaError",
    "RankDeficiencyWarning",
    "SingularFitWarning",
    "DroppedRowsWarning",
    "ConvergenceWarning",
    "SourceError",
    "RowsUnavailable",
    "SINGULAR_TOL",
    "SINGULAR_NOTE",
    "EXACT_FIT",
]

#: A diagonal entry of Lambda below this is "at zero" (lme4's ``isSingular`` tolerance).
SINGULAR_TOL = 1e-4

SINGULAR_NOTE = "boundary (singular) fit: a random-effect variance (or a linear combination) is estimated at zero"

#: The core's message for a response that the fixed effects fit exactly.
EXACT_FIT = "the fixed effects fit the response exactly"

_ANSI = re.compile(r"\x1b\[[0-9;]*m|⧛|⧚")


class FormulaError(ValueError):
    """A formula that cannot be read, or that uses notation quorvelkit does not support."""


class RankDeficiencyWarning(UserWarning):
    """Aliased fixed-effects columns were dropped from the model matrix."""


class DroppedRowsWarning(UserWarning):
    """More than a small share of the rows were dropped for a missing value (the fit's
    ``n_dropped`` counts them): the warning names the columns that caused it, and where
    a text column has missing values, says that pandas' ``read_csv`` reads strings such
    as 'None' and 'N/A' as missing by default."""


class NonIntegerResponseWarning(UserWarning):
    """A binomial response whose successes (or counts of ``cbind()``) or a Poisson
    response whose counts are not whole numbers: R's ``glm`` and ``glmer`` fit such
    data with the same warning."""


class ResponseLevelsWarning(UserWarning):
    """A binomial factor response with more than two levels: as R's ``glm`` and
    ``glmer`` read it (silently), its first level is a failure and every other level a
    success."""


class NearSeparationWarning(UserWarning):
    """A binomial GLMM whose fitted probabilities reach 0 or 1 numerically, or whose
    random-effect standard deviation runs off beyond what the data can identify: some
    combination of the effects predicts responses exactly, and estimates tied to it are
    unreliable (as glm's "fitted probabilities numerically 0 or 1 occurred")."""


class QuadratureCostWarning(UserWarning):
    """An adaptive quadrature fit estimated to take longer than a user would wait:
    the estimate and the ``nagq`` that would bring it within a minute are named."""


class SingularFitWarning(UserWarning):
    """An optimised fit is on the boundary: a random-effect variance, or a linear
    combination of the random effects, is estimated at zero (lme4's "boundary
    (singular) fit"). Filter it like any warning, e.g.
    ``warnings.simplefilter("ignore", qk.SingularFitWarning)``."""


class ConvergenceWarning(UserWarning):
    """The optimiser of a fit stopped without converging (its gradient is not small at
    a minimum): the estimates are where it stopped, and the fit says so
    (``fit.converged`` is False, the report names the optimiser's message)."""


def clean_message(exc: BaseException) -> str:
    """First line of an exception's message, with terminal colour codes removed."""
    text = _ANSI.sub("", str(exc)).strip()
    return text.splitlines()[0].strip() if text else type(exc).__name__


def exact_fit_error(exc: RuntimeError, name: str, fe_names: Sequence[str]) -> ValueError | None:
    """The user's error for the core's refusal of a response that the fixed effects fit
    exactly (its residuals are zero to rounding error, so sigma has no positive
    estimate), or ``None`` when ``exc`` is another failure."""
    if EXACT_FIT not in str(exc):
        return None
    return ValueError(
        f"the fixed effects ({', '.join(fe_names)}) fit the {name} exactly (its "
        f"residuals are zero to rounding error): there is no residual variation to "
        f"estimate the variance components from"
    )


@contextlib.contextmanager
def core_refusals(response: str, fe_names: Sequence[str]) -> Iterator[None]:
    """Turns the core's refusal of a response that the fixed effects fit exactly into
    the user's ``ValueError``, and any other "theta is infeasible" at every start into
    a ``RuntimeError`` saying so; the core's own error is the cause."""
    try:
        yield
    except RuntimeError as e:
        exact = exact_fit_error(e, response, fe_names)
        if exact is not None:
            raise exact from e
        raise RuntimeError("theta is infeasible at every start: the model cannot be estimated from these data") from e


class SourceError(ValueError):
    """A source that cannot be fitted: a missing column, a level of a categorical
    column that the model's levels lack, a value that is not finite or whose square
    overflows.
    The message names the column and, where it can, the file, batch or partition.
    Raised before any fit: nothing is fitted from part of the data."""


class RowsUnavailable(AttributeError):
    """Raised by what needs the rows of a model fitted from batches (fitted values,
    residuals, the response, refits with a new response, simulation, the bootstrap):
    such a model keeps only the products of its rows (see ``LmmFit.rows_kept``)."""
