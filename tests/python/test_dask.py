"""The Dask route on a distributed LocalCluster of worker processes: agreement with the
in-memory fit for several partitionings, the same bits on 1 and 2 workers, and bad
partitions refused before any fit, named."""

import numpy as np
import pandas as pd
import pytest
from batchdata import (
    CASES,
    SIM,
    SLEEP,
    as_text,
    assert_agree,
    bits,
    case,
    in_memory,
    on,
    require,
    simulated,
    six_batches,
)

import quorvelkit as qk
from quorvelkit.sources.batch_loop import SourceError

dd = require("dask.dataframe")
dask = require("dask")
distributed = require("distributed")
import quorvelkit.sources.dask as qdask  # noqa: E402

# (case, its partitionings, the one also fitted on 1 worker; crossed and nested models among them)
AGREEMENT = [("sleepstudy", (1, 3, 7), 3), ("simulated", (2, 6), 6), *((c, (1, 3, 8), 3) for c in sorted(CASES)),
             ("pastes", (7,), 7), pytest.param("users_items", (8,), 0, marks=pytest.mark.slow)]  # fmt: skip


@pytest.mark.parametrize("name, parts, both", AGREEMENT)
def test_dask_agrees_with_the_in_memory_fit_on_1_and_2_workers(name, parts, both, clusters):
    frame, formula, weights = case(name)
    ref = in_memory(formula, frame, weights)
    for npart in parts:
        ddf = dd.from_pandas(frame, npartitions=npart, sort=False)
        fit = lambda n, ddf=ddf: on(clusters[n], lambda: qdask.lmm(formula, ddf, weights=weights, split_every=2))  # noqa: E731
        fits = {n: fit(n) for n in ((1, 2) if npart == both else (2,))}
        assert_agree(ref, fits[2])
        # The same partitioning: the same tree of merges, the same bits whatever the number of workers.
        assert npart != both or bits(fits[1]) == bits(fits[2]), npart
    # qk.lmm hands a Dask DataFrame to this route.
    ddf = dd.from_pandas(frame, npartitions=3, sort=False)
    assert_agree(ref, on(clusters[2], lambda: qk.lmm(formula, ddf, weights=weights)))


def _thirds(frame):
    return [frame.iloc[k * len(frame) // 3 : (k + 1) * len(frame) // 3] for k in range(3)]


def _small(n=3000, m=300, seed=5):
    rng = np.random.default_rng(seed)
    g, x = rng.integers(0, m, n), rng.normal(size=n)
    y = 1 + 2 * x + rng.normal(size=m)[g] + 0.7 * rng.normal(size=m)[g] * x + rng.normal(size=n)
    return [pd.DataFrame({"y": y, "x": x, "g": g}).iloc[i * 500 : (i + 1) * 500] for i in range(6)]


def _from_frames(frames):
    """A Dask DataFrame whose partitions are ``frames`` as they are (types included)."""
    return dd.from_delayed([dask.delayed(f) for f in frames], meta=frames[-1].iloc[:0], verify_meta=False)


def _sleep(**columns):
    s, row = qk.load_sleepstudy(), np.arange(180)
    return _thirds(s.assign(**{k: v(s, row) for k, v in columns.items()}))


def _typo(p):
    p = p[1].astype({"x": object})
    p.loc[612, "x"] = "1O0"
    return p


WEIGHTS = np.random.default_rng(3).uniform(0.5, 2.0, 180)
SITE = "Reaction ~ Days + site + (1 | Subject)"
SITES = _sleep(site=lambda s, r: np.where((r >= 60) & (r < 120), "b", "a"))
DASK_TEXT = r"the group column 'g' holds (\d+) as a number \(partition 4 of the Dask DataFrame holds numbers\) and "
PARTITION = "partition {} of the Dask DataFrame"
NO_X = [p.assign(x=np.nan) for p in _small()]
# (case, its partitions, formula, options, the refusal or None: the in-memory fit of the rows)
DASK_CASES = [
    ("prior weights, zeros left out", _sleep(w=lambda s, r: np.where(np.isin(r, [7, 90]), 0.0, WEIGHTS)), SLEEP,
     {"weights": "w"}, None),
    ("a negative weight", _sleep(w=lambda s, r: np.where(r == 150, -2.0, WEIGHTS)), SLEEP, {"weights": "w"},
     r"the weights column 'w' .* holds -2.0 in " + PARTITION.format(2)),
    ("rows without a group label: dropped", _sleep(Subject=lambda s, r: s.Subject.astype(float).where(r % 50 != 7)),
     SLEEP, {}, None),
    ("a square that overflows", _sleep(Reaction=lambda s, r: s.Reaction.where(r != 130, 1e200)), SLEEP, {},
     r"the response column 'Reaction' has a value whose square, or the sum of squares so far, overflows in "
     + PARTITION.format(2)),
    ("a level not declared", SITES, SITE, {"levels": {"site": ["a"]}},
     "inconsistent categorical levels in " + PARTITION.format(1) + ": column 'site' has 'b'"),
    # partitions 0 and 2 hold it, the first the model is planned from
    ("a level not declared in the first partition", SITES, SITE, {"levels": {"site": ["b"]}},
     "of the Dask DataFrame: column 'site' has 'a'"),
    ("a column missing", _thirds(qk.load_sleepstudy().drop(columns="Days")), SLEEP, {},
     "column 'Days' not found in the Dask DataFrame"),
    # The model is learnt from the first complete rows, wherever they are.
    ("five empty partitions first", [_small()[0].iloc[:0]] * 5 + _small(), "y ~ x + (x | g)", {}, None),
    ("the first partition without x", [NO_X[0], *_small()[1:]], "y ~ x + (x | g)", {}, None),
    ("complete rows only in the sixth partition", [*NO_X[:5], _small()[5]], "y ~ x + (x | g)", {}, None),
    # a first partition longer than the sample, without a complete row, and complete rows in the next
    ("a long first partition without x", [pd.concat(NO_X[:3]), pd.concat(_small()[3:])], "y ~ x + (x | g)", {}, None),
    ("no complete row", NO_X, "y ~ x + (x | g)", {}, "the Dask DataFrame has no complete row"),
    # Text in a column of numbers: refused on the worker that reads the partition, naming the column, the
    # partition and the row (never a dead worker, never a factor of its values).
    ("numbers as text", [*_small()[:4], _small()[4].assign(x=_small()[4].x.map(str)), _small()[5]],
     "y ~ x + (x | g)", {}, r"'x' holds numbers stored as text \(such as '[-0-9.e]+' in row 2000 of partition 4"),
    ("text in a column of numbers", [_small()[0], _typo(_small()), *_small()[2:]], "y ~ x + (x | g)", {},
     "column 'x' is not numeric: '1O0' in row 612 of " + PARTITION.format(1)),
    # Integer labels, then the same as text (and a typo): refused naming both partitions, never two groups of
    # one label. The first merge to meet both is that of partitions 4 and 5 (the tree's shape is fixed).
    *((f"a label in two types, {f}", [*six_batches()[:5], as_text(six_batches()[5], "typo")], f, {"split_every": 2},
       DASK_TEXT + r"'\1' as text \(partition 5 of the Dask DataFrame holds text\)")
      for f in ("y ~ x + (1 | g)", "y ~ x + (1 | g) + (1 | h)")),
]  # fmt: skip


@pytest.mark.parametrize("case, frames, formula, options, refusal", DASK_CASES, ids=[c[0] for c in DASK_CASES])
def test_dask_partitions_fit_as_their_rows_or_are_refused_by_name(case, frames, formula, options, refusal, clusters):
    """Each case is the in-memory fit of its rows (zero weights and missing values left
    out and counted), or refused naming the partition Dask numbers, before any fit."""
    fit = lambda: on(clusters[2], lambda: qdask.lmm(formula, _from_frames(frames), **options))  # noqa: E731
    if refusal is not None:
        with pytest.raises(SourceError, match=refusal):
            fit()
        return
    ref = qk.lmm(formula, pd.concat(frames), **options)
    got = fit()
    assert_agree(ref, got)
    assert got.n_zero_weight == ref.n_zero_weight


# A Dask DataFrame read from Parquet: its fragments reduced from Arrow on the workers.

pq = require("pyarrow.parquet")
parquet_partitions = qdask.parquet_partitions


def _write(frame, path, row_groups):
    """``frame`` as one Parquet file of ``row_groups`` row groups of equal size."""
    pq.write_table(
        pa_table(frame), path, row_group_size=-(-len(frame) // row_groups), use_dictionary=False, write_statistics=True
    )


def pa_table(frame):
    import pyarrow as pa

    return pa.Table.from_pandas(frame, preserve_index=False)


@pytest.fixture(scope="module")
def sim_files(tmp_path_factory):
    """The simulated design (20,000 groups, rows shuffled) as one file of 8 row groups
    and as a directory of two files of 3 and 5 row groups."""
    df = simulated(20_000, seed=4)
    root = tmp_path_factory.mktemp("sim")
    _write(df, root / "one.parquet", 8)
    (root / "dir").mkdir()
    cut = len(df) * 3 // 8
    _write(df.iloc[:cut], root / "dir" / "a.parquet", 3)
    _write(df.iloc[cut:], root / "dir" / "b.parquet", 5)
    return df, root


def _arrow(ddf):
    """``ddf``, which the Arrow route must take."""
    assert parquet_partitions(ddf) is not None
    return ddf


@pytest.mark.parametrize("formula", [SIM, "y ~ x1 + x2 + (x1 | g)"])  # a first pass, and integer labels as they come
def test_dask_parquet_fragments_agree_and_keep_their_bits_on_1_and_2_workers(formula, sim_files, clusters):
    df, root = sim_files
    ref = qk.lmm(formula, df)
    for npart, split in [(1, 8), (3, 3), (8, True)]:
        ddf = _arrow(dd.read_parquet(root / "one.parquet", split_row_groups=split))
        assert ddf.npartitions == npart
        fits = {
            n: on(clusters[n], lambda ddf=ddf: qdask.lmm(formula, ddf, leaf_partitions=2, split_every=2))
            for n in (1, 2)
        }
        assert_agree(ref, fits[2])
        assert bits(fits[1]) == bits(fits[2]), npart
        assert not fits[2].rows_kept
    # Several files of several row groups, in the DataFrame's partition order; the
    # same as the partitions reduced as pandas frames.
    ddf = _arrow(dd.read_parquet(root / "dir", split_row_groups=True))
    assert ddf.npartitions == 8
    fit = on(clusters[2], lambda: qdask.lmm(formula, ddf))  # four leaves of two partitions
    assert_agree(ref, fit)
    framed = ddf.map_partitions(pd.DataFrame.copy)
    assert parquet_partitions(framed) is None
    assert_agree(on(clusters[2], lambda: qdask.lmm(formula, framed)), fit)


def test_dask_parquet_selections_and_filters(sim_files, clusters):
    """A selection of columns or partitions is read from the fragments; filters are
    honoured; a selection of rows Dask computes goes through pandas frames. Each is the
    in-memory fit of the rows it keeps."""
    df, root = sim_files
    path, cols = root / "dir", ["y", "x1", "x2", "g"]
    formula = "y ~ x1 + x2 + (1 | g)"  # groups of 1 to 4 rows once rows are left out
    whole = dd.read_parquet(path, split_row_groups=True)
    cut = len(df) * 3 // 8
    cases = [
        (dd.read_parquet(path, columns=cols, split_row_groups=True), df, True),
        (whole[cols], df, True),
        (whole.partitions[:3], df.iloc[:cut], True),  # the first file's row groups
        (dd.read_parquet(path, filters=[("x2", ">", 0.0)], split_row_groups=True), df[df.x2 > 0], True),
        (dd.read_parquet(path, filters=[[("site", "==", "west")], [("x1", "<", -1.0)]]),
         df[(df.site == "west") | (df.x1 < -1)], True),
        (whole[whole.x2 > 0], df[df.x2 > 0], False),
        (whole.assign(x2=whole.x2 * 2), df.assign(x2=df.x2 * 2), False),
    ]  # fmt: skip
    for ddf, rows, arrow in cases:
        assert (parquet_partitions(ddf) is not None) is arrow
        assert_agree(qk.lmm(formula, rows), on(clusters[2], lambda ddf=ddf: qdask.lmm(formula, ddf, leaf_partitions=2)))


def test_dask_parquet_hive_directory_weights_and_late_missing_values(tmp_path, clusters):
    """Columns of a hive partitioning (a factor and a filter on it), prior weights, and
    missing values (a response, a group label) in a late fragment: dropped and counted
    as in memory."""
    df = simulated(3000, seed=7)
    df["w"] = np.random.default_rng(2).uniform(0.5, 2.0, len(df))
    # A missing response late in the last file, a missing label in the first.
    df.loc[df.index[df.site == "west"][-5], "y"] = np.nan
    df["g"] = df["g"].astype(float)
    df.loc[df.index[df.site == "north"][-40], "g"] = np.nan
    for site, part in df.groupby("site", sort=True):
        (tmp_path / f"site={site}").mkdir()
        _write(part.drop(columns="site"), tmp_path / f"site={site}" / "part.parquet", 2)
    order = pd.concat([p for _, p in df.groupby("site", sort=True)])
    plain = "y ~ x1 + x2 + (x1 | g)"  # Arrow's columns straight into the accumulator
    for ddf, rows, formula, weights in [
        (dd.read_parquet(tmp_path, split_row_groups=True), order, SIM, None),
        (dd.read_parquet(tmp_path, split_row_groups=True), order, plain, None),
        (dd.read_parquet(tmp_path, split_row_groups=True), order, SIM, "w"),
        (dd.read_parquet(tmp_path, filters=[("site", "!=", "south")]), order[order.site != "south"], SIM, "w"),
    ]:
        ddf = _arrow(ddf)
        ref = qk.lmm(formula, rows, weights=weights)
        fit = on(clusters[2], lambda ddf=ddf, f=formula, w=weights: qdask.lmm(f, ddf, weights=w, leaf_partitions=2))
        assert_agree(ref, fit)
        assert fit.n_dropped == ref.n_dropped > 0


def test_dask_parquet_refusals_name_the_partition_and_the_file(tmp_path, clusters):
    df = simulated(2000, seed=3)
    n = len(df)
    late = df.index[n - 10]  # in the last of 4 row groups
    at = "in partition 3 of the Dask DataFrame ("
    cases = [
        (df.assign(y=df.y.where(df.index != late, np.inf)), None, f"column 'y' has a value that is not finite {at}"),
        (df.assign(x1=df.x1.where(df.index != late, 1e200)), None, f"overflows {at}"),
        (df.assign(w=np.where(df.index == late, -1.0, 1.0)), "w", f"but it holds -1.0 {at}"),
    ]  # fmt: skip
    for k, (frame, weights, text) in enumerate(cases):
        path = tmp_path / f"bad{k}.parquet"
        _write(frame, path, 4)
        ddf = _arrow(dd.read_parquet(path, split_row_groups=True))
        with pytest.raises(SourceError) as info:
            on(clusters[2], lambda ddf=ddf, w=weights: qdask.lmm(SIM, ddf, weights=w))
        assert text in str(info.value) and str(path) in str(info.value), str(info.value)


@pytest.mark.parametrize("name", ["pastes", "users_items"])
def test_dask_parquet_several_grouping_factors(name, tmp_path, clusters):
    """Crossed and nested models from the fragments: the in-memory fit, and the same
    bits on 1 and 2 workers."""
    frame, formula, _ = case(name, 60_000)
    _write(frame, tmp_path / "data.parquet", 5)
    ddf = _arrow(dd.read_parquet(tmp_path / "data.parquet", split_row_groups=True))
    fits = {n: on(clusters[n], lambda: qdask.lmm(formula, ddf, leaf_partitions=2)) for n in (1, 2)}
    assert type(fits[2]).__name__ == "CrossedFit"
    assert bits(fits[1]) == bits(fits[2])
    assert_agree(in_memory(formula, frame), fits[2])


def test_dask_parquet_leaves_of_as_many_groups_with_other_labels_merge_by_label(tmp_path, clusters):
    """Integer labels without a first pass are coded leaf by leaf: three leaves of 100
    groups each, none shared (rows sorted by group), or all shared. Only the same labels
    in the same order may be added by code; the fit is the in-memory one either way."""
    rng = np.random.default_rng(11)
    g = np.repeat(np.arange(300), 10)
    x = rng.normal(size=len(g))
    y = 5 + 2 * x + rng.normal(size=300)[g] + rng.normal(size=len(g))
    df = pd.DataFrame({"y": y, "x": x, "g": g})
    for name, frame in [("disjoint", df), ("shared", df.iloc[np.argsort(np.arange(len(df)) % 3, kind="stable")])]:
        path = tmp_path / f"{name}.parquet"
        _write(frame, path, 3)
        ddf = _arrow(dd.read_parquet(path, split_row_groups=True))
        fit = on(clusters[2], lambda ddf=ddf: qdask.lmm("y ~ x + (1 | g)", ddf, leaf_partitions=1))
        assert_agree(qk.lmm("y ~ x + (1 | g)", frame), fit)
