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


class BatchStore:
    """The items ``read()`` yields (tuples of arrays or None), kept by the first pass
    that reads them all, in memory up to ``memory`` bytes, else spilled to a temporary
    file in ``spill`` (a directory; True: the system's temporary directory; False:
    none, every pass reads the source). Calling the store gives one pass's items."""

    def __init__(self, read: Callable[[], Iterator[Item]], memory: int, spill: bool | str | os.PathLike = True) -> None:
        if not (isinstance(spill, (bool, str, os.PathLike))):
            raise TypeError(f"spill must be True, False or a directory, got {type(spill).__name__}")
        if isinstance(spill, (str, os.PathLike)) and not os.path.isdir(spill):
            raise FileNotFoundError(f"spill: no such directory: {str(spill)!r}")
        self._read, self._memory = read, int(memory)
        self._spill_dir: str | None = (
            None if spill is False else tempfile.gettempdir() if spill is True else os.fspath(spill)
        )
        self._kept: list[Item] | None = None
        self._file: Any = None
        self._layout: list[list[tuple[str, tuple[int, ...]] | None]] = []
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
                    spill = _Spill.open(self._spill_dir)
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
            self._file, self._layout = spill.file, spill.layout

    def _replay(self, f: Any) -> Iterator[Item]:
        # Reads at explicit offsets (pread), not at the file's position: a pass abandoned
        # part-way (its reader thread still finishing a batch) cannot move the next one's.
        fd, at = f.fileno(), 0
        for entry in self._layout:
            out: list[Any] = []
            for shape in entry:
                if shape is None:
                    out.append(None)
                    continue
                a = np.empty(shape[1], dtype=np.dtype(shape[0]))
                if a.nbytes and os.preadv(fd, [a.data.cast("B")], at) != a.nbytes:
                    raise OSError("the spill file of the batches ended early")
                at += a.nbytes
                out.append(a)
            yield tuple(out)


class _Spill:
    """A spill being written: its file, each item's arrays' dtype and shape, and the
    bytes it may still take."""

    def __init__(self, file: Any, room: int) -> None:
        self.file, self.room = file, room
        self.layout: list[list[tuple[str, tuple[int, ...]] | None]] = []

    @staticmethod
    def open(directory: str) -> _Spill | None:
        try:
            room = shutil.disk_usage(directory).free - SPILL_MARGIN
            return _Spill(tempfile.TemporaryFile(dir=directory), room) if room > 0 else None
        except OSError:
            return None

    def add(self, item: Item) -> _Spill | None:
        """Writes the item; None (the file closed and dropped) when it does not fit."""
        arrays = [None if a is None else np.ascontiguousarray(a) for a in item]
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
        self.layout.append([None if a is None else (a.dtype.str, a.shape) for a in arrays])
        return self
