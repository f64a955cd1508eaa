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

from ..families.family import _MUSTART, DISPERSION_FAMILIES, POWER_FAMILIES, excess_zeros_logit, linkfun
from ..model.model_checks import drop_aliased
from ..support.errors import SourceError
from ..support.frames import sorted_levels
from ..support.labels import label_text, split_labels

__all__ = ["FirstPass", "Found", "add_labels", "mustart_of", "zero_counts", "zero_inflation_logit"]


def mustart_of(family: str, inflated: bool) -> Any:
    """The family's starting means as start_beta takes them (None: beta starts at zero);
    a zero-inflated model's are its positive counts' (the zeros' links are not finite,
    and drop out of the least squares)."""
    return _MUSTART.get("truncated_poisson" if inflated else family)


def add_labels(found: list[pd.Series], labels: Any) -> None:
    """Adds a batch's distinct labels (or a partition's, a series) to ``found``, the
    distinct labels of each batch so far in the order met. Whenever it holds more than
    twice the labels of its first series (and some 65,000 more), it is merged into one
    series of distinct labels: what it holds stays within about twice the factor's
    levels, where a batch each would hold some 60% of the rows of a factor of as many
    levels as rows, a gigabyte at 100M rows. The levels found at the end are the same."""
    found.append(pd.Series(labels).drop_duplicates(ignore_index=True))
    if len(found) > 1 and sum(len(s) for s in found) > 2 * len(found[0]) + (1 << 16):
        found[:] = [pd.concat(found, ignore_index=True).drop_duplicates(ignore_index=True)]


def zero_counts(batches: Any, beta: np.ndarray) -> np.ndarray:
    """The rows' zeros, those a Poisson of the means at beta's start expects, and the
    rows, over the core's batches ``(y, x, z, codes, weights, offset)``: a partition's
    share of a constant zero-inflation's start (added over partitions in their order)."""
    out = np.zeros(3)
    for b in batches:
        y, x, offset = b[0], b[1], b[5]
        eta = x @ beta + (0.0 if offset is None else offset)
        out += [float(np.sum(y == 0)), float(np.sum(np.exp(-np.exp(eta)))), len(y)]
    return out


def zero_inflation_logit(counts: np.ndarray) -> float:
    """The start of a constant zero-inflation's logit as in memory (zero_inflation_start)
    from the rows' :func:`zero_counts`."""
    zeros, expected, n = counts
    return excess_zeros_logit((zeros - expected) / max(n, 1.0))


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

    def __init__(self, p: int, family: str, link: str, zi: bool = False) -> None:
        self.family, self.link, self.zi = family, link, zi
        self.uniques: list[pd.Series] = []
        self.xtx, self.xtx_ok = np.zeros((p, p)), np.zeros((p, p))
        self.xte, self.scale = np.zeros(p), np.zeros(p)
        self.n = self.n_dropped = 0

    def add(self, b: Any) -> None:
        add_labels(self.uniques, b.labels[0])  # one grouping factor
        self.xtx += b.x.T @ b.x
        mustart = mustart_of(self.family, self.zi)
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
        add_labels(self.uniques, pd.concat(other.uniques, ignore_index=True) if other.uniques else pd.Series([]))
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
        if mustart_of(self.family, self.zi) is not None:
            start = np.linalg.lstsq(self.xtx_ok[np.ix_(kept, kept)], self.xte[kept], rcond=None)[0]
            if np.all(np.isfinite(start)):
                # log(phi) and Tweedie's s: glmmTMB's starts (a zero-inflation's logit
                # is its caller's, from zero_counts).
                extra = int(self.family in DISPERSION_FAMILIES) + int(self.family in POWER_FAMILIES)
                beta0 = np.append(start, [0.0] * extra)
        return Found(group_levels, kept, beta0, self.n, self.n_dropped)
