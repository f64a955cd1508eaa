"""Fitted values and predictions for new data: the fit's transforms and codings, group
labels the fit has not seen, labels matched by value across text and numbers; the
widths of confidence and prediction intervals, of models with one grouping factor and
with several, against the joint covariance of the estimates and the random effects
(Henderson's mixed-model equations) computed densely here from the data's rows, for
known groups, new levels of each factor and of all, with and without the random
effects, weighted or not."""

import warnings
from functools import cache
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose

import quorvelkit as qk
from quorvelkit import lmm

DATA = Path(__file__).resolve().parent.parent / "data"
Z = {0.95: 1.959963984540054, 0.9: 1.6448536269514722}  # normal quantiles at (1 + level) / 2


def synthetic(seed=1, m=30, per=8):
    rng = np.random.default_rng(seed)
    n = m * per
    g = np.repeat(np.arange(m), per)
    x1, x2, u = rng.normal(size=n), rng.normal(size=n), rng.normal(scale=1.5, size=(m, 2))
    site = rng.choice(["north", "south", "east"], n)
    y = 2 + x1 - 0.5 * x2 + 0.3 * x1 * x2 + (site == "south") + u[g, 0] + u[g, 1] * x1 + rng.normal(size=n)
    return pd.DataFrame({"y": y, "x1": x1, "x2": x2, "site": site, "g": g, "a": g % 5, "b": np.where(g < 15, "u", "v")})


def test_fitted_residuals_and_predictions(fm1, sleep):
    x = np.column_stack([np.ones(len(sleep)), sleep["Days"]])
    expected = x @ fm1.fixef.to_numpy() + (x * fm1.ranef["Subject"].loc[sleep["Subject"]].to_numpy()).sum(axis=1)
    assert_allclose(fm1.fitted, expected, 1e-12)
    assert_allclose(fm1.residuals, sleep["Reaction"] - expected, 1e-9, 1e-9)
    assert_allclose(fm1.predict(), fm1.fitted, 0)
    assert_allclose(fm1.predict(re=False), x @ fm1.fixef.to_numpy(), 1e-13)
    assert_allclose(fm1.predict(sleep), fm1.fitted, 1e-12)
    # known groups (also given as text), a new group, a missing label, a missing predictor
    days, labels = [0.0, 5.0, 2.0, 3.0, 1.0, np.nan], [308, 309, 999, None, "308", 308]
    new = pd.DataFrame({"Days": days, "Subject": labels}, index=list("abcdef"))
    b, fixed = fm1.ranef["Subject"], fm1.fixef["(Intercept)"] + fm1.fixef["Days"] * new["Days"]
    random = [b.loc[308] @ [1, 0], b.loc[309] @ [1, 5], 0, 0, b.loc[308] @ [1, 1], 0]
    pred = fm1.predict(new, allow_new_levels=True)
    assert list(pred.index) == list("abcdef")
    assert_allclose(pred.iloc[:5], (fixed + random).iloc[:5], 1e-13)
    assert np.isnan(pred["f"])
    assert_allclose(fm1.predict(new, re=False), fixed, 1e-13)


SITES = [f"C(site)[{s}]" for s in ("east", "north", "south")]


@pytest.mark.parametrize("formula,p,re_names,group,m", [
    ("y ~ x1 * x2 + C(site) + (1 | g)", 6, ["(Intercept)"], "g", 30),
    ("y ~ 1 + (0 + x1 | g)", 1, ["x1"], "g", 30),
    ("y ~ x1 + (1 + x1 | g)", 2, ["(Intercept)", "x1"], "g", 30),
    ("y ~ (1 | g) + x1", 2, ["(Intercept)"], "g", 30),
    ("y ~ x1 - 1 + (1 | g)", 1, ["(Intercept)"], "g", 30),
    ("np.log(y + 100) ~ center(x1) + (1 | g)", 2, ["(Intercept)"], "g", 30),
    ("y ~ x1 + (x1 + x2 | g)", 2, ["(Intercept)", "x1", "x2"], "g", 30),
    ("y ~ x1 + (1 | factor(g))", 2, ["(Intercept)"], "g", 30),
    ("y ~ x1 + (1 | a:b)", 2, ["(Intercept)"], "a:b", 10),
    ("y ~ x1 + (center(x1) || g)", 2, ["(Intercept)", "center(x1)"], "g", 30),
    ("y ~ x1 + (1 + x1 | g) + (0 + C(site) | g)", 2, ["(Intercept)", "x1", *SITES], "g", 30),
])  # fmt: skip
def test_new_data_go_through_the_fits_transforms(formula, p, re_names, group, m):
    df = synthetic()
    fit = lmm(formula, df)
    assert fit.converged and len(fit.fe_names) == p and fit.re_names == re_names
    assert (fit.ngroups, fit.core.q) == ({group: m}, len(re_names))
    # center() keeps the fit's mean, C() its coding, a:b its labels
    assert_allclose(fit.predict(df.iloc[::-3]), fit.fitted.iloc[::-3], 1e-12)


@pytest.mark.parametrize("fit_labels,new_labels,matched", [
    (lambda s: s.astype(float), lambda s: s.astype(str), True),  # 308.0 in the fit, "308" given
    (lambda s: s.astype(str), lambda s: s, True),  # "308" in the fit, 308 given
    (lambda s: s, lambda s: s.astype(float), True),  # 308 and 308.0
    (lambda s: s, lambda s: s.astype(str) + "0", False),  # "3080": another label
], ids=["float-text", "text-int", "int-float", "different"])  # fmt: skip
def test_labels_match_by_value_when_unambiguous(sleep, fit_labels, new_labels, matched):
    # (one label in two types in the fit's data is refused: test_sources)
    fit = lmm("Reaction ~ Days + (1 | Subject)", sleep.assign(Subject=fit_labels(sleep["Subject"])))
    new = sleep.iloc[[0, 10]].assign(Subject=lambda d: new_labels(d["Subject"]))  # subjects 308, 309
    if matched:
        assert_allclose(fit.predict(new), fit.fitted.iloc[[0, 10]], 1e-12)
    else:
        with pytest.raises(ValueError, match="not in the fit"):
            fit.predict(new)


# formula, fixed-effects columns, the grouping columns
MODELS = {
    "sleepstudy": ("Reaction ~ Days + (Days | Subject)", ["1", "Days"], ("Subject",)),
    "penicillin": ("diameter ~ 1 + (1 | plate) + (1 | sample)", ["1"], ("plate", "sample")),
    "vector2": ("y ~ x + (x | s) + (x | i)", ["1", "x"], ("s", "i")),
    "pastes": ("strength ~ 1 + (1 | batch/cask)", ["1"], ("batch", "cask")),  # both factors block diagonal
    "vector2_far": ("y ~ x + (1 | s) + (1 | i)", ["1", "x"], ("s", "i")),  # x + 50: the core centres it
}


@cache
def data(name, weighted):
    stem = name.removesuffix("_far")
    frame = pd.read_csv(DATA / ("sleepstudy_data.csv" if stem == "sleepstudy" else f"crossed/{stem}.csv"))
    if name.endswith("_far"):
        frame["x"] = frame["x"] + 50.0
    for c in frame.columns:
        if frame[c].dtype == object:
            frame[c] = frame[c].astype(str)
    if weighted:
        frame["w"] = np.random.default_rng(7).uniform(0.3, 3.0, len(frame))
    return frame


@cache
def fitted(name, reml, weighted):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qk.SingularFitWarning)
        return qk.lmm(MODELS[name][0], data(name, weighted), reml=reml, weights="w" if weighted else None)


def column(frame, name):
    return np.ones(len(frame)) if name in ("1", "(Intercept)") else frame[name].to_numpy(dtype=float)


def lower_triangle(values, size):
    """lme4's relative covariance factor of one term: its theta column by column."""
    lam = np.zeros((size, size))
    lam[np.triu_indices(size)[::-1]] = values
    return lam


def labels(frame, group):
    """A factor's labels: an interaction "a:b" joins its columns' labels."""
    return frame[group.split(":")].astype(str).agg(":".join, axis=1)


def dense_variances(name, fit, frame, new, *, re, interval):
    """Each row of ``new``: the variance of fit -+ its half width (the whole sum), from
    the dense system A = [ZL, X]'W[ZL, X] + diag(I, 0) of ``frame``'s rows, inverted
    here."""
    fixed = MODELS[name][1]
    x, x0 = (np.column_stack([column(f, c) for c in fixed]) for f in (frame, new))
    w = frame["w"].to_numpy() if "w" in frame.columns else np.ones(len(frame))
    zl, v, draw = [], [], np.zeros(len(new))
    at = 0
    for group, cols in fit.re_terms:
        q = len(cols)
        lam = lower_triangle(fit.theta[at : at + q * (q + 1) // 2], q)
        at += q * (q + 1) // 2
        levels = pd.Index(sorted(labels(frame, group).unique()))
        codes, codes0 = levels.get_indexer(labels(frame, group)), levels.get_indexer(labels(new, group))
        if not re:
            codes0 = np.full(len(new), -1)
        z, z0 = (np.column_stack([column(f, c) for c in cols]) for f in (frame, new))
        zt = np.zeros((len(frame), len(levels), q))
        zt[np.arange(len(frame)), codes] = z @ lam  # rows of Z Lambda
        zl.append(zt.reshape(len(frame), -1))
        vt = np.zeros((len(new), len(levels), q))
        known = codes0 >= 0
        vt[np.flatnonzero(known), codes0[known]] = z0[known] @ lam
        v.append(vt.reshape(len(new), -1))
        if re or interval == "prediction":  # a new level's fresh draw
            draw[~known] += fit.sigma2 * np.einsum("ia,ab,ib->i", z0[~known], lam @ lam.T, z0[~known])
    m = np.column_stack([*zl, x])
    a = m.T @ (m * w[:, None])
    nq = m.shape[1] - x.shape[1]
    a[:nq, :nq] += np.eye(nq)
    v = np.column_stack([*v, x0])
    var = fit.sigma2 * np.einsum("ij,ji->i", v, np.linalg.solve(a, v.T)) + draw
    if interval == "prediction":
        var += fit.sigma2 / (new["w"].to_numpy() if "w" in new.columns else 1.0)
    return var


def new_rows(name, frame):
    """Rows of the data, then rows with a new level of each factor and of all (the
    factors named in the formula's order); the covariate spread over a range."""
    _, fixed, groups = MODELS[name]
    rows = frame.iloc[[0, 7, 30, 41, 55]].copy()
    novel = []
    for which in [[g] for g in groups] + ([list(groups)] if len(groups) > 1 else []):
        row = frame.iloc[[11, 45]].copy()
        row[which] = "unseen"
        novel.append(row)
    out = pd.concat([rows, *novel], ignore_index=True)
    for c in fixed[1:]:
        out[c] = np.linspace(-1.5, 2.0, len(out))
    if "w" in out.columns:
        out["w"] = np.linspace(0.5, 2.5, len(out))
    return out


# (model, REML, weighted)
CASES = [("sleepstudy", True, False), ("sleepstudy", False, True), ("penicillin", True, False),
         ("penicillin", False, True), ("vector2", True, True), ("vector2", False, False), ("pastes", True, True),
         ("vector2_far", True, False)]  # fmt: skip


@pytest.mark.parametrize("name,reml,weighted", CASES)
@pytest.mark.parametrize("interval", ["confidence", "prediction"])
@pytest.mark.parametrize("re", [True, False])
def test_widths_are_the_dense_systems(name, reml, weighted, interval, re):
    # prediction intervals at level 0.9, confidence intervals at the default 0.95
    fit = fitted(name, reml, weighted)
    frame = data(name, weighted)
    new = new_rows(name, frame)
    level = 0.9 if interval == "prediction" else 0.95
    kw = dict(re=re, interval=interval) | ({"level": level} if level != 0.95 else {})
    # a row with a missing predictor gets NaN throughout, the others their values
    covariates = MODELS[name][1][1:]
    gap = pd.concat([new, new.iloc[[0]].assign(**dict.fromkeys(covariates, np.nan))], ignore_index=True)
    gap = gap if covariates else new
    got = fit.predict(gap, allow_new_levels=True, **kw)
    assert list(got.columns) == ["fit", "lwr", "upr"] and got.index.equals(gap.index)
    assert got.iloc[len(new) :].isna().all().all()
    got = got.iloc[: len(new)]
    np.testing.assert_array_equal(got["fit"], fit.predict(new, re=re, allow_new_levels=True))
    want = dense_variances(name, fit, frame, new, re=re, interval=interval)
    np.testing.assert_allclose(((got["upr"] - got["fit"]) / Z[level]) ** 2, want, rtol=1e-10)
    np.testing.assert_allclose(((got["fit"] - got["lwr"]) / Z[level]) ** 2, want, rtol=1e-10)
    # the fit's own rows, without newdata
    own = fit.predict(**kw)
    np.testing.assert_array_equal(own["fit"], fit.predict(re=re))
    want = dense_variances(name, fit, frame, frame, re=re, interval=interval)
    np.testing.assert_allclose(((own["upr"] - own["fit"]) / Z[level]) ** 2, want, rtol=1e-10)
