"""Parquet directories whose files disagree, and pyarrow datasets of other layouts
(hive partitions, tables in memory): each fits as the in-memory route fits the same
rows, or is refused with one SourceError naming the column and the file, before
anything is learnt from the rows. The model is learnt from the first batch holding a
complete row, wherever it is."""

import numpy as np
import pandas as pd
import pytest
from batchdata import assert_agree, require, simulated

import quorvelkit as qk
import quorvelkit.sources.batch_loop
import quorvelkit.sources.parquet
from quorvelkit import LmmCore
from quorvelkit.sources.batch_loop import SourceError

pa = require("pyarrow")
pq = require("pyarrow.parquet")
ds = require("pyarrow.dataset")
pacsv = require("pyarrow.csv")
FORMULA = "y ~ x1 + x2 + site + (x1 | g)"


def small(seed=5):
    """About 900 rows in 300 groups, x1 and x2 rounded to integers so that they may be
    stored as integers in one file and as floats in another without changing a value."""
    df = simulated(300, seed=seed)
    return df.assign(x1=np.round(4 * df.x1), x2=np.round(4 * df.x2))


def write_files(path, parts):
    """One Parquet file per frame of ``parts``, each with the types its frame has."""
    path.mkdir()
    for k, part in enumerate(parts):
        pq.write_table(pa.Table.from_pandas(part, preserve_index=False), path / f"part-{k}.parquet")
    return path


def halves(df):
    cut = len(df) // 2
    return df.iloc[:cut].reset_index(drop=True), df.iloc[cut:].reset_index(drop=True)


def numbers_as_text(col):
    return col.map(repr).astype(object)


# Each case turns the two halves of the data into the frames of two files.
BENIGN = {
    "x1 int64 in one file, float64 in the next": lambda a, b: (a.astype({"x1": np.int64}), b),
    "x2 float64 in one file, int32 in the next": lambda a, b: (a, b.astype({"x2": np.int32})),
    "g int32 in one file, int64 in the next": lambda a, b: (a.astype({"g": np.int32}), b),
    "g int64 in one file, float64 in the next": lambda a, b: (a, b.astype({"g": float})),
    "site dictionary in one file, text in the next": lambda a, b: (a.astype({"site": "category"}), b),
    # and the model learnt from the first batch with a complete row, the file read again
    "x2 all missing (nulls) in the first file": lambda a, b: (a[:150].assign(x2=None), pd.concat([a[150:], b])),
}


@pytest.mark.parametrize("case", BENIGN)
def test_files_of_one_family_of_types_fit_as_their_rows_in_memory(case, tmp_path):
    """Files holding a column as types of one family (integers and floats, integers of
    several widths, text and dictionaries of text, nulls) are read as one type: the fit
    is the in-memory fit of the same rows."""
    parts = BENIGN[case](*halves(small()))
    ref = qk.lmm(FORMULA, pd.concat(parts, ignore_index=True).infer_objects())
    for batch_rows in (1 << 20, 97):
        assert_agree(ref, qk.lmm(FORMULA, write_files(tmp_path / f"d{batch_rows}", parts), batch_rows=batch_rows))


def with_text(col, k=None, value="abc"):
    text = numbers_as_text(col)
    if k is not None:
        text.iloc[k] = value
    return text


# (case, the frames of two files, the words of the refusal after the column's name)
REFUSED = [
    ("float64, then numbers as text", lambda a, b: (a, b.assign(x1=with_text(b.x1))),
     r"is double in \S+part-0.parquet but \w*string in \S+part-1.parquet: .*part-1.parquet holds numbers stored as"),
    ("numbers as text, then float64", lambda a, b: (a.assign(x1=with_text(a.x1)), b),
     r"is \w*string in \S+part-0.parquet but double in \S+part-1.parquet: .*part-0.parquet holds numbers stored as"),
    ("int64, then text", lambda a, b: (a.astype({"x1": np.int64}), b.assign(x1=with_text(b.x1, 3, "n/a"))),
     r"is int64 in \S+part-0.parquet but .*row 3 of \S+part-1.parquet holds 'n/a', which is not a number"),
    ("'abc' in the text of a float column", lambda a, b: (a, b.assign(x1=with_text(b.x1, 250))),
     r"row 250 of \S+part-1.parquet holds 'abc', which is not a number"),
    ("missing from the second file", lambda a, b: (a, b.drop(columns="x1")),
     r"not found in \S+part-1.parquet \(columns: y, x2, site, g\)"),
    ("missing from the first file", lambda a, b: (a.drop(columns="x1"), b), r"not found in \S+part-0.parquet"),
    ("boolean in one file, integers in the next", lambda a, b: (a.assign(x1=a.x1 > 0), b.astype({"x1": np.int64})),
     r"is bool in \S+part-0.parquet but int64 in \S+part-1.parquet"),
    ("int64 and uint64, which have no exact common type", lambda a, b: (a.astype({"x1": np.int64}), b.assign(
        x1=b.x1.abs().astype(np.uint64))), r"is int64 in \S+part-0.parquet but uint64 in \S+part-1.parquet"),
    ("uint8, int8 and uint64: no type holds all", lambda a, b: (
        a[:99].assign(x1=a.x1.abs().astype(np.uint8)), a[99:].astype({"x1": np.int8}),
        b.assign(x1=b.x1.abs().astype(np.uint64))), r"is int8 in \S+part-1.parquet but uint64 in \S+part-2"),
]  # fmt: skip


@pytest.mark.parametrize("case, make, words", REFUSED, ids=[c[0] for c in REFUSED])
def test_files_that_disagree_are_refused_naming_column_and_file(case, make, words, tmp_path, monkeypatch):
    fitted = []
    monkeypatch.setattr(LmmCore, "from_products", classmethod(lambda cls, *a, **k: fitted.append(1)))
    path = write_files(tmp_path / "d", make(*halves(small())))
    with pytest.raises(SourceError, match="column 'x1'.*" + words):
        qk.lmm(FORMULA, path)
    assert not fitted


def test_a_text_factor_beyond_the_levels_a_first_pass_collects_is_refused(tmp_path, monkeypatch):
    # Numbers written as text in every file make a factor of as many levels as values.
    # Past the first pass's limit of levels the column is refused at once, naming it
    # (not learnt as a factor of every value the first batch holds, which takes
    # fixed-effects columns by the thousand); the limit lowered so the data stay small.
    monkeypatch.setattr(quorvelkit.sources.parquet, "MAX_LEVELS", 200)
    a, b = halves(small())
    path = write_files(tmp_path / "d", [a.assign(x2=with_text(a.x2 + 0.01 * a.index)), b.assign(x2=with_text(b.x2))])
    with pytest.raises(SourceError, match=r"column 'x2' \(\w*string\) holds more than 200 distinct values"):
        qk.lmm(FORMULA, path)
    # An integer column past the limit is a number, as in memory.
    ints = small().astype({"x2": np.int64}).assign(x2=lambda d: d.x2 * 1000 + np.arange(len(d)))
    assert_agree(qk.lmm(FORMULA, ints), qk.lmm(FORMULA, write_files(tmp_path / "ints", halves(ints))))


@pytest.mark.parametrize("columns", [["g"], ["site"], ["site", "g"]])
def test_hive_partitions_are_columns(columns, tmp_path):
    """A dataset partitioned on the group column, on a factor of the formula or on both
    (directories named column=value, as pyarrow writes them): the partition columns are
    read, a missing value's partition as missing values, whether the dataset is opened
    with partitioning="hive" or its path is given."""
    df = simulated(60, seed=9).astype({"site": object})
    df.loc[[4, 40], "site"] = None  # a partition of missing values, first in the directory
    ref = qk.lmm(FORMULA, df)
    assert ref.n_dropped == 2
    pq.write_to_dataset(pa.Table.from_pandas(df, preserve_index=False), tmp_path / "hive", partition_cols=columns)
    sources = {
        "dataset": ds.dataset(tmp_path / "hive", format="parquet", partitioning="hive"),
        "path": tmp_path / "hive",
        "dataset of dictionaries": ds.dataset(
            tmp_path / "hive", format="parquet", partitioning=ds.HivePartitioning.discover(infer_dictionary=True)
        ),
    }
    for source in sources.values():
        assert_agree(ref, qk.lmm(FORMULA, source, batch_rows=50))


def test_datasets_of_tables_in_memory_name_their_fragments():
    df = simulated(300, seed=2)
    table = pa.Table.from_pandas(df, preserve_index=False)
    ref = qk.lmm(FORMULA, df)
    assert_agree(ref, qk.lmm(FORMULA, ds.dataset(table)))
    assert_agree(ref, qk.lmm(FORMULA, ds.dataset(table.to_batches(max_chunksize=250)), batch_rows=100))
    # NaN stored as NaN (not as nulls) in the whole first fragment: its rows are incomplete
    gaps = df.assign(x2=np.where(np.arange(len(df)) < 250, np.nan, df.x2))
    arrays = {c: pa.array(gaps[c].to_numpy(), from_pandas=False) for c in gaps.columns}
    batches = pa.table(arrays).to_batches(max_chunksize=250)
    assert_agree(qk.lmm(FORMULA, gaps), qk.lmm(FORMULA, ds.dataset(batches)))
    bad = df.astype({"g": float})
    bad.loc[600, "g"] = np.nan
    batches = pa.Table.from_pandas(bad, preserve_index=False).to_batches(max_chunksize=250)
    # A row without a group label is missing, dropped as in memory.
    fit = qk.lmm(FORMULA, ds.dataset(batches))
    assert fit.n_dropped == 1
    assert_agree(qk.lmm(FORMULA, bad), fit)


def test_an_iterator_is_learnt_from_its_first_batch_holding_a_complete_row(monkeypatch):
    df = small()
    df.loc[:209, "x2"] = np.nan
    ref = qk.lmm(FORMULA, df)
    assert ref.n_dropped == 210
    frames = [df[k : k + 70] for k in range(0, len(df), 70)]  # the first three without a complete row
    assert_agree(ref, qk.lmm(FORMULA, iter(frames)))
    with pytest.raises(SourceError, match="the iterator of DataFrames has no complete rows in the columns the model"):
        qk.lmm(FORMULA, iter(frames[:3]))
    monkeypatch.setattr(quorvelkit.sources.batch_loop, "MAX_HELD", 2)  # those held are bounded
    with pytest.raises(SourceError, match="the first 2 batches of the iterator of DataFrames have no complete row"):
        qk.lmm(FORMULA, iter(frames))


def test_files_that_cannot_be_read_are_refused_naming_them(tmp_path):
    df = small()
    raw = (write_files(tmp_path / "cut", [df]) / "part-0.parquet").read_bytes()
    (tmp_path / "cut" / "part-1.parquet").write_bytes(raw[: len(raw) // 2] + raw[-8:])  # cut short
    write_files(tmp_path / "notes", [df])
    (tmp_path / "notes" / "notes.txt").write_text("not Parquet")
    # A CSV file whose types are inferred from its first block: 'abc' comes later.
    (tmp_path / "csv").mkdir()
    df.astype({"x2": object}).assign(x2=lambda d: d.x2.where(d.index != 800, "abc")).to_csv(
        tmp_path / "csv" / "a.csv", index=False
    )
    csv = ds.CsvFileFormat(read_options=pacsv.ReadOptions(block_size=4096))
    for source, words in [
        (tmp_path / "cut", r"cannot read \S+cut/part-1.parquet: "),
        (tmp_path / "notes", r"cannot read \S+notes: .*notes.txt.* not a parquet file"),
        (ds.dataset(tmp_path / "csv", format=csv), r"cannot read \S+csv/a.csv: .*'abc'"),
    ]:
        with pytest.raises(SourceError, match=words):
            qk.lmm(FORMULA, source, batch_rows=200)
