"""The first pass of a GLMM fit from batches (:mod:`quorvelkit.sources.glmm_batches`):
what the model needs of all the rows before the core's passes, taken batch by batch
(:meth:`FirstPass.add`), merged across partitions where the batches are on a cluster
(:meth:`FirstPass.merge`, in partition order) and finished on the client
(:meth:`FirstPass.finish`): the group labels sorted as in memory, the rows used, the
fixed-effects columns that are aliased (dropped as in memory) and the start of beta."""

from __future__ import annotations

import dataclasses
from typing import Any

import numpy as np
import pandas as pd

from ..families.family import _MUSTART, DISPERSION_FAMILIES, POWER_FAMILIES, linkfun
from ..model.model_checks import drop_aliased
from ..support.errors import SourceError
from ..support.frames import sorted_levels
from ..support.labels import label_text, split_labels

__all__ = ["FirstPass", "Found"]


@dataclasses.dataclass
class Found:
    """What the first pass found: the group labels (the codes are their positions),
    the kept fixed-effects columns, beta's start (or None) and the rows used and dropped."""

    group_levels: pd.Index
    kept: list[int]
    beta0: np.ndarray | None
    n: int
    n_dropped: int


class FirstPass:
    """The first pass's sums over batches (each with y, x, labels, weights, offset and
    n_dropped as :class:`~quorvelkit.sources.glmm_reading._Batch` holds them). A start
    for beta as in memory (start_beta: least squares of the link of the family's
    starting means on X, the offset taken out), by its normal equations."""

    def __init__(self, p: int, family: str, link: str) -> None:
        self.family, self.link = family, link
        self.uniques: list[pd.Series] = []
        self.xtx, self.xtx_ok = np.zeros((p, p)), np.zeros((p, p))
        self.xte, self.scale = np.zeros(p), np.zeros(p)
        self.n = self.n_dropped = 0

    def add(self, b: Any) -> None:
        self.uniques.append(pd.Series(b.labels[0]).drop_duplicates())  # one grouping factor
        self.xtx += b.x.T @ b.x
        mustart = _MUSTART.get(self.family)
        if mustart is not None:
            with np.errstate(all="ignore"):
                eta = linkfun(mustart(b.y, b.weights), self.link) - (0.0 if b.offset is None else b.offset)
            ok = np.isfinite(eta)
            self.xtx_ok += b.x[ok].T @ b.x[ok]
            self.xte += b.x[ok].T @ eta[ok]
        if len(b.x):
            self.scale = np.maximum(self.scale, np.abs(b.x).max(axis=0))
        self.n += len(b.y)
        self.n_dropped += b.n_dropped

    def merge(self, other: FirstPass) -> FirstPass:
        """This pass's sums followed by ``other``'s (the batches after these)."""
        self.uniques.append(pd.concat(other.uniques, ignore_index=True) if other.uniques else pd.Series([]))
        self.xtx, self.xtx_ok = self.xtx + other.xtx, self.xtx_ok + other.xtx_ok
        self.xte, self.scale = self.xte + other.xte, np.maximum(self.scale, other.scale)
        self.n, self.n_dropped = self.n + other.n, self.n_dropped + other.n_dropped
        return self

    def finish(self, spec: Any, name: str, stacklevel: int) -> Found:
        if self.n == 0:
            raise SourceError(f"{name} has no complete rows in the columns the model uses")
        _, group_levels = sorted_levels(pd.concat(self.uniques, ignore_index=True).drop_duplicates())
        found = split_labels(group_levels) if group_levels.dtype == object else None
        if found is not None:  # one label in two types would be two groups, as in memory
            raise ValueError(
                f"the grouping factor {spec.factors[0].name!r} holds {label_text(found[0])} as a number and "
                f"{label_text(found[1])} as text: one label in two types would be two groups; give the column one type"
            )
        if group_levels.dtype == object and all(isinstance(v, str) for v in group_levels):
            group_levels = group_levels.astype(pd.StringDtype(na_value=np.nan))  # text labels, as a frame holds them
        unit = np.where(self.scale > 0, self.scale, 1.0)
        kept = drop_aliased(self.xtx / np.outer(unit, unit), spec.fe_all, stacklevel=stacklevel + 1)
        beta0 = None
        if _MUSTART.get(self.family) is not None:
            start = np.linalg.lstsq(self.xtx_ok[np.ix_(kept, kept)], self.xte[kept], rcond=None)[0]
            if np.all(np.isfinite(start)):
                # log(phi) and Tweedie's s: glmmTMB's starts.
                extra = int(self.family in DISPERSION_FAMILIES) + int(self.family in POWER_FAMILIES)
                beta0 = np.append(start, [0.0] * extra)
        return Found(group_levels, kept, beta0, self.n, self.n_dropped)
