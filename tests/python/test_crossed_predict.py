"""Confidence and prediction intervals, of models with one grouping factor and with
several: the widths against the joint covariance of the estimates and the random
effects (Henderson's mixed-model equations), computed densely here from the data's
rows, for known groups, new levels of each factor and of all, with and without the
random effects, weighted or not."""

import warnings
from functools import cache
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quorvelkit as qk

DATA = Path(__file__).resolve().parent.parent / "data"
Z = {0.95: 1.959963984540054, 0.9: 1.6448536269514722}  # normal quantiles at (1 + level) / 2

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


CASES = [
    ("sleepstudy", True, False),
    ("sleepstudy", False, True),
    ("penicillin", True, False),
    ("penicillin", False, True),
    ("vector2", True, True),
    ("vector2", False, False),
    ("pastes", True, True),
    ("vector2_far", True, False),
]


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
