"""A GLMM fitted from rows read in batches (:func:`quorvelkit.sources.glmm_batches.glmm_batches`):
:class:`GlmmBatchFit`, a :class:`~quorvelkit.results.glmm_fit.GlmmFit` that keeps no rows
and no core. Its estimates, standard errors, variance components, conditional modes,
log-likelihood and predictions on new data are the in-memory fit's, and so are its
profiles, whose every evaluation of the criterion passes over the batches again (the
source is read again: it must still be there); what needs the rows (fitted values,
residuals, the deviance, simulation, refits) is refused with
:class:`~quorvelkit.RowsUnavailable`, as for a linear model fitted from batches."""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np
import pandas as pd

import quorvelkit._quorvelkit as _qk

from ..model.design import Design
from .bootstrap import BootstrapResult
from .glmm_fit import GlmmFit

__all__ = ["GlmmBatchFit", "BatchCriterion"]


class BatchCriterion:
    """The criterion of a fit from batches at other points, as a core gives it to the
    fit's profiles (``criterion`` and ``gradient``): each evaluation passes over the
    batches ``read()`` yields (as the fit's core read them), its PIRLS from the last
    evaluation's modes. ``make(read)`` makes the compiled criterion, at the first
    evaluation (``read`` None: a criterion whose passes run elsewhere, on a cluster's
    workers). ``laplace`` is the fit's definition of the approximation ("observed" or
    "fisher"), as a core names its own. ``release``, when given, lets go of what its
    passes keep between them (see :meth:`release`)."""

    def __init__(
        self,
        read: Callable[[], Any] | None,
        make: Callable[[Any], Any],
        laplace: str,
        release: Callable[[], None] | None = None,
    ) -> None:
        self._read, self._make, self._release = read, make, release
        self.laplace = laplace
        self._handle: Any = None
        self.passes = 0  # the passes its evaluations made

    def release(self) -> None:
        """Lets go of what the evaluations keep between them beyond the compiled
        criterion (a cluster's partitions kept on its workers), which the next
        evaluation keeps again."""
        if self._release is not None:
            self._release()

    def _evaluate(self, theta: Any, beta: Any, gradient: bool) -> tuple[float, Any]:
        if self._handle is None:
            self._handle = self._make(self._read)
        f, g, self.passes = _qk.glmm_batches_evaluate(
            self._handle, np.asarray(theta, dtype=float), np.asarray(beta, dtype=float), gradient=gradient
        )
        return float(f), g

    def criterion(self, theta: Any, beta: Any, nagq: int = 1) -> float:
        if nagq != 1:
            raise ValueError(f"the criterion from batches is Laplace's (nagq = 1), not nagq = {nagq}")
        return self._evaluate(theta, beta, False)[0]

    def gradient(self, theta: Any, beta: Any, nagq: int = 1) -> tuple[float, np.ndarray]:
        if nagq != 1:
            raise ValueError(f"the criterion from batches is Laplace's (nagq = 1), not nagq = {nagq}")
        f, g = self._evaluate(theta, beta, True)
        return f, np.asarray(g, dtype=float)


class GlmmBatchFit(GlmmFit):
    """A GLMM fitted from batches (see the module). :attr:`passes` counts the passes
    over the batches the fit made (also in :attr:`optimizer`)."""

    rows_kept = False

    def __init__(
        self,
        design: Design,
        result: Mapping[str, Any],
        *,
        formula: str,
        seconds: tuple[float, float] = (math.nan, math.nan),
        criterion: BatchCriterion | None = None,
    ) -> None:
        # The criterion stands in for the core the profiles evaluate (a pickle drops it).
        super().__init__(
            design, criterion, result, formula=formula, trials=None, prior_weights=np.empty(0), seconds=seconds
        )

    @property
    def passes(self) -> int:
        """Passes over the batches: the first (labels, rows, aliased columns) and the
        core's (row checks, PIRLS steps, gradients, the Hessian's differences)."""
        return int(self._res["passes"])

    @property
    def laplace(self) -> str:
        return str(self._res["laplace"])

    @property
    def core(self) -> Any:
        """A fit from batches keeps no core: ``RowsUnavailable``."""
        self._design.no_rows("the compiled core (to evaluate the criterion at other parameters)")

    def _profiler(self, ml: bool) -> Any:
        if self._core is None:
            raise ValueError(
                "profiles of a GLMM fitted from batches read its source again, which this fit cannot: it was "
                "loaded from a pickle, or fitted on a cluster by a model its workers' passes do not take; "
                "refit it (in memory, or from Parquet or a list of DataFrames) to profile it"
            )
        return super()._profiler(ml)

    def _let_go(self) -> None:
        if isinstance(self._core, BatchCriterion):
            self._core.release()

    def confint(self, *args: Any, **kwargs: Any) -> pd.DataFrame:
        """As :meth:`~quorvelkit.results.mixed_fit.MixedFit.confint`; a fit on a cluster
        keeps its partitions on the workers for a profile's passes while it runs only."""
        try:
            return super().confint(*args, **kwargs)
        finally:
            self._let_go()

    def profile(self, *args: Any, **kwargs: Any) -> Any:
        """As :meth:`~quorvelkit.results.mixed_fit.MixedFit.profile`; a fit on a cluster
        keeps its partitions on the workers for its passes while it runs only."""
        try:
            return super().profile(*args, **kwargs)
        finally:
            self._let_go()

    @property
    def optimizer(self) -> dict[str, Any]:
        # Where the core's passes read the batches: "memory", "spill" or "source".
        return {**super().optimizer, "passes": self.passes, "kept": str(self._res.get("kept", ""))}

    # What needs the rows.
    @property
    def response(self) -> pd.Series:
        self._design.no_rows("the response")

    @property
    def trials(self) -> pd.Series | None:
        self._design.no_rows("the trials")

    @property
    def weights(self) -> pd.Series:
        self._design.no_rows("the prior weights")

    @property
    def linear_predictor(self) -> pd.Series:
        self._design.no_rows("the linear predictor of the rows")

    @property
    def fitted(self) -> pd.Series:
        self._design.no_rows("fitted values")

    fittedvalues = fitted

    def residuals(self, type: str = "deviance") -> pd.Series:
        self._design.no_rows("residuals")

    resid = residuals

    @property
    def deviance(self) -> float:
        self._design.no_rows("the deviance (a sum over the rows)")

    @property
    def overdispersion(self) -> dict[str, float] | None:
        self._design.no_rows("Pearson's chi^2 of overdispersion")

    def simulate(self, n: int = 1, seed: int | np.random.Generator | None = None) -> np.ndarray:
        self._design.no_rows("simulate")

    def bootstrap(
        self, n: int, seed: int | None = None, level: float = 0.95, progress: bool | None = None
    ) -> BootstrapResult:
        self._design.no_rows("bootstrap")
