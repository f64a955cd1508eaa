"""The core's batches kept between passes of a fit that reads them many times (a GLMM
from batches): :class:`BatchStore`.

A pass that reads the source again pays for the source's decoding and for the model
matrices of every batch, some hundred times what the core's kernel takes of the same
rows; a fit makes a hundred passes or more. The first pass therefore keeps the arrays
the core reads (y, X, Z, the codes, the weights and the offset of each batch): in
memory while they take at most ``memory`` bytes, else in an unnamed temporary file (a
"spill") that later passes read back, batch by batch, into fresh arrays. The file is
the operating system's to cache: on a machine with room its pages stay in memory
outside the process, and a pass costs a copy of the bytes; the process holds only
the batches under way. The file is gone when the store is (or the process ends).

A spill may be written in another order than the source's (``order``): each item is
cut into keyed pieces, and the later passes read the pieces by key (the items' order
within a key), joined into items of at most the largest source item's rows. A
one-factor fit keys its rows by span of groups, so that a pass takes one span's groups
at a time while their sums stay in cache.

A first pass cut short (an error, an interrupt) keeps nothing; the next pass reads the
source again and tries once more. A spill that cannot be written (the disk full,
more than the disk's free space less a margin) is dropped, and every pass reads the
source, as with ``spill=False``.
"""

from __future__ import annotations

import os
import shutil
import tempfile
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np

from .batch_loop import read_ahead

__all__ = ["BatchStore", "SPILL_MARGIN"]

# The free space a spill leaves on its disk.
SPILL_MARGIN = 1 << 30

Item = tuple[Any, ...]  # arrays or None
# An order of a spill: an item's rows cut into pieces, each with its key.
Order = Callable[[Item], list[tuple[int, Item]]]
# Where one piece of the spill is: its key, its bytes' offset, and each array's dtype
# and shape (None for an absent array).
Piece = tuple[int, int, list[tuple[str, tuple[int, ...]] | None]]


class BatchStore:
    """The items ``read()`` yields (tuples of arrays or None), kept by the first pass
    that reads them all, in memory up to ``memory`` bytes, else spilled to a temporary
    file in ``spill`` (a directory; True: the system's temporary directory; False:
    none, every pass reads the source). Calling the store gives one pass's items: the
    source's, or (from a spill written in ``order``) the pieces of every item by key,
    joined. Items of rows (their first dimension) only where ``order`` is given."""

    def __init__(
        self,
        read: Callable[[], Iterator[Item]],
        memory: int,
        spill: bool | str | os.PathLike = True,
        order: Order | None = None,
    ) -> None:
        if not (isinstance(spill, (bool, str, os.PathLike))):
            raise TypeError(f"spill must be True, False or a directory, got {type(spill).__name__}")
        if isinstance(spill, (str, os.PathLike)) and not os.path.isdir(spill):
            raise FileNotFoundError(f"spill: no such directory: {str(spill)!r}")
        self._read, self._memory = read, int(memory)
        self._spill_dir: str | None = (
            None if spill is False else tempfile.gettempdir() if spill is True else os.fspath(spill)
        )
        self._order = order
        self._kept: list[Item] | None = None
        self._file: Any = None
        self._layout: list[Piece] = []
        self._rows = 0  # the most rows of an item the spill was written from
        self._spill_failed = False  # a spill that could not be written is not tried again

    @property
    def where(self) -> str:
        """Where the batches are: "memory", "spill", or "source" (read at every pass)."""
        return "memory" if self._kept is not None else "spill" if self._file is not None else "source"

    @property
    def spilled_bytes(self) -> int:
        """The bytes of the spill file (0 without one)."""
        return 0 if self._file is None else int(os.fstat(self._file.fileno()).st_size)

    def __call__(self) -> Iterator[Item]:
        if self._kept is not None:
            return iter(self._kept)
        if self._file is not None:
            return read_ahead(self._replay(self._file))
        return self._first()

    def _first(self) -> Iterator[Item]:
        kept: list[Item] | None = []
        size = 0
        spill: _Spill | None = None
        for item in self._read():
            size += sum(a.nbytes for a in item if a is not None)
            if kept is not None and size > self._memory:
                if self._spill_dir is not None and not self._spill_failed:
                    spill = _Spill.open(self._spill_dir, self._order)
                    for done in kept:
                        spill = spill.add(done) if spill is not None else None
                    self._spill_failed = spill is None
                kept = None
            if kept is not None:
                kept.append(item)
            elif spill is not None:
                spill = spill.add(item)
                self._spill_failed = spill is None
            yield item
        # The whole pass was read: what it kept serves the next ones.
        if kept is not None:
            self._kept = kept
        elif spill is not None:
            try:
                spill.file.flush()  # the later passes read the file itself, not its buffer
            except OSError:  # the disk filled: the source, as without a spill
                spill.file.close()
                self._spill_failed = True
                return
            self._file, self._layout, self._rows = spill.file, spill.layout, spill.rows

    def _replay(self, f: Any) -> Iterator[Item]:
        # Reads at explicit offsets (pread), not at the file's position: a pass abandoned
        # part-way (its reader thread still finishing a batch) cannot move the next one's.
        fd = f.fileno()
        if self._order is None:
            for _, at, shapes in self._layout:
                yield _read_joined(fd, [(at, shapes)])
            return
        # The pieces by key (a stable sort: the items' order within a key), joined while
        # they share their arrays' kinds and hold at most the largest item's rows.
        run: list[tuple[int, list[Any]]] = []
        rows = 0
        for _, at, shapes in sorted(self._layout, key=lambda piece: piece[0]):
            n = _rows_of(shapes)
            if run and (rows + n > self._rows or _kinds(run[0][1]) != _kinds(shapes)):
                yield _read_joined(fd, run)
                run, rows = [], 0
            run.append((at, shapes))
            rows += n
        if run:
            yield _read_joined(fd, run)


def _rows_of(shapes: list[Any]) -> int:
    return next((shape[1][0] for shape in shapes if shape is not None), 0)


def _kinds(shapes: list[Any]) -> list[Any]:
    """The arrays' dtypes and shapes but their rows: pieces of one kind can be joined."""
    return [None if shape is None else (shape[0], shape[1][1:]) for shape in shapes]


def _read_into(fd: int, at: int, arrays: list[Any]) -> None:
    """Fills the arrays (None: none) from the spill's bytes at ``at``, in turn."""
    for a in arrays:
        if a is None:
            continue
        if a.nbytes and os.preadv(fd, [a.data.cast("B")], at) != a.nbytes:
            raise OSError("the spill file of the batches ended early")
        at += a.nbytes


def _read_joined(fd: int, run: list[tuple[int, list[Any]]]) -> Item:
    """The pieces of ``run`` (offset, shapes) read from the spill: one piece's arrays
    as they were written, several pieces' joined along their rows."""
    if len(run) == 1:
        at, shapes = run[0]
        out = [None if shape is None else np.empty(shape[1], np.dtype(shape[0])) for shape in shapes]
        _read_into(fd, at, out)
        return tuple(out)
    total = sum(_rows_of(shapes) for _, shapes in run)
    out = [None if shape is None else np.empty((total, *shape[1][1:]), np.dtype(shape[0])) for shape in run[0][1]]
    start = 0
    for at, shapes in run:
        n = _rows_of(shapes)
        _read_into(fd, at, [None if a is None else a[start : start + n] for a in out])
        start += n
    return tuple(out)


class _Spill:
    """A spill being written: its file, each item's arrays' dtype and shape, and the
    bytes it may still take."""

    def __init__(self, file: Any, room: int, order: Order | None) -> None:
        self.file, self.room, self.order = file, room, order
        self.layout: list[Piece] = []
        self.at = 0  # the bytes written
        self.rows = 0  # the most rows of an item

    @staticmethod
    def open(directory: str, order: Order | None = None) -> _Spill | None:
        try:
            room = shutil.disk_usage(directory).free - SPILL_MARGIN
            return _Spill(tempfile.TemporaryFile(dir=directory), room, order) if room > 0 else None
        except OSError:
            return None

    def add(self, item: Item) -> _Spill | None:
        """Writes the item (its pieces in ``order``); None (the file closed and dropped)
        when it does not fit."""
        if self.order is not None:
            self.rows = max(self.rows, next((len(a) for a in item if a is not None), 0))
        for key, piece in [(0, item)] if self.order is None else self.order(item):
            arrays = [None if a is None else np.ascontiguousarray(a) for a in piece]
            need = sum(a.nbytes for a in arrays if a is not None)
            if need > self.room:
                self.file.close()
                return None
            try:
                for a in arrays:
                    if a is not None and a.nbytes:
                        self.file.write(a.data.cast("B"))
            except OSError:
                self.file.close()
                return None
            self.room -= need
            self.layout.append((key, self.at, [None if a is None else (a.dtype.str, a.shape) for a in arrays]))
            self.at += need
        return self
