"""Prediction intervals of models with several grouping factors: the widths against
the joint covariance of the estimates and the random effects, computed densely here
from the data's rows, and a one-factor model through the crossed core against the
one-factor path's intervals."""

import warnings
from functools import cache
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quorvelkit as qk
from quorvelkit._quorvelkit import CrossedCore

DATA = Path(__file__).resolve().parent.parent / "data"
Z95 = 1.959963984540054  # the normal quantile at 0.975

# formula, fixed-effects columns, and the random-effects columns by name
MODELS = {
    "penicillin": ("diameter ~ 1 + (1 | plate) + (1 | sample)", ["1"]),
    "vector2": ("y ~ x + (x | s) + (x | i)", ["1", "x"]),
    "pastes": ("strength ~ 1 + (1 | batch/cask)", ["1"]),  # both factors block diagonal
    "vector2_far": ("y ~ x + (1 | s) + (1 | i)", ["1", "x"]),  # x + 50: the core centres it
}
GROUPS = {"penicillin": ("plate", "sample"), "vector2": ("s", "i"), "pastes": ("batch", "cask"),
          "vector2_far": ("s", "i")}  # fmt: skip


@cache
def data(name, weighted):
    frame = pd.read_csv(DATA / "crossed" / f"{name.removesuffix('_far')}.csv")
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
    k = 0
    for j in range(size):
        for i in range(j, size):
            lam[i, j] = values[k]
            k += 1
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
    """Rows of the data, then rows with a new level of the first factor, of the second
    and of both (the factors named in the formula's order)."""
    groups = GROUPS[name]
    rows = frame.iloc[[0, 7, 30, 41, 55]].copy()
    novel = []
    for which in ([groups[0]], [groups[1]], list(groups)):
        row = frame.iloc[[11, 45]].copy()
        row[which] = "unseen"
        novel.append(row)
    out = pd.concat([rows, *novel], ignore_index=True)
    if "x" in out.columns:
        out["x"] = np.linspace(-1.5, 2.0, len(out))
    if "w" in out.columns:
        out["w"] = np.linspace(0.5, 2.5, len(out))
    return out


CASES = [
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
    fit = fitted(name, reml, weighted)
    frame = data(name, weighted)
    new = new_rows(name, frame)
    # a row with a missing predictor gets NaN throughout, the others their values
    gap = pd.concat([new, new.iloc[[0]].assign(x=np.nan)], ignore_index=True) if "x" in new.columns else new
    got = fit.predict(gap, re=re, allow_new_levels=True, interval=interval)
    assert list(got.columns) == ["fit", "lwr", "upr"] and got.index.equals(gap.index)
    assert got.iloc[len(new) :].isna().all().all()
    got = got.iloc[: len(new)]
    np.testing.assert_array_equal(got["fit"], fit.predict(new, re=re, allow_new_levels=True))
    want = dense_variances(name, fit, frame, new, re=re, interval=interval)
    np.testing.assert_allclose(((got["upr"] - got["fit"]) / Z95) ** 2, want, rtol=1e-10)
    np.testing.assert_allclose(((got["fit"] - got["lwr"]) / Z95) ** 2, want, rtol=1e-10)
    # the fit's own rows, without newdata
    own = fit.predict(re=re, interval=interval)
    np.testing.assert_array_equal(own["fit"], fit.predict(re=re))
    want = dense_variances(name, fit, frame, frame, re=re, interval=interval)
    np.testing.assert_allclose(((own["upr"] - own["fit"]) / Z95) ** 2, want, rtol=1e-10)


@pytest.mark.parametrize("name,reml,weighted", CASES)
def test_prediction_adds_the_residual_variance(name, reml, weighted):
    fit = fitted(name, reml, weighted)
    new = new_rows(name, data(name, weighted))
    conf, pred = (fit.predict(new, allow_new_levels=True, interval=k, level=0.9) for k in ("confidence", "prediction"))
    zq = 1.6448536269514722
    w = new["w"].to_numpy() if weighted else 1.0
    np.testing.assert_allclose(((pred.upr - pred.fit) / zq) ** 2 - ((conf.upr - conf.fit) / zq) ** 2, fit.sigma2 / w,
                               rtol=1e-9)  # fmt: skip


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("weighted", [False, True])
def test_one_factor_through_the_crossed_core_is_the_one_factor_path(data, reml, weighted):
    sleep = data("sleepstudy")
    if weighted:
        sleep["w"] = np.random.default_rng(3).uniform(0.5, 2.0, len(sleep))
    fit = qk.lmm("Reaction ~ Days + (Days | Subject)", sleep, reml=reml, weights="w" if weighted else None)
    x = np.column_stack([np.ones(len(sleep)), sleep["Days"].to_numpy(dtype=float)])
    codes = fit.levels.get_indexer(sleep["Subject"]).astype(np.int64)
    core = CrossedCore(sleep["Reaction"].to_numpy(dtype=float), x, [(codes, len(fit.levels), x, [2])],
                       weights=sleep["w"].to_numpy() if weighted else None)  # fmt: skip
    new = pd.DataFrame({"Days": [0.0, 4.5, 9.0, 3.0, 12.0], "Subject": [308, 330, 372, 999, 308]})
    if weighted:
        new["w"] = [1.0, 0.5, 2.0, 1.5, 0.8]
    x0 = np.column_stack([np.ones(len(new)), new["Days"].to_numpy()])
    level = fit.levels.get_indexer(new["Subject"]).astype(np.int64)
    var = fit.sigma2 * core.prediction_variance(list(fit.theta), x0, [level], [x0], reml=reml)
    var[level < 0] += np.einsum("ia,ab,ib->i", x0[level < 0], fit.cov_re.to_numpy(), x0[level < 0])
    got = fit.predict(new, allow_new_levels=True, interval="confidence")
    np.testing.assert_allclose(((got.upr - got.fit) / Z95) ** 2, var, rtol=1e-10)
