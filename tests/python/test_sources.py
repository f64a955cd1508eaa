"""Products as values and out-of-core fits: reduce_rows, merged parts, the
accumulator and LmmCore.from_products; lmm on Parquet files and directories, pyarrow
datasets and iterators of DataFrames against the in-memory fit; bad sources; what a
fit without its rows can and cannot do."""

import pickle

import numpy as np
import pandas as pd
import pytest
from batchdata import SIM, SLEEP, assert_agree, bits, require, simulated, sleepstudy

import quorvelkit as qk
from quorvelkit import LmmCore
from quorvelkit import _quorvelkit as Q
from quorvelkit.batchfit import PartProducts, merge_parts
from quorvelkit.sources import RowsUnavailable, SourceError

pa = require("pyarrow")
pq = require("pyarrow.parquet")
ds = require("pyarrow.dataset")


@pytest.fixture(scope="module")
def sleep():
    return sleepstudy()


@pytest.fixture(scope="module")
def sim():
    return simulated()


@pytest.fixture(scope="module")
def sim_fit(sim):
    return qk.lmm(SIM, sim)


def sleep_arrays(d):
    y = d.Reaction.to_numpy(float)
    x = np.column_stack([np.ones(len(y)), d.Days.to_numpy(float)])
    codes = pd.factorize(d.Subject, sort=True)[0].astype(np.int64)
    return y, x, x.copy(), codes, int(codes.max()) + 1


# ---- products as values ---------------------------------------------------------


def test_products_of_batches_define_the_model(sleep):
    """The products of all rows (with the shift LmmCore chooses) build a core that
    evaluates bit for bit as LmmCore; batches merged agree to rounding; batches added
    to an accumulator give the whole data's blocks bit for bit."""
    y, x, z, codes, m = sleep_arrays(sleep)
    core = LmmCore(y, x, z, codes, m)
    shift = Q.choose_shift(y, x)
    whole = Q.reduce_rows(y, x, z, codes, m, shift)
    assert whole["n"] == 180 and whole["counts"].sum() == 180 and whole["ztz"].shape == (18, 2, 2)
    same = LmmCore.from_products(whole)
    for theta in ([1.0, 0.0, 1.0], [0.9, 0.02, 0.2]):
        for reml in (True, False):
            assert same.deviance_grad(theta, reml) == core.deviance_grad(theta, reml)
    cuts = [0, 41, 97, 150, 180]
    labels = pd.Index(range(m))
    parts = [
        PartProducts(Q.reduce_rows(y[a:b], x[a:b], z[a:b], codes[a:b], m, shift), labels)
        for a, b in zip(cuts, cuts[1:], strict=False)
    ]
    acc = Q.ProductsAccumulator(m, 2, 2, shift)
    for a, b in zip(cuts, cuts[1:], strict=False):
        acc.add_rows(y[a:b], x[a:b], z[a:b], codes[a:b])
    merged_part = parts[0]
    for part in parts[1:]:
        merged_part = merge_parts(merged_part, part)
    merged = merged_part.products
    accumulated = acc.products()
    for key in ("ztz", "ztx", "zty", "counts"):
        assert np.array_equal(accumulated[key], whole[key]), key
        np.testing.assert_allclose(merged[key], whole[key], rtol=1e-13, atol=1e-9)
    fit_whole = core.fit(core.default_theta())
    for pr in (merged, accumulated):
        c = LmmCore.from_products(pr)
        r = c.fit(c.default_theta())
        assert abs(r["deviance"] - fit_whole["deviance"]) <= 1e-12 * fit_whole["deviance"]
        np.testing.assert_allclose(r["theta"], fit_whole["theta"], rtol=1e-10)


def test_products_dicts_are_checked(sleep):
    y, x, z, codes, m = sleep_arrays(sleep)
    good = Q.reduce_rows(y, x, z, codes, m, Q.choose_shift(y, x))

    def edited(**kw):
        d = dict(good)
        for k, v in kw.items():
            if v is None:
                del d[k]
            else:
                d[k] = v
        return d

    neg = good["counts"].copy()
    neg[3] = -1
    asym = good["ztz"].copy()
    asym[2, 0, 1] += 1.0
    cases = [
        (edited(zty=None), ValueError, "products lacks the key 'zty'"),
        (edited(ztx=good["ztx"][:, :, :1]), ValueError, "'ztx' has shape (18, 2, 1), expected (18, 2, 2)"),
        (edited(counts=neg), ValueError, "negative row count (group 3)"),
        (edited(ztz=asym), ValueError, "the ztz block is not symmetric (group 2)"),
        (edited(n=181), ValueError, "add up to 180, not to n = 181"),
        (edited(xty=np.array([np.nan, 1.0])), ValueError, "xty holds a value that is not finite"),
        (edited(m=17), ValueError, "'counts' has shape (18), expected (17)"),
        ([1, 2], TypeError, "products must be a mapping"),
    ]
    for bad, exc, text in cases:
        with pytest.raises(exc) as info:
            LmmCore.from_products(bad)
        assert text in str(info.value), (text, str(info.value))

    # A dict whose lookups make a new object every time (nothing else holds it) reads
    # as the dict it copies.
    class Fresh(dict):
        def __getitem__(self, key):
            v = dict.__getitem__(self, key)
            return np.array(v) if isinstance(v, np.ndarray) else type(v)(v)

    theta = [0.9, 0.1, 0.3]
    assert LmmCore.from_products(Fresh(good)).deviance(theta) == LmmCore.from_products(good).deviance(theta)
    other = Q.reduce_rows(y, x, z, codes, m, None)
    labels = pd.Index(range(m))
    with pytest.raises(ValueError, match="different shifts"):
        merge_parts(PartProducts(good, labels), PartProducts(other, labels))
    with pytest.raises(ValueError, match="out of range 0..18"):
        Q.reduce_rows(y, x, z, codes + 1, m, None)


def test_core_from_products_refuses_with_response_and_pickles(sleep):
    y, x, z, codes, m = sleep_arrays(sleep)
    core = LmmCore.from_products(Q.reduce_rows(y, x, z, codes, m, Q.choose_shift(y, x)))
    back = pickle.loads(pickle.dumps(core))
    for c in (core, back):
        with pytest.raises(ValueError, match="built from products and holds no fingerprints"):
            c.with_response(y, x, z, codes)
    assert back.deviance([1.0, 0.0, 1.0]) == core.deviance([1.0, 0.0, 1.0])
    assert LmmCore(y, x, z, codes, m).with_response(y, x, z, codes).n == 180


def test_accumulator_keeps_nothing_of_a_refused_batch(sleep):
    y, x, z, codes, m = sleep_arrays(sleep)
    acc = Q.ProductsAccumulator(m, 2, 2, Q.choose_shift(y, x))
    acc.add_rows(y[:90], x[:90], z[:90], codes[:90])
    before = acc.products()
    x_bad = x[90:].copy()
    x_bad[5, 0] = 2.0  # the intercept column, which the shift relies on, is not constant
    for args, text in [
        ((y[90:], x_bad, z[90:], codes[90:]), "shift's constant column"),
        ((y[90:], x[90:], z[90:], codes[90:] + 18), "out of range"),
    ]:
        with pytest.raises(ValueError, match=text):
            acc.add_rows(*args)
    after = acc.products()
    assert acc.n == 90
    for key in ("ztz", "ztx", "zty", "counts", "xtx", "xty"):
        assert np.array_equal(before[key], after[key])


# ---- sources against the in-memory fit ---------------------------------------------


def write_parquet(df, path, files=1, row_group_size=None):
    path.mkdir(parents=True, exist_ok=True)
    bounds = np.linspace(0, len(df), files + 1).astype(int)
    for k, (a, b) in enumerate(zip(bounds, bounds[1:], strict=False)):
        pq.write_table(
            pa.Table.from_pandas(df.iloc[a:b], preserve_index=False),
            path / f"part-{k:03d}.parquet",
            row_group_size=row_group_size,
        )
    return path


def test_parquet_read_ahead_keeps_the_batches_in_order(tmp_path):
    # The Parquet route reads its batches on a thread of its own; they must reach the
    # products in file order, so the fit has the bits of the same batches handed over
    # one by one as DataFrames.
    df = simulated(5_000, seed=4)
    path = write_parquet(df, tmp_path / "ahead", files=2, row_group_size=4_000)
    frames = [pq.read_table(f).to_pandas() for f in sorted(path.iterdir())]
    batches = (f.iloc[a : a + 4_000] for f in frames for a in range(0, len(f), 4_000))
    assert bits(qk.lmm(SIM, path, batch_rows=4_000)) == bits(qk.lmm(SIM, batches))


@pytest.mark.parametrize("case", ["sleepstudy", "simulated"])
def test_sources_agree_with_the_in_memory_fit(case, sleep, sim, sim_fit, tmp_path):
    """Criterion, theta, beta and sigma to 1e-12 relative: Parquet (one file, several
    files, several batch sizes, a pyarrow dataset) and iterators of DataFrames."""
    df, formula = (sleep, SLEEP) if case == "sleepstudy" else (sim, SIM)
    ref = qk.lmm(formula, df) if case == "sleepstudy" else sim_fit
    n = len(df)
    cuts = np.linspace(0, n, 6).astype(int)
    one = write_parquet(df, tmp_path / "one")
    many = write_parquet(df, tmp_path / "many", files=4, row_group_size=max(1, n // 11))
    fits = {
        "file, batches of n/7": qk.lmm(formula, one / "part-000.parquet", batch_rows=n // 7 + 1),
        "directory of 4 files": qk.lmm(formula, str(many)),
        "directory, batches of n/3": qk.lmm(formula, many, batch_rows=n // 3),
        "pyarrow dataset": qk.lmm(formula, ds.dataset(many, format="parquet")),
        "iterator of 5 frames": qk.lmm(formula, (df.iloc[a:b] for a, b in zip(cuts, cuts[1:], strict=False))),
    }
    for name, fit in fits.items():
        assert isinstance(fit, qk.sources.BatchFit), name
        assert_agree(ref, fit)


def test_missing_values_are_dropped_and_counted(sleep, tmp_path):
    d = sleep.copy()
    d.loc[[3, 50, 51], "Reaction"] = np.nan
    d.loc[100, "Days"] = np.nan
    ref = qk.lmm(SLEEP, d)
    fit = qk.lmm(SLEEP, write_parquet(d, tmp_path / "na"), batch_rows=40)
    assert fit.n_dropped == ref.n_dropped == 4
    assert_agree(ref, fit)


@pytest.mark.parametrize(
    "labels",
    [
        "negative and unsorted",  # codes in order of appearance, put in label order at the end
        "range beyond the table",  # a later batch widens the range past 2^27: coded by hashing from then on
        "group only of missing rows",  # a label met whose every row is dropped is no group
        "text, group only of missing rows",  # the same where a first pass finds the labels
        "unsigned beyond int64",  # labels from 2^63 on keep their values
    ],
)
def test_group_labels_coded_across_batches_are_the_in_memory_groups(labels, tmp_path):
    """Integer group labels are coded as batches come (no first pass over a Parquet
    source), text labels from a first pass; either way the fit is the in-memory fit of
    the same rows, with its groups (none for a label whose rows are all dropped) and
    random effects matched by label."""
    rng = np.random.default_rng(5)
    df = simulated(300, seed=3).drop(columns="site")
    g = df["g"].to_numpy()
    if labels == "negative and unsorted":
        df["g"] = 7 - 3 * g
    elif labels == "range beyond the table":
        df["g"] = np.where(np.arange(len(df)) < 500, g, g + (g % 2) * (1 << 40))
    elif labels == "unsigned beyond int64":
        df["g"] = g.astype(np.uint64) + np.uint64(1 << 63)
    else:
        df["g"] = g if labels.startswith("group") else np.char.add("s", g.astype(str))
        df.loc[g == 17, "x1"] = np.nan
        df = df.iloc[np.argsort(g != 17, kind="stable")].reset_index(drop=True)  # group 17 first
    formula = "y ~ x1 + x2 + (1 | g)"
    ref = qk.lmm(formula, df)
    fit = qk.lmm(formula, write_parquet(df, tmp_path / "g"), batch_rows=int(rng.integers(90, 130)))
    assert fit.ngroups == ref.ngroups and fit.n_dropped == ref.n_dropped
    assert_agree(ref, fit)


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


def test_levels_only_in_later_batches(sleep, tmp_path):
    """A Parquet source's first pass finds every level (also of C() on integers); an
    iterator takes its levels from the first batch unless they are declared, and
    refuses a batch with a new one, naming the column, the level and the batch."""
    d = sleep.copy()
    d["site"] = np.where(np.arange(len(d)) < 120, "a", "b")
    d.loc[150:, "site"] = "c"
    d["shift"] = (np.arange(len(d)) >= 90).astype(np.int64) + (np.arange(len(d)) >= 170)
    formula = "Reaction ~ Days + site + C(shift) + (1 | Subject)"
    ref = qk.lmm(formula, d)
    assert len(ref.fixef) == 6
    assert_agree(ref, qk.lmm(formula, write_parquet(d, tmp_path / "lv"), batch_rows=30))
    chunks = [d.iloc[:100], d.iloc[100:]]
    with pytest.raises(SourceError) as info:
        qk.lmm(formula, iter(chunks))
    msg = str(info.value)
    assert "inconsistent categorical levels in batch 1" in msg and "column 'site' has 'b', 'c'" in msg
    declared = {"site": ["a", "b", "c"], "shift": [0, 1, 2]}
    assert_agree(ref, qk.lmm(formula, iter(chunks), levels=declared))


def bad_frames(sleep):
    """(name, frames, expected text): each source has one fault in its third batch."""
    out = []
    for col, value, text in [
        ("Subject", None, "the group column 'Subject' has 1 missing value(s) in"),
        ("Days", np.inf, "the fixed-effects column 'Days' has a value that is not finite in"),
        ("Reaction", -np.inf, "the response column 'Reaction' has a value that is not finite in"),
    ]:
        d = sleep.copy()
        d[col] = d[col].astype(object) if value is None else d[col].astype(float)
        d.loc[130, col] = value
        out.append((col, d, text))
    return out


def test_bad_sources_fail_before_any_fit(sleep, tmp_path, monkeypatch):
    fitted = []
    monkeypatch.setattr(LmmCore, "from_products", classmethod(lambda cls, *a, **k: fitted.append(1)))
    for col, d, text in bad_frames(sleep):
        path = write_parquet(d, tmp_path / col, files=3)
        with pytest.raises(SourceError) as info:
            qk.lmm(SLEEP, path, batch_rows=50)
        assert text.split(" in")[0] in str(info.value) and "part-002.parquet" in str(info.value), str(info.value)
        with pytest.raises(SourceError) as info:
            qk.lmm(SLEEP, iter([d.iloc[:60], d.iloc[60:120], d.iloc[120:]]))
        assert text + " batch 2" in str(info.value), str(info.value)
    d = sleep.drop(columns="Days")
    for source in (write_parquet(d, tmp_path / "nodays"), iter([d])):
        with pytest.raises(SourceError, match="column 'Days' not found in"):
            qk.lmm(SLEEP, source)
    with pytest.raises(SourceError, match="the response column 'Reaction' must be numeric"):
        qk.lmm(SLEEP, iter([sleep, sleep.assign(Reaction=sleep.Reaction.astype(str))]))
    with pytest.raises(TypeError, match="batch 1 of the iterator is a list"):
        qk.lmm(SLEEP, iter([sleep, [1, 2]]))
    assert not fitted


def test_formulas_that_need_every_row_are_refused(sleep):
    for formula in ("Reaction ~ center(Days) + (1 | Subject)", "Reaction ~ poly(Days, 2) + (1 | Subject)"):
        with pytest.raises(qk.FormulaError, match="not supported when the data are read in batches"):
            qk.lmm(formula, iter([sleep]))
    with pytest.raises(ValueError, match="is constant"):
        qk.lmm(SLEEP, iter([sleep.assign(Reaction=5.0)]))


def test_rank_deficient_columns_are_dropped_as_in_memory(sleep):
    d = sleep.assign(Days2=2.0 * sleep.Days, noise=np.random.default_rng(3).normal(size=len(sleep)))
    formula = "Reaction ~ Days + Days2 + noise + (Days | Subject)"
    with pytest.warns(qk.RankDeficiencyWarning, match="dropping 1 column / coefficient: Days2"):
        ref = qk.lmm(formula, d)
    with pytest.warns(qk.RankDeficiencyWarning, match="dropping 1 column / coefficient: Days2"):
        fit = qk.lmm(formula, iter([d.iloc[:70], d.iloc[70:]]))
    assert fit.dropped_columns == ["Days2"]
    assert_agree(ref, fit)


def test_several_terms_and_offsets_from_batches(sleep, tmp_path):
    # Uncorrelated terms (two blocks of Lambda) and an offset() term read from batches
    # and from Parquet give the in-memory fit; offset= is refused, not ignored.
    d = sleep.assign(o=0.5 * sleep.Days + 3.0)
    formula = "Reaction ~ Days + offset(o) + (Days || Subject)"
    ref = qk.lmm(formula, d)
    assert ref.core.n_theta == 2
    for fit in (qk.lmm(formula, iter([d.iloc[:77], d.iloc[77:]])), qk.lmm(formula, write_parquet(d, tmp_path / "o"))):
        assert fit.core.n_theta == 2
        assert_agree(ref, fit)
        np.testing.assert_allclose(fit.predict(d.iloc[::9]), ref.predict(d.iloc[::9]), rtol=1e-11)
    with pytest.raises(ValueError, match="offset= is not supported for data read in batches"):
        qk.lmm("Reaction ~ Days + (1 | Subject)", iter([d]), offset="o")


def test_prior_weights_from_batches(sleep, tmp_path):
    """A weights column read in batches gives the in-memory weighted fit (rows of weight
    zero left out and counted, log-likelihood with the weights' constant); a bad weight
    is refused naming the column and the file or batch; weights must be a column."""
    rng = np.random.default_rng(8)
    d = sleep.assign(w=rng.uniform(0.3, 3.0, len(sleep)))
    d.loc[[4, 60, 61], "w"] = 0.0
    d.loc[100, "Days"] = np.nan  # dropped as missing, whatever its weight
    ref = qk.lmm(SLEEP, d, weights="w")
    assert ref.n_zero_weight == 3 and ref.n_dropped == 1
    fits = {
        "parquet": qk.lmm(SLEEP, write_parquet(d, tmp_path / "w", files=2), batch_rows=40, weights="w"),
        "iterator": qk.lmm(SLEEP, iter([d.iloc[:70], d.iloc[70:]]), weights="w"),
    }
    for name, fit in fits.items():
        assert_agree(ref, fit)
        assert fit.n_zero_weight == 3 and fit.weights_column == "w", name
        assert abs(fit.loglik - ref.loglik) <= 1e-12 * abs(ref.loglik), name
        with pytest.raises(qk.sources.RowsUnavailable):
            fit.weights  # noqa: B018
    assert qk.lmm(SLEEP, iter([d])).weights is None
    with pytest.raises(ValueError, match="not all fitted with the same prior weights"):
        qk.anova(fits["parquet"], qk.lmm("Reaction ~ Days + (1 | Subject)", iter([d[d.w > 0]])))
    for value, text in [(-1.0, "-1.0"), (np.inf, "inf"), (np.nan, "nan")]:
        bad = d.assign(w=d.w.where(d.index != 130, value))
        with pytest.raises(SourceError, match=f"the weights column 'w' holds {text} in .*part-001.parquet"):
            qk.lmm(SLEEP, write_parquet(bad, tmp_path / f"bad{text}", files=2), weights="w")
        with pytest.raises(SourceError, match=f"the weights column 'w' holds {text} in batch 1"):
            qk.lmm(SLEEP, iter([bad.iloc[:100], bad.iloc[100:]]), weights="w")
    with pytest.raises(TypeError, match="must name a column of the source"):
        qk.lmm(SLEEP, iter([d]), weights=d.w.to_numpy())
    with pytest.raises(SourceError, match="column 'wt' not found"):
        qk.lmm(SLEEP, write_parquet(d, tmp_path / "nw"), weights="wt")


# ---- a fit without its rows ------------------------------------------------------


def test_batch_fit_says_what_needs_the_rows(sleep):
    ref = qk.lmm(SLEEP, sleep)
    fit = qk.lmm(SLEEP, iter([sleep.iloc[:90], sleep.iloc[90:]]))
    assert fit.rows_kept is False and "residuals" in fit.needs_rows
    for what in ("fitted", "residuals", "response", "fittedvalues", "resid"):
        with pytest.raises(RowsUnavailable, match="needs the rows.*fit.predict\\(batch\\)"):
            getattr(fit, what)
        assert not hasattr(fit, what)
    for call in (
        lambda: fit.predict(),
        lambda: fit.refit(sleep.Reaction),
        lambda: fit.simulate(2),
        lambda: fit.bootstrap(5),
    ):
        with pytest.raises(RowsUnavailable):
            call()
    # What follows from the products works as for the in-memory fit.
    np.testing.assert_allclose(fit.predict(sleep.iloc[::7]), ref.predict(sleep.iloc[::7]), rtol=1e-11)
    np.testing.assert_allclose(fit.ranef, ref.ranef, rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(fit.cond_cov, ref.cond_cov, rtol=1e-9)
    np.testing.assert_allclose(fit.se, ref.se, rtol=1e-10)
    assert "Scaled residuals: not available" in fit.summary_text()
    ml, ref_ml = fit.refit_ml(), ref.refit_ml()
    assert isinstance(ml, qk.sources.BatchFit)
    assert abs(ml.criterion - ref_ml.criterion) <= 1e-12 * ref_ml.criterion
    small = qk.lmm("Reaction ~ Days + (1 | Subject)", iter([sleep]))
    table = qk.anova(small, fit)
    np.testing.assert_allclose(
        table["Chisq"].iloc[1],
        qk.anova(qk.lmm("Reaction ~ Days + (1 | Subject)", sleep), ref)["Chisq"].iloc[1],
        rtol=1e-8,
    )
    back = pickle.loads(pickle.dumps(fit))
    assert back.criterion == fit.criterion and back.rows_kept is False
    # Inference needs only the products: Satterthwaite's df and profile intervals
    # (fixed effects through fixed_at on a core without rows) are the in-memory fit's.
    np.testing.assert_allclose(fit.coef_table["df"], ref.coef_table["df"], rtol=1e-6)
    parm = ["Days", "sd_(Intercept)|Subject", "sigma"]
    np.testing.assert_allclose(fit.confint(method="profile", parm=parm), ref.confint(method="profile", parm=parm), 1e-6)
    with pytest.raises(RowsUnavailable, match="prediction interval"):
        fit.predict(sleep, interval="prediction")


def test_progress_bar_and_options(sleep, tmp_path, capsys):
    qk.lmm(SLEEP, write_parquet(sleep, tmp_path / "p"), batch_rows=20, progress=True)
    err = capsys.readouterr().err
    assert "reading" in err and "levels" in err
    with pytest.raises(TypeError, match="options of a batched source for a data frame: batch_rows"):
        qk.lmm(SLEEP, sleep, batch_rows=10)
