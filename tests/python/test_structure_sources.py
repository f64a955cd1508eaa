"""Residual structures fitted from data read in batches: the fit from Parquet, an
iterable of DataFrames and Dask (on a distributed LocalCluster) equals the in-memory
fit for several structures; a given Dask partitioning gives the same bits on 1 and 2
workers; what needs the rows, and what the pattern route cannot fit exactly, is
refused with the reason."""

import pickle

import numpy as np
import pandas as pd
import pytest
from batchdata import on, require

import quorvelkit as qk
from quorvelkit.formula.parsing import parse_formula
from quorvelkit.sources.structure_arrow import arrow_distinct
from quorvelkit.sources.structure_batches import distinct_values, level_columns
from quorvelkit.support.errors import RowsUnavailable, SourceError
from quorvelkit.support.frames import arrow_frame

pa = require("pyarrow")
pq = require("pyarrow.parquet")


def trial(n_subjects=160, seed=11, continuous=False):
    """Subjects of two arms and two sexes over visits 1..5, each missing some visits
    (dropout and gaps), sorted by subject; with ``continuous`` the times are real."""
    rng = np.random.default_rng(seed)
    rows = []
    for s in range(n_subjects):
        arm, sex = "ab"[s % 2], "FM"[(s // 2) % 2]
        last = int(rng.integers(2, 6))
        visits = [v for v in range(1, last + 1) if v == 1 or rng.random() > 0.2]
        u = rng.normal()
        for v in visits:
            t = v + (rng.uniform(-0.3, 0.3) if continuous else 0.0)
            sd = 1.0 + 0.3 * (sex == "M") + 0.1 * v
            y = 10 + (arm == "b") + 0.4 * t + 0.7 * u + sd * rng.normal()
            rows.append(dict(id=f"s{s:04d}", arm=arm, sex=sex, visit=v, time=t, y=y))
    return pd.DataFrame(rows)


# (name, formula, keywords, continuous times)
STRUCTURES = [
    ("us", "y ~ arm * visit + us(visit | id)", {}, False),
    ("ar1h, missing visits", "y ~ arm + visit + ar1h(visit | id)", {}, False),
    (
        "cs with varIdent",
        "y ~ arm + visit",
        dict(correlation="corCompSymm(form = ~ 1 | id)", variance="varIdent(form = ~ 1 | sex)"),
        False,
    ),
    ("car1", "y ~ arm + time", dict(correlation="corCAR1(form = ~ time | id)"), True),
    ("us per arm", "y ~ arm + visit + us(visit | arm / id)", {}, False),
]


def assert_same_fit(ref, fit):
    assert fit.loglik == pytest.approx(ref.loglik, rel=1e-9)
    np.testing.assert_allclose(fit.fixef.to_numpy(), ref.fixef.to_numpy(), rtol=1e-8, atol=1e-8)
    np.testing.assert_allclose(fit.se.to_numpy(), ref.se.to_numpy(), rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(fit.correlation.to_numpy(), ref.correlation.to_numpy(), rtol=1e-6, atol=1e-7)
    assert fit.nobs == ref.nobs and fit.aic == pytest.approx(ref.aic, rel=1e-9)


def pieces(frame, n):
    """The rows cut into n runs at places that fall inside subjects (sorted by subject:
    a subject runs on from one piece into the next)."""
    cuts = np.linspace(0, len(frame), n + 1).astype(int)
    return [frame.iloc[a:b] for a, b in zip(cuts[:-1], cuts[1:], strict=True)]


@pytest.mark.parametrize("name, formula, kw, continuous", STRUCTURES, ids=[s[0] for s in STRUCTURES])
def test_parquet_and_iterables_agree_with_the_in_memory_fit(name, formula, kw, continuous, tmp_path):
    frame = trial(continuous=continuous)
    ref = qk.lmm(formula, frame, **kw)
    path = tmp_path / "trial.parquet"
    pq.write_table(pa.Table.from_pandas(frame, preserve_index=False), path, row_group_size=97)
    # Batches of 97 rows cut subjects in two: a subject's rows are joined across them.
    assert_same_fit(ref, qk.lmm(formula, str(path), batch_rows=97, **kw))
    for n in (1, 5):
        assert_same_fit(ref, qk.lmm(formula, pieces(frame, n), **kw))
    # Each subject's rows together but out of time order: the batches are sorted.
    shuffled = frame.sample(frac=1, random_state=5).sort_values("id", kind="stable")
    pq.write_table(pa.Table.from_pandas(shuffled, preserve_index=False), path, row_group_size=97)
    assert_same_fit(ref, qk.lmm(formula, str(path), batch_rows=97, **kw))


def test_what_needs_no_rows_is_offered_and_what_needs_them_is_refused(tmp_path):
    frame = trial()
    formula = "y ~ arm * visit + us(visit | id)"
    ref, fit = qk.lmm(formula, frame), qk.lmm(formula, pieces(frame, 4))
    assert not fit.rows_kept
    first = frame[frame.id == "s0003"]
    cov = fit.residual_cov("s0003")
    np.testing.assert_allclose(cov.to_numpy(), ref.residual_cov("s0003").to_numpy(), rtol=1e-6)
    assert list(cov.index) == list(first.visit)
    new = frame.head(20)
    np.testing.assert_allclose(fit.predict(new, conditional=False), ref.predict(new, conditional=False), rtol=1e-8)
    np.testing.assert_allclose(fit.anova_terms()["F-value"], ref.anova_terms()["F-value"], rtol=1e-6)
    smaller = "y ~ arm + visit + us(visit | id)"
    table = qk.anova(qk.lmm(smaller, pieces(frame, 4), reml=False), fit.refit_ml())
    in_memory = qk.anova(qk.lmm(smaller, frame, reml=False), ref.refit_ml())
    assert table["Chi Df"].iloc[1] == 1
    assert table["Chisq"].iloc[1] == pytest.approx(in_memory["Chisq"].iloc[1], rel=1e-6)
    assert "not available" in fit.summary_text()
    again = pickle.loads(pickle.dumps(fit))
    assert again.loglik == fit.loglik
    for what in ("fitted", "residuals", "response"):
        with pytest.raises(RowsUnavailable, match="needs the rows"):
            getattr(fit, what)
    with pytest.raises(RowsUnavailable, match="conditional=False"):
        fit.predict(new)


def test_refusals_name_what_is_refused_and_why():
    frame = trial()
    formula = "y ~ arm + visit + ar1(visit | id)"
    split = [frame.iloc[:100], frame.iloc[100:200], frame[frame.id == "s0000"].iloc[:1], frame.iloc[200:]]
    split[0] = split[0][~split[0].index.isin(split[2].index)]
    where = r"has rows in batch 0 and in batch 3 \(with the last subject of batch 2\)"
    with pytest.raises(SourceError, match=r"subject 's0000' of the subject column 'id' " + where):
        qk.lmm(formula, split)
    with pytest.raises(ValueError, match="random effects together with a residual structure"):
        qk.lmm("y ~ arm + visit + (1 | sex) + ar1(visit | id)", pieces(frame, 3))
    with pytest.raises(ValueError, match="one-shot iterator.*'visit'"):
        qk.lmm("y ~ arm + us(visit | id)", iter(pieces(frame, 3)))
    # Declared levels: one pass is enough.
    one = qk.lmm("y ~ arm + us(visit | id)", iter(pieces(frame, 3)), levels={"visit": [1, 2, 3, 4, 5]})
    assert one.loglik == pytest.approx(qk.lmm("y ~ arm + us(visit | id)", frame).loglik, rel=1e-9)
    twice = pd.concat([frame.iloc[:21], frame.iloc[20:40]])  # a visit repeated within a subject, named with its batch
    with pytest.raises(SourceError, match=r"time 'visit' is repeated within a subject .* of batch 0"):
        qk.lmm(formula, [twice, frame.iloc[40:]])
    with pytest.raises(ValueError, match="prior weights"):
        qk.lmm(formula, pieces(frame, 3), weights="visit")
    apart = frame[~frame.visit.isin([1]) | (frame.id < "s0050")]
    apart = apart[~apart.visit.isin([5]) | (apart.id >= "s0050")]  # visits 1 and 5 never together
    with pytest.raises(ValueError, match="visits 1 and 5 of 'us.visit . id.' cannot be estimated"):
        qk.lmm("y ~ arm + us(visit | id)", pieces(apart, 3))


# (case, columns of a batch): "c" and 9 on the last row alone, an unused dictionary entry.
BATCHES = [
    ("complete, times as floats", {"visit": [2.0, 1.0, 9.0]}),
    ("dictionary text", {"arm": pa.DictionaryArray.from_arrays([1, 0, 2], ["a", "b", "c", "z"])}),
    ("a NaN response", {"y": [0.5, 1.5, float("nan")]}),
]


@pytest.mark.parametrize("case, columns", BATCHES, ids=[b[0] for b in BATCHES])
def test_arrow_batches_give_the_distinct_values_pandas_gives(case, columns):
    parsed = parse_formula("y ~ arm + sex + visit + us(visit | id)")
    base = {"id": [1, 1, 2], "arm": ["b", "a", "c"], "sex": [True, True, False], "visit": [2, 1, 9], "y": [0.5, 1, 2]}
    batch = pa.RecordBatch.from_pydict({**base, **columns})
    by_pandas = distinct_values(parsed, arrow_frame(batch))
    found = arrow_distinct(parsed, batch, level_columns(parsed.residual)) or by_pandas
    typed = lambda d: {k: sorted((type(v).__name__, v) for v in vals) for k, vals in d.items()}  # noqa: E731
    assert typed(found) == typed(by_pandas)


def test_a_text_value_outside_the_declared_levels_is_refused_from_parquet(tmp_path):
    frame = trial()
    path = tmp_path / "trial.parquet"
    pq.write_table(pa.Table.from_pandas(frame, preserve_index=False), path)
    with pytest.raises(SourceError, match=r"inconsistent categorical levels.*'b'"):
        qk.lmm("y ~ arm + visit + ar1(visit | id)", str(path), levels={"arm": ["a"]})


dd = require("dask.dataframe")
distributed = require("distributed")


def bits(fit):
    return (np.float64(fit.loglik).tobytes(), fit.fixef.to_numpy().tobytes(), fit.se.to_numpy().tobytes())


@pytest.mark.parametrize("name, formula, kw, continuous", STRUCTURES, ids=[s[0] for s in STRUCTURES])
def test_dask_agrees_with_the_in_memory_fit_with_the_same_bits_on_1_and_2_workers(
    name, formula, kw, continuous, clusters
):
    frame = trial(continuous=continuous)
    ref = qk.lmm(formula, frame, **kw)
    ddf = dd.from_pandas(frame, npartitions=5, sort=False).shuffle(on="id", npartitions=5)
    fits = {n: on(clusters[n], lambda: qk.lmm(formula, ddf, split_every=2, **kw)) for n in (1, 2)}
    assert_same_fit(ref, fits[2])
    assert bits(fits[1]) == bits(fits[2])


def test_dask_refuses_a_subject_in_two_partitions(clusters):
    frame = trial()
    ddf = dd.from_pandas(frame, npartitions=4, sort=False)  # cut at rows, inside subjects
    with pytest.raises(SourceError, match=r"subject column 'id' has rows in partition \d of the Dask DataFrame"):
        on(clusters[2], lambda: qk.lmm("y ~ arm + visit + ar1(visit | id)", ddf))
