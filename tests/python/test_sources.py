"""Out-of-core fits against the in-memory fit: Parquet files and directories, pyarrow
datasets and iterators of DataFrames; group labels coded across batches; levels
declared, found by a first pass or learnt from a first batch; sources refused before
any fit, named; what a fit without its rows can do. (Parts merged by label: the Dask
and Spark routes.)"""

import pickle
import re
import warnings
from concurrent.futures import ThreadPoolExecutor
from functools import cache

import numpy as np
import pandas as pd
import pytest
from batchdata import CASES, SIM, SLEEP, as_text, assert_agree, bits, case, in_memory, require, simulated, six_batches

import quorvelkit as qk
from quorvelkit import LmmCore
from quorvelkit.cores.products import merge_parts, part_products
from quorvelkit.fitting.core_fit import fit_parts
from quorvelkit.formula.parsing import parse_formula
from quorvelkit.model.fit_options import FitOptions
from quorvelkit.model.group_codes import GroupCodes, IntegerHash
from quorvelkit.model.model_learning import learn_spec
from quorvelkit.sources.batch_loop import SourceError
from quorvelkit.sources.spark import _merge_node

pa = require("pyarrow")
pq = require("pyarrow.parquet")
ds = require("pyarrow.dataset")
SMALL = "y ~ x1 + x2 + (1 | g)"


def write_parquet(df, path, files=1, row_group_size=None):
    path.mkdir(parents=True, exist_ok=True)
    bounds = np.linspace(0, len(df), files + 1).astype(int)
    for k, (a, b) in enumerate(zip(bounds, bounds[1:], strict=False)):
        table = pa.Table.from_pandas(df.iloc[a:b], preserve_index=False)
        pq.write_table(table, path / f"part-{k:03d}.parquet", row_group_size=row_group_size)
    return path


def chunks(df, *cuts):
    bounds = [0, *cuts, len(df)]
    return iter([df.iloc[a:b] for a, b in zip(bounds, bounds[1:], strict=False)])


def late_level_chunks(frame, column, k=5):
    """``k`` chunks whose last alone holds the rows of the first level of ``column`` (a
    level met late: the codes of the levels before it must move up when sorted), the
    other levels' rows spread over several chunks."""
    late = frame[column] == sorted(frame[column].dropna().unique())[0]
    rest = frame.loc[~late]
    step = -(-len(rest) // (k - 1))
    return [rest.iloc[i : i + step] for i in range(0, len(rest), step)] + [frame.loc[late]]


@cache
def _in_memory(name):
    frame, formula, weights = case(name)
    return frame, formula, weights, in_memory(formula, frame, weights)


ROUTES = ["file", "directory", "dataset", "chunks"]


@pytest.mark.parametrize("name, route", [
    *((name, route) for name in ["sleepstudy", "simulated", *sorted(CASES)] for route in ROUTES),
    *(pytest.param("users_items", route, marks=pytest.mark.slow) for route in ("file", "chunks"))])  # fmt: skip
def test_sources_agree_with_the_in_memory_fit(name, route, tmp_path):
    """Criterion, theta, beta and sigma to 1e-12 relative (crossed and nested models to
    1e-10): a Parquet file of row groups read in batches across them, a directory of
    files, a pyarrow dataset, and an iterator of DataFrames whose last alone holds the
    first level of the last grouping column."""
    frame, formula, weights, ref = _in_memory(name)
    n = len(frame)
    batch = max(5, n // 6)
    if route == "file":
        frame.to_parquet(tmp_path / "data.parquet", row_group_size=n // 7 + 1)
        source = tmp_path / "data.parquet"
    elif route == "chunks":
        group = {"sleepstudy": "Subject", "simulated": "g", "users_items": "item"}.get(name) or CASES[name][3][-1]
        source = iter(late_level_chunks(frame, group))
    else:
        for i, at in enumerate(range(0, n, 2 * batch)):
            frame.iloc[at : at + 2 * batch].to_parquet(tmp_path / f"part-{i:02d}.parquet", row_group_size=n // 11 + 1)
        source = ds.dataset(tmp_path, format="parquet") if route == "dataset" else str(tmp_path)
    levels = {"Machine": ["A", "B", "C"]} if name == "machines" else None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qk.SingularFitWarning)
        fit = qk.lmm(formula, source, batch_rows=batch, weights=weights, levels=levels)
    assert_agree(ref, fit)


@pytest.mark.parametrize("lazy", [False, True], ids=["DataFrame", "LazyFrame"])
@pytest.mark.parametrize("name", ["simulated", "pastes"])
def test_polars_frames_fit_as_the_pandas_frame_of_their_rows(name, lazy):
    """Polars frames read as Arrow batches: in one batch, the in-memory fit of the
    pandas frame to the bit; in three, the fit of the same three pandas batches."""
    pl = require("polars")
    df, formula, _ = case(name, 20_000)
    frame = pl.from_pandas(df).lazy() if lazy else pl.from_pandas(df)
    assert bits(qk.lmm(formula, frame, batch_rows=len(df))) == bits(qk.lmm(formula, df))
    k = len(df) // 3 + 1
    assert bits(qk.lmm(formula, frame, batch_rows=k)) == bits(qk.lmm(formula, chunks(df, k, 2 * k)))


def test_parquet_read_ahead_keeps_the_batches_in_order(tmp_path):
    # The Parquet route reads its batches on a thread of its own; they must reach the
    # products in file order: the bits of the same batches handed over as DataFrames.
    path = write_parquet(simulated(5_000, seed=4), tmp_path / "ahead", files=2, row_group_size=4_000)
    frames = [pq.read_table(f).to_pandas() for f in sorted(path.iterdir())]
    batches = (f.iloc[a : a + 4_000] for f in frames for a in range(0, len(f), 4_000))
    assert bits(qk.lmm(SIM, path, batch_rows=4_000)) == bits(qk.lmm(SIM, batches))


@pytest.mark.parametrize("labels", [
    "negative and unsorted",  # codes in order of appearance, put in label order at the end
    "range beyond the table",  # a later batch widens the range past 2^27: coded by hashing from then on
    "at the bottom of int64",  # offsets from the smallest label taken without overflow
    "group only of missing rows",  # a label met whose every row is dropped is no group
    "text, group only of missing rows",  # the same where a first pass finds the labels
])  # fmt: skip
def test_group_labels_coded_across_batches_are_the_in_memory_groups(labels, tmp_path):
    """Integer group labels are coded as batches come (no first pass over a Parquet
    source), text labels from a first pass; either way the fit is the in-memory fit of
    the same rows, with its groups and random effects matched by label. Missing values
    are dropped and counted as in memory."""
    df = simulated(300, seed=3).drop(columns="site")
    g = df["g"].to_numpy()
    if labels == "negative and unsorted":
        df["g"] = 7 - 3 * g
    elif labels == "at the bottom of int64":
        df["g"] = g + np.iinfo(np.int64).min
    elif labels == "range beyond the table":
        df["g"] = np.where(np.arange(len(df)) < 500, g, g + (g % 2) * (1 << 40))
    else:
        df["g"] = g if labels.startswith("group") else np.char.add("s", g.astype(str))
        df.loc[g == 17, "x1"] = np.nan
        df.loc[[3, 50, 51], "y"] = np.nan
        df = df.iloc[np.argsort(g != 17, kind="stable")].reset_index(drop=True)  # group 17 first
    ref = qk.lmm(SMALL, df)
    assert_agree(ref, qk.lmm(SMALL, write_parquet(df, tmp_path / "g"), batch_rows=117))


ONE = "y ~ x + (1 | g)"
TWO = "y ~ x + (1 | g) + (1 | h)"  # parts merged by label
SPLIT = r"the group column 'g' holds (\d+) as a number \(batch 0 holds numbers\) and '\1' as text \(batch {} holds text"
# (case, formula, the batches from six_batches(), the refusal, or None: the in-memory fit of the rows)
LABEL_TYPES = [
    ("integers, then the same labels as text and a typo", ONE,
     lambda b: [*b[:5], as_text(b[5], "typo")], SPLIT.format(5)),
    ("several factors: integers, then text", TWO, lambda b: [*b[:3], as_text(b[3]), *b[4:]], SPLIT.format(3)),
    ("one batch of objects holding 17 and '17'", ONE,
     lambda b: [pd.concat([b[0], as_text(b[1])]).astype({"g": object}), *b[2:]], SPLIT.format(0)),
    ("integers, then other labels as text", ONE, lambda b: [*b[:5], b[5].assign(g="s" + b[5]["g"].map(str))], None),
    ("several factors: integers, then other labels as text", TWO,
     lambda b: [*b[:5], b[5].assign(g="s" + b[5]["g"].map(str))], None),
]  # fmt: skip


@pytest.mark.parametrize("case, formula, make, refusal", LABEL_TYPES, ids=[c[0] for c in LABEL_TYPES])
def test_a_label_in_two_types_is_refused_never_two_groups(case, formula, make, refusal):
    """A batch whose group column has another type than the others' (text where they
    hold integers): a label written both ways ('17' and 17) would be two groups, so it
    is refused naming the batches; labels that are all distinct values are the groups
    they are in memory."""
    batches = make(six_batches())
    if refusal is None:
        assert_agree(qk.lmm(formula, pd.concat(batches).astype({"g": object})), qk.lmm(formula, iter(batches)))
        return
    with pytest.raises(SourceError, match=refusal):
        qk.lmm(formula, iter(batches))


def _glmm(formula, data):
    return qk.glmm(formula, data.assign(y=(data.y > 0).astype(float)), "binomial")


@pytest.mark.parametrize(
    "fit",
    [
        qk.lmm,
        _glmm,
        lambda f, d: qk.glmm(f, [p.assign(y=(p.y > 0).astype(float)) for p in (d[:20], d[20:])], "binomial"),
    ],
)
def test_in_memory_a_label_in_two_types_is_refused_as_batches_are(fit):
    """In memory too, 17 and '17' in one column of objects would be two groups: refused,
    as on the batched routes, so that a label means one group on every route."""
    frame = pd.concat(six_batches()).astype({"g": object}).reset_index(drop=True)
    frame.loc[7, "g"] = str(frame.loc[3, "g"])
    with pytest.raises(ValueError, match=rf"holds {frame.loc[3, 'g']} as a number and '{frame.loc[3, 'g']}' as text"):
        fit(ONE, frame)


def _label_batches(case):
    """The batches of labels of a case (None: every case, by name)."""
    rng = np.random.default_rng(11)
    spread = rng.integers(np.iinfo(np.int64).min, np.iinfo(np.int64).max, 5_000, dtype=np.int64)
    top = np.uint64(2**64 - 1) - rng.integers(0, 2**40, 3_000).astype(np.uint64)
    draw = lambda values, n: values[rng.integers(0, len(values), n)]  # noqa: E731
    cases = {
        "dense": [rng.integers(-50, 50, 400) for _ in range(5)],
        "dense, then spread (hashed from then on)": [
            rng.integers(0, 900, 3_000),
            *(draw(spread, 4_000) for _ in range(6)),
        ],
        "spread, the table grown several times": [draw(spread, n) for n in (10, 700, 3_000, 9_000)],
        "uint64 near 2^64": [draw(top, 2_500) for _ in range(4)],
        "int64, then uint64 of the same bits": [rng.integers(0, 2**62, 2_000), draw(top, 2_000) // np.uint64(4)],
        "uint64 near 2^64, then negative int64": [draw(top, 2_000), -rng.integers(1, 9, 50)],
        "int64, then float": [rng.integers(0, 900, 2_000), np.array([1.5, 3.0, 2.5])],
    }
    return cases if case is None else cases[case]


@pytest.mark.parametrize("case", list(_label_batches(None)))
def test_group_codes_are_the_order_of_first_appearance(case, monkeypatch):
    """Labels coded batch after batch (a table by value, the core's hash table, a dict,
    and the changes from one to the next) get codes 0, 1, ... in order of first
    appearance, and sorted_order puts the codes in the order of the sorted labels."""
    monkeypatch.setattr(IntegerHash, "RUN", 1000)  # the hash table's labels read in several runs
    batches = _label_batches(case)
    coder = GroupCodes()
    got = np.concatenate([coder.codes(b, f"batch {k}") for k, b in enumerate(batches)])
    labels = [v for b in batches for v in b.tolist()]  # Python numbers: 3 == 3.0, 2^64 - 1 != -1
    first: dict = {}
    want = [first.setdefault(v, len(first)) for v in labels]
    assert got.tolist() == want and coder.m == len(first)
    order, levels_of = coder.sorted_order(release=case.startswith("dense"))
    levels = levels_of()
    assert sorted(first) == levels.tolist()
    assert [first[v] for v in levels.tolist()] == order.tolist()


@pytest.mark.parametrize("formula", [SMALL, "y ~ x1 + x2 + C(k) + (1 | g)"])  # C(k): a first pass finds the labels
@pytest.mark.parametrize("base", [2**63 - 150, 2**64 - 300])  # straddling 2^63; the top of uint64
@pytest.mark.parametrize("order", ["shuffled", "ascending", "descending"])
def test_unsigned_group_labels_beyond_int64(order, base, formula, tmp_path):
    # uint64 labels base + 0, 1, ...: from 2^63 - 150 on (2^63 - 1, 2^63 and 2^63 + 1
    # among them; sorted, the first batch ends with label 2^63 or holds only labels
    # above it), or up to 2^64 - 1. In memory, from an iterator and from Parquet: the
    # fit of the same rows with labels 0, 1, ... to the bit, its levels the labels' own.
    small = simulated(300, seed=3).drop(columns="site")
    small["k"] = small["g"] % 3
    if order != "shuffled":
        small = small.sort_values("g", kind="stable", ascending=order == "ascending").reset_index(drop=True)
    big = small.assign(g=small["g"].astype(np.uint64) + np.uint64(base))
    cut = {"shuffled": 100, "ascending": (small["g"] <= 150).sum(), "descending": (small["g"] > 150).sum()}[order]
    routes = {
        "in memory": lambda d, k: qk.lmm(formula, d),
        "iterator": lambda d, k: qk.lmm(formula, chunks(d, *range(cut, len(d), cut))),
        "parquet": lambda d, k: qk.lmm(formula, write_parquet(d, tmp_path / f"labels{k}"), batch_rows=int(cut)),
    }
    for route, fit in routes.items():
        fits = [fit(d, k) for k, d in enumerate((small, big))]
        assert bits(fits[1]) == bits(fits[0]), route
        assert [int(v) for v in fits[1].levels["g"]] == [v + base for v in range(300)], route
        b0, b1 = (f.ranef["g"] for f in fits)
        assert b1.loc[base + 150].to_numpy().tobytes() == b0.loc[150].to_numpy().tobytes()


@pytest.mark.parametrize("missing", ["NaN in a float column", "null in a float column", "null in an int64 column"])
def test_rows_without_a_group_label_are_dropped_as_missing(missing, sleep, tmp_path):
    """A missing group label drops its row, counted in n_dropped, as any missing value
    (lme4's na.omit; the in-memory route): from Parquet (one batch with missing labels
    among complete ones, labels coded with or without a first pass), from an iterator
    and from parts merged by label (the Dask and Spark reduction), the fit is the
    in-memory fit of the same rows. Subject 309 loses every row."""
    d = sleep.astype({"Subject": "Int64" if "int64" in missing else float})
    d.loc[[5, 61, 130, *range(10)], "Subject"] = pd.NA if "int64" in missing else np.nan
    ref = qk.lmm(SLEEP, d)
    assert ref.n_dropped == 12 and ref.ngroups == {"Subject": 17}
    path = tmp_path / "p"
    path.mkdir()
    for k, (a, b) in enumerate([(0, 60), (60, 120), (120, 180)]):
        part = d.iloc[a:b]
        if missing.startswith("NaN"):  # written from NumPy: NaN stays NaN, no null
            table = pa.table({c: part[c].to_numpy(dtype=float) for c in part.columns})
        else:
            table = pa.Table.from_pandas(part, preserve_index=False)
        pq.write_table(table, path / f"part-{k}.parquet")
    spec = learn_spec(parse_formula(SLEEP), d).spec
    parts = [part_products(spec, d.iloc[a:b], f"part {a}") for a, b in [(0, 90), (90, 180)]]
    first_pass = SLEEP.replace("Days +", "Days + C(Days > 4) +")
    for want, fit in [  # assert_agree: the same rows dropped, groups and labels
        (ref, qk.lmm(SLEEP, path, batch_rows=40)),
        (qk.lmm(first_pass, d), qk.lmm(first_pass, path, batch_rows=40)),
        (ref, qk.lmm(SLEEP, chunks(d, 60, 120))),
        (ref, fit_parts(spec, merge_parts(*parts), FitOptions(), source="two parts")),
    ]:
        assert_agree(want, fit)


@pytest.mark.parametrize("head", ["complete", "without a complete row"])
def test_plan_from_the_head_of_a_large_first_batch(head, tmp_path):
    """A Parquet source's model is planned from the head of its first batch (2^16 rows),
    or from the whole batch when the head holds no complete row; either way the fit is
    the in-memory fit, its factor levels those of every row (found by the first pass)."""
    df = simulated(30_000, seed=6)
    df["site"] = np.where(np.arange(len(df)) < 80_000, df["site"], "east")  # a level only past the head
    if head != "complete":
        df.loc[: (1 << 16) + 5, "x2"] = np.nan
    formula = "y ~ x1 + x2 + site + (1 | g)"
    ref = qk.lmm(formula, df)
    assert "site[T.west]" in ref.fixef.index and ref.n_dropped == (0 if head == "complete" else (1 << 16) + 6)
    assert_agree(ref, qk.lmm(formula, write_parquet(df, tmp_path / "head"), batch_rows=len(df)))


def test_levels_found_declared_or_learnt_from_the_first_batch(sleep, tmp_path):
    """A Parquet source's first pass finds every level (also of C() on integers); an
    iterator takes its levels from the first batch unless they are declared, and
    refuses a batch with another, naming the column, the level and the batch. Declared
    levels hold for every batch, the first (which the model is planned from) included."""
    row = np.arange(len(sleep))
    d = sleep.assign(site=np.where(row < 120, "a", np.where(row < 150, "b", "c")), shift=(row >= 90) + (row >= 170) * 1)
    formula = "Reaction ~ Days + site + C(shift) + (1 | Subject)"
    ref = qk.lmm(formula, d)
    assert len(ref.fixef) == 6
    assert_agree(ref, qk.lmm(formula, write_parquet(d, tmp_path / "lv"), batch_rows=30))
    with pytest.raises(SourceError, match="inconsistent categorical levels in batch 1.*column 'site' has 'b', 'c'"):
        qk.lmm(formula, chunks(d, 100))
    declared = {"site": ["a", "b", "c"], "shift": [0, 1, 2]}
    assert_agree(ref, qk.lmm(formula, chunks(d, 100), levels=declared))
    odd = d.assign(site=np.where(np.arange(len(d)) % 40 == 7, "z", d["site"]))  # 'z' in every batch
    for source, where in [(chunks(odd, 100), "batch 0"), (write_parquet(odd, tmp_path / "z"), "(batch 0, rows 0..29)")]:
        with pytest.raises(SourceError, match="inconsistent categorical levels") as info:
            qk.lmm(formula, source, levels=declared, batch_rows=30)
        assert where in str(info.value) and "column 'site' has 'z', not among its 3 levels" in str(info.value)


OVERFLOWS = "has a value whose square, or the sum of squares so far, overflows in"
BAD_VALUES = [
    ("Days", np.inf, "the fixed-effects column 'Days' has a value that is not finite in"),
    ("Reaction", -np.inf, "the response column 'Reaction' has a value that is not finite in"),
    ("Reaction", 1e200, f"the response column 'Reaction' {OVERFLOWS}"),  # finite, y'y is not
    ("Days", -1e160, f"the fixed-effects column 'Days' {OVERFLOWS}"),
    *(("w", value, f"the weights column 'w' .*holds {text} in") for value, text in [(-1.0, "-1.0"), (np.inf, "inf"),
                                                                                    (np.nan, "nan")]),
]  # fmt: skip


@pytest.mark.parametrize("column, value, text", BAD_VALUES)
def test_bad_values_are_refused_naming_the_file_or_batch_before_any_fit(
    column, value, text, sleep, tmp_path, monkeypatch
):
    fitted = []
    monkeypatch.setattr(LmmCore, "from_products", classmethod(lambda cls, *a, **k: fitted.append(1)))
    d = sleep.assign(w=1.0).astype({column: float})
    d.loc[130, column] = value
    weights = "w" if column == "w" else None
    if np.isfinite(value) and not weights:  # the parts of the Dask and Spark routes too
        with pytest.raises(SourceError, match=re.escape(text) + " partition 2"):
            part_products(learn_spec(parse_formula(SLEEP), sleep).spec, d.iloc[120:], "partition 2")
    parquet, frames = write_parquet(d, tmp_path / column, files=3), chunks(d, 60, 120)
    for source, where in [(parquet, " .*part-002.parquet"), (frames, " batch 2")]:
        with pytest.raises(SourceError, match=(text if weights else re.escape(text)) + where):
            qk.lmm(SLEEP, source, batch_rows=50, weights=weights)
    if weights:
        with pytest.raises(SourceError, match="column 'wt' not found"):
            qk.lmm(SLEEP, write_parquet(sleep, tmp_path / "nw"), weights="wt")
    assert not fitted


def test_rank_deficiency_terms_and_offsets_from_batches(sleep, tmp_path):
    # an aliased column dropped as in memory (Z's columns not X's first); uncorrelated
    # terms (two blocks of Lambda) and an offset() term from batches and from Parquet
    d = sleep.assign(Days2=2.0 * sleep.Days, noise=np.random.default_rng(3).normal(size=len(sleep)))
    formula = "Reaction ~ noise + Days + Days2 + (Days | Subject)"
    with pytest.warns(qk.RankDeficiencyWarning, match="dropping 1 column / coefficient: Days2") as warned:
        ref, fit = qk.lmm(formula, d), qk.lmm(formula, chunks(d, 70))
    assert len(warned) == 2 and fit.dropped_columns == ["Days2"]
    assert_agree(ref, fit)
    d = sleep.assign(o=0.5 * sleep.Days + 3.0)
    formula = "Reaction ~ Days + offset(o) + (Days || Subject)"
    ref = qk.lmm(formula, d)
    for fit in (qk.lmm(formula, chunks(d, 77)), qk.lmm(formula, write_parquet(d, tmp_path / "o"))):
        assert fit.core.n_theta == ref.core.n_theta == 2
        assert_agree(ref, fit)
        np.testing.assert_allclose(fit.predict(d.iloc[::9]), ref.predict(d.iloc[::9]), rtol=1e-11)


def test_prior_weights_from_batches(sleep, tmp_path):
    """A weights column read in batches gives the in-memory weighted fit (rows of weight
    zero left out and counted, log-likelihood with the weights' constant); a bad weight
    is refused naming the column and the file or batch."""
    d = sleep.assign(w=np.random.default_rng(8).uniform(0.3, 3.0, len(sleep)))
    d.loc[[4, 60, 61], "w"] = 0.0
    d.loc[100, "Days"] = np.nan  # dropped as missing, whatever its weight
    ref = qk.lmm(SLEEP, d, weights="w")
    assert ref.n_zero_weight == 3 and ref.n_dropped == 1
    fits = {
        "parquet": qk.lmm(SLEEP, write_parquet(d, tmp_path / "w", files=2), batch_rows=40, weights="w"),
        "iterator": qk.lmm(SLEEP, chunks(d, 70), weights="w"),
    }
    for name, fit in fits.items():
        assert_agree(ref, fit)
        assert fit.n_zero_weight == 3 and fit.weights_column == "w", name
        assert abs(fit.loglik - ref.loglik) <= 1e-12 * abs(ref.loglik), name
        with pytest.raises(qk.sources.batch_loop.RowsUnavailable):
            fit.weights  # noqa: B018
    assert qk.lmm(SLEEP, iter([d])).weights is None
    with pytest.raises(ValueError, match="not all fitted with the same prior weights"):
        qk.anova(fits["parquet"], qk.lmm("Reaction ~ Days + (1 | Subject)", iter([d[d.w > 0]])))


def test_parts_sharing_groups_merge_by_label(sleep):
    # Two parts holding rows of some of the same subjects, the second meeting its
    # subjects in another order: merged either way they fit as the whole data (the
    # reduction of the Dask and Spark routes, here without either).
    subject = sleep["Subject"].rank(method="dense").to_numpy() - 1
    first = (subject < 6) | ((subject < 12) & (sleep["Days"] < 5))
    spec = learn_spec(parse_formula(SLEEP), sleep).spec
    a = part_products(spec, sleep[first], "part a")
    b = part_products(spec, sleep[~first].iloc[::-1], "part b")
    assert [len(p.factor_labels[0]) for p in (a, b)] == [12, 12] and list(b.factor_labels[0][:2]) == [372, 371]
    ref = qk.lmm(SLEEP, sleep)
    for x, y in [(a, b), (b, a)]:
        assert_agree(ref, fit_parts(spec, merge_parts(x, y), FitOptions(), source="two parts"))
    # A node of Spark's reduction tree merges its children in partition order, whatever
    # order they arrive in.
    c = part_products(spec, sleep.iloc[::7], "part c")
    node = pickle.loads(_merge_node([(2, pickle.dumps(c)), (0, pickle.dumps(a)), (1, pickle.dumps(b))]))
    in_order = merge_parts(merge_parts(a, b), c)
    assert all(np.array_equal(node.products[k], in_order.products[k]) for k in ("xtx", "ztz", "ztx", "yty"))


def test_batch_fit_has_what_follows_from_the_products(sleep, tmp_path, capsys):
    # (the fit from products of one factor and of several: test_crossed_sources)
    fit = qk.lmm(SLEEP, write_parquet(sleep, tmp_path / "p"), batch_rows=20, progress=True)
    err = capsys.readouterr().err
    assert "reading" in err and "levels" in err  # the progress bars of both passes
    assert fit.rows_kept is False and "residuals" in fit.needs_rows  # refusals: test_messages
    np.testing.assert_allclose(fit.cond_cov["Subject"], qk.lmm(SLEEP, sleep).cond_cov["Subject"], rtol=1e-9)


def test_warning_filters_survive_batches_built_on_many_threads(sleep):
    # The filters are one list for the process: blocks of several threads that change
    # them at once (batches read ahead, Dask's threads) must leave the caller's list.
    spec = learn_spec(parse_formula("Reaction ~ log(Days + 1) * C(Days > 4) + (Days | Subject)"), sleep).spec
    before = list(warnings.filters)
    with ThreadPoolExecutor(8) as pool:
        list(pool.map(lambda k: spec.rows(sleep, f"batch {k}"), range(300)))
    assert warnings.filters == before
