"""The store of the core's batches between passes (quorvelkit.sources.batch_store): kept in
memory, spilled to a temporary file read back bit for bit, or read from the source at
every pass; a first pass cut short keeps nothing; a spill that cannot be written is
dropped for the source."""

import itertools
import os

import numpy as np
import pytest

from quorvelkit.sources import batch_store
from quorvelkit.sources.batch_store import BatchStore
from quorvelkit.sources.glmm_reading import by_group_span


def items(n_batches: int = 4) -> list[tuple]:
    """Batches as the core reads them: vectors, matrices (one of no columns), int64
    codes, and an offset that is absent in some."""
    rng = np.random.default_rng(5)
    out = []
    for k in range(n_batches):
        n = 3 + 2 * k
        out.append(
            (
                rng.normal(size=n),
                rng.normal(size=(n, 3)),
                np.empty((n, 0)),
                rng.integers(0, 9, n, dtype=np.int64),
                np.ones(n),
                None if k % 2 else rng.normal(size=n),
            )
        )
    return out


def counted(batches: list[tuple]):
    calls = itertools.count()

    def read():
        next(calls)
        return iter(batches)

    return read, calls


def same_array(u, v) -> bool:
    if u is None or v is None:
        return u is None and v is None
    return u.dtype == v.dtype and u.shape == v.shape and u.tobytes() == v.tobytes()


def same(a: list[tuple], b: list[tuple]) -> bool:
    return len(a) == len(b) and all(
        len(x) == len(y) and all(same_array(u, v) for u, v in zip(x, y, strict=True)) for x, y in zip(a, b, strict=True)
    )


@pytest.mark.parametrize(
    "memory, spill, where, source_reads",
    [
        (1 << 20, True, "memory", 1),  # fits: kept in memory
        (0, True, "spill", 1),  # beyond memory: spilled to the system's temporary directory
        (200, "tmp", "spill", 1),  # some kept in memory, then all spilled to the directory given
        (0, False, "source", 3),  # no spill: the source at every pass
    ],
)
def test_passes_give_the_source_batches(memory, spill, where, source_reads, tmp_path):
    batches = items()
    read, calls = counted(batches)
    store = BatchStore(read, memory, str(tmp_path) if spill == "tmp" else spill)
    for _ in range(3):
        assert same(list(store()), batches)
    assert store.where == where
    assert next(calls) == source_reads
    assert (store.spilled_bytes > 0) == (where == "spill")
    if spill == "tmp":  # unnamed: nothing left in the directory
        assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("memory, where", [(1 << 20, "memory"), (0, "spill")])
def test_a_first_pass_cut_short_keeps_nothing(memory, where):
    batches = items()
    read, calls = counted(batches)
    store = BatchStore(read, memory, True)
    first = store()
    next(first), next(first)
    first.close()  # the core stopped after two batches (an error, an interrupt)
    assert store.where == "source"
    assert same(list(store()), batches) and store.where == where
    assert same(list(store()), batches)
    assert next(calls) == 2


def test_a_spill_that_does_not_fit_falls_back_to_the_source(monkeypatch):
    batches = items()
    read, calls = counted(batches)
    # A disk with room for the first batch only, beyond the margin.
    room = batch_store.SPILL_MARGIN + sum(a.nbytes for a in batches[0] if a is not None)
    monkeypatch.setattr(batch_store.shutil, "disk_usage", lambda _: batch_store.shutil._ntuple_diskusage(room, 0, room))
    store = BatchStore(read, 0, True)
    for _ in range(3):
        assert same(list(store()), batches)
    assert store.where == "source" and next(calls) == 3


@pytest.mark.parametrize(
    "spill, error, text", [("/no/such/dir", FileNotFoundError, "no such directory"), (3, TypeError, "got int")]
)
def test_bad_spill_options(spill, error, text):
    with pytest.raises(error, match=text):
        BatchStore(lambda: iter(()), 0, spill)


@pytest.mark.parametrize("memory, where", [(0, "spill"), (1 << 20, "memory")])
def test_a_spill_in_order_gives_each_span_of_groups_in_turn(memory, where):
    # Codes 0..8 in spans of 4: every pass after the first gives the rows of span 0,
    # then 1, then 2, each span's in the source's order, joined into items of at most
    # the largest source item's rows and never across items with and without an
    # offset. Kept in memory, the store keeps the source's order.
    batches = items(6)
    store = BatchStore(counted(batches)[0], memory, True, by_group_span(4))
    assert same(list(store()), batches) and store.where == where
    later = list(store())
    if where == "memory":
        assert same(later, batches)
        return
    most = max(len(b[0]) for b in batches)
    assert all(0 < len(b[0]) <= most for b in later)
    for with_offset in (True, False):
        source = [b for b in batches if (b[5] is not None) == with_offset]
        replayed = [b for b in later if (b[5] is not None) == with_offset]
        codes = np.concatenate([b[3] for b in source])
        at = np.argsort(codes // 4, kind="stable")
        for j in (0, 1, 2, 3, 4, 5):
            if with_offset or j != 5:
                want = np.concatenate([b[j] for b in source])[at]
                assert same_array(np.concatenate([b[j] for b in replayed]), want), j
