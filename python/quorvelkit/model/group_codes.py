"""Group labels as codes across batches (:class:`GroupCodes`), and the distinct values
of an integer column met batch after batch (:class:`IntegerValues`). Integer labels
in a range of fewer than ``IntegerValues.LIMIT`` values are coded through a table
indexed by value; other labels are hashed."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

import quorvelkit._quorvelkit as _qk

from ..support.errors import SourceError
from ..support.frames import sorted_levels

__all__ = ["GroupCodes", "IntegerValues"]


#: The largest int64: integer labels above it (uint64) are hashed, never tabled.
INT64_MAX = (1 << 63) - 1


class IntegerValues:
    """The distinct values of an integer column, as a bitmap over their range while
    that stays below 2^27 values of int64 (then add() declines and the caller hashes)."""

    LIMIT = 1 << 27

    def __init__(self) -> None:
        self.lo = 0
        self.seen: np.ndarray | None = None
        self.spilled: np.ndarray | None = None
        self.failed = False

    def add(self, values: np.ndarray) -> bool:
        if self.failed or len(values) == 0:
            return not self.failed
        lo, hi = int(values.min()), int(values.max())
        if self.seen is not None:
            lo, hi = min(lo, self.lo), max(hi, self.lo + len(self.seen) - 1)
        if hi - lo + 1 > self.LIMIT or hi > INT64_MAX:
            # Too wide, or unsigned labels from 2^63 on (no int64 value): the values so
            # far go back to the caller, who hashes from now on.
            self.failed = True
            self.spilled = self.values() if self.seen is not None else None
            self.seen = None
            return False
        if self.seen is None or lo < self.lo or hi >= self.lo + len(self.seen):
            grown = np.zeros(hi - lo + 1, dtype=bool)
            if self.seen is not None:
                grown[self.lo - lo : self.lo - lo + len(self.seen)] = self.seen
            self.seen, self.lo = grown, lo
        self.seen[values - self.lo] = True
        return True

    def values(self) -> np.ndarray:
        assert self.seen is not None
        return (np.flatnonzero(self.seen) + self.lo).astype(np.int64)


def _fits_int64(vals: np.ndarray) -> bool:
    """Whether integer labels all have an int64 value (unsigned ones below 2^63)."""
    return vals.dtype.kind == "i" or (vals.dtype.kind == "u" and int(vals.max()) <= INT64_MAX)


class IntegerHash:
    """Integer labels to codes in order of first appearance through the core's hash
    table (16 bytes a slot, at most three quarters full: about a quarter of a Python
    dict's memory a label). Its labels are signed or unsigned 64-bit, as the first batch's were; a
    batch whose values mean other bits is refused (:meth:`accepts`)."""

    RUN = 1 << 20  # slots read at a time

    def __init__(self, seed: np.ndarray, unsigned: bool) -> None:
        self.unsigned = unsigned
        slots = 1 << max(10, (2 * len(seed)).bit_length())
        self.keys = np.zeros(slots, dtype=np.int64)
        self.slot_codes = np.full(slots, -1, dtype=np.int64)
        self.m = 0
        if len(seed):
            self.code(seed)

    def accepts(self, vals: np.ndarray) -> bool:
        kind = vals.dtype.kind
        if kind not in "iu" or (kind == "u") == self.unsigned or not len(vals):
            return kind in "iu"
        # The other kind: its values must have the same bits in this one's.
        return int(vals.max()) <= INT64_MAX if kind == "u" else int(vals.min()) >= 0

    def code(self, vals: np.ndarray) -> np.ndarray:
        labels = np.ascontiguousarray(vals, dtype=np.uint64 if self.unsigned else np.int64).view(np.int64)
        out = np.empty(len(labels), dtype=np.int64)
        row = 0
        while True:
            row, self.m = _qk.hash_labels(labels, self.keys, self.slot_codes, self.m, out, row)
            if row == len(labels):
                return out
            keys, codes = np.empty(2 * len(self.keys), dtype=np.int64), np.empty(2 * len(self.keys), dtype=np.int64)
            _qk.rehash_labels(self.keys, self.slot_codes, self.m, keys, codes)
            self.keys, self.slot_codes = keys, codes

    def labels(self) -> np.ndarray:
        """The labels in code order (read a run of slots at a time: no array as large
        as the table is made on the way)."""
        out = np.empty(self.m, dtype=np.int64)
        run = self.RUN
        for start in range(0, len(self.keys), run):
            codes = self.slot_codes[start : start + run]
            full = codes >= 0
            out[codes[full]] = self.keys[start : start + run][full]
        return out.view(np.uint64) if self.unsigned else out


class GroupCodes:
    """Group labels to codes across batches. With the levels known beforehand (a first
    pass), codes are their sorted positions; otherwise labels get codes in order of
    first appearance, and the products are put in the order of the sorted labels at the
    end (a permutation, exact). Integer labels in a range of fewer than 2^27 values are
    coded through a table indexed by value, other integer labels through the core's
    hash table (:class:`IntegerHash`), and any other labels through a dict."""

    def __init__(self, levels: pd.Index | None = None) -> None:
        self.fixed = levels is not None
        self.index: pd.Index = levels if levels is not None else pd.Index([])
        # Labels met so far, when they are not all integers in a moderate range.
        self.table: dict | None = None if levels is None else {}
        # Integer labels met so far, when they are too spread out for the table by value.
        self.hash: IntegerHash | None = None
        # The table by value: code of label lo + i at lut[i], -1 for none.
        self.lut: np.ndarray | None = None
        self.lo = 0
        self.n_lut = 0
        if levels is not None and len(levels) and pd.api.types.is_integer_dtype(levels.dtype):
            lo, hi = int(levels.min()), int(levels.max())
            if hi - lo < IntegerValues.LIMIT and hi <= INT64_MAX:
                self.lo = lo
                self.lut = np.full(hi - lo + 1, -1, dtype=np.int64)
                self.lut[levels.to_numpy(np.int64) - lo] = np.arange(len(levels))

    def codes(self, labels: Any, where: str) -> np.ndarray:
        vals = labels.to_numpy() if isinstance(labels, pd.Series) else np.asarray(labels)
        if self.fixed:
            return self._fixed_codes(vals, labels, where)
        if self.table is None:
            if not len(vals):
                return np.zeros(0, dtype=np.int64)
            # Unsigned labels from 2^63 on have no int64 value: those are hashed.
            if self.hash is None and _fits_int64(vals):
                codes = self._table_codes(np.ascontiguousarray(vals, dtype=np.int64))
                if codes is not None:
                    return codes
            if self.hash is None and vals.dtype.kind in "iu":  # from now on by the hash table
                seed = self.levels_in_code_order().to_numpy()
                if vals.dtype.kind == "i" or not len(seed) or int(seed.min()) >= 0:
                    self.hash, self.lut = IntegerHash(seed, vals.dtype.kind == "u"), None
            if self.hash is not None and self.hash.accepts(vals):
                return self.hash.code(vals)
            # other labels: from now on by a dict
            self.table = {v: k for k, v in enumerate(self.levels_in_code_order().tolist())}
            self.hash = None
        local, uniques = pd.factorize(pd.Series(vals) if vals.dtype == object else vals, sort=False)
        table = self.table
        glob = np.fromiter((table.setdefault(u, len(table)) for u in uniques), dtype=np.int64, count=len(uniques))
        return glob[local]

    def _fixed_codes(self, vals: np.ndarray, labels: Any, where: str) -> np.ndarray:
        if self.lut is not None and len(vals) and _fits_int64(vals):
            off = vals.astype(np.int64, copy=False) - self.lo
            if ((off >= 0) & (off < len(self.lut))).all():
                codes = np.take(self.lut, off)
                if (codes >= 0).all():
                    return codes
        series = labels if isinstance(labels, pd.Series) else pd.Series(vals)
        codes = np.asarray(self.index.get_indexer(pd.Index(series)), dtype=np.int64)
        if (codes < 0).any():
            bad = series[codes < 0].iloc[0]
            raise SourceError(
                f"the group label {bad!r} in {where} was not in the source's first pass "
                f"(did the data change while it was read?)"
            )
        return codes

    def _table_codes(self, vals: np.ndarray) -> np.ndarray | None:
        """Codes through the table by value, grown to the batch's range when it does
        not cover it; None when the range would exceed the limit."""
        if self.lut is not None:
            coded = _qk.code_labels(vals, self.lut, self.lo, self.n_lut)
            if coded is not None:
                codes, self.n_lut = coded
                return codes
        lo, hi = int(vals.min()), int(vals.max())
        if self.lut is not None:
            lo, hi = min(lo, self.lo), max(hi, self.lo + len(self.lut) - 1)
        if hi - lo + 1 > IntegerValues.LIMIT:
            return None
        grown = np.full(hi - lo + 1, -1, dtype=np.int64)
        if self.lut is not None:
            grown[self.lo - lo : self.lo - lo + len(self.lut)] = self.lut
        self.lut, self.lo = grown, lo
        coded = _qk.code_labels(vals, self.lut, self.lo, self.n_lut)
        assert coded is not None  # the table covers the batch's range now
        codes, self.n_lut = coded
        return codes

    @property
    def m(self) -> int:
        if self.fixed:
            return len(self.index)
        if self.table is not None:
            return len(self.table)
        return self.n_lut if self.hash is None else self.hash.m

    def sorted_order(self, release: bool = False) -> tuple[np.ndarray, Callable[[], pd.Index]]:
        """The codes of the labels met in the order of the sorted labels (as
        :func:`quorvelkit.lmm` orders levels), and a function giving those labels. With
        ``release`` the tables are dropped as soon as they are read (see
        :meth:`release`), so that they and the arrays made from them are not all held
        at once; labels in a table by value are then kept as one bit a value of their
        range until asked for."""
        if self.table is None and self.lut is not None:
            # The table is indexed by value: its entries in order are the codes of the
            # labels in sorted order.
            met = self.lut >= 0
            codes = self.lut[met]
            size, lo = len(met), self.lo
            bits = np.packbits(met)
            del met
            if release:
                self.release()

            def labels() -> pd.Index:
                values = np.flatnonzero(np.unpackbits(bits, count=size).view(bool))
                values += lo  # the labels, in place
                return pd.Index(values, copy=False)

            return codes, labels
        if self.table is None and self.hash is not None:
            found = self.hash.labels()
            if release:
                self.release()
            order = np.argsort(found, kind="stable")
            levels = pd.Index(found[order], copy=False)
            return order, lambda: levels
        known = self.levels_in_code_order()
        if release:
            self.release()
        codes, levels = sorted_levels(known)
        return np.argsort(codes), lambda: levels

    def release(self) -> None:
        """Drops the tables of labels (as large as the labels' range, or one entry a
        group): every batch is coded and the order taken, nothing more is asked."""
        self.lut = None
        self.table = None
        self.hash = None

    def levels_in_code_order(self) -> pd.Index:
        if self.fixed:
            return self.index
        known: pd.Index
        if self.table is not None:
            known = pd.Index(list(self.table.keys()))
            return known
        if self.hash is not None:
            known = pd.Index(self.hash.labels())
            return known
        if self.lut is None:
            return pd.Index(np.zeros(0, dtype=np.int64))
        order = np.empty(self.n_lut, dtype=np.int64)
        met = self.lut >= 0
        order[self.lut[met]] = np.flatnonzero(met) + self.lo
        return pd.Index(order)
