"""A GLMM fitted from rows read in batches (:func:`quorvelkit.sources.glmm_batches.glmm_batches`):
:class:`GlmmBatchFit`, a :class:`~quorvelkit.results.glmm_fit.GlmmFit` that keeps no rows
and no core. Its estimates, standard errors, variance components, conditional modes,
log-likelihood and predictions on new data are the in-memory fit's; what needs the
rows (fitted values, residuals, the deviance, simulation, refits) is refused with
:class:`~quorvelkit.RowsUnavailable`, as for a linear model fitted from batches."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd

from ..model.design import Design
from .bootstrap import BootstrapResult
from .glmm_fit import GlmmFit

__all__ = ["GlmmBatchFit"]


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
    ) -> None:
        super().__init__(design, None, result, formula=formula, trials=None, prior_weights=np.empty(0), seconds=seconds)

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
        self._design.no_rows("a profile (each of its points refits the model)")

    @property
    def optimizer(self) -> dict[str, Any]:
        return {**super().optimizer, "passes": self.passes}

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
