"""Every refusal a user can meet, with its exception type and its words: one row per
(call, exception, message). A message is matched as a fragment of the text (or as a
regular expression where it is compiled), and every message is one line. Calls that
must fail before the core is built run with every LmmCore of the package refusing to
be built."""

import contextlib
import io
import math
import os
import pickle
import re
import shlex
import sys
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from simdesign import random_design

import quorvelkit as qk
from quorvelkit import LmmCore, lmm
from quorvelkit import _quorvelkit as Q
from quorvelkit.__main__ import run
from quorvelkit.sources import RowsUnavailable, SourceError

DATA = Path(__file__).resolve().parent.parent / "data"
FM1 = "Reaction ~ Days + (Days | Subject)"
CHICK = "weight ~ Time * factor(Diet) + (Time | Chick)"
R = re.compile


@pytest.fixture(scope="module")
def t(data, sleep, fm1, sleep_args, tmp_path_factory):
    """What the rows call: data sets, fits, cores and a directory of their own."""
    y, x, z, codes, m = sleep_args
    products = Q.reduce_rows(y, x, z, codes, m, Q.choose_shift(y, x))
    chick = pd.read_csv(DATA / "models" / "chickweight.csv")
    w = np.linspace(0.5, 2.0, len(y))
    batched = lmm(FM1, iter([sleep.iloc[:90], sleep.iloc[90:]]))
    return SimpleNamespace(
        sleep=sleep, fm1=fm1, args=sleep_args, core=LmmCore(*sleep_args), products=products, chick=chick,
        data=data, weighted=LmmCore(y, x, z, codes, m, weights=w), w=w, batched=batched,
        ortho=lmm("distance ~ age * Sex + (age | Subject)", data("orthodont")),
        tmp=tmp_path_factory.mktemp("messages"),
    )


def small(i=None, value=None, **kw):
    """The arguments of a four-row core (y, x, z, codes, n_groups), argument i replaced."""
    args = [np.array([1.0, 2.0, 3.0, 5.0]), np.ones((4, 1)), np.ones((4, 1)), np.array([0, 0, 1, 1]), 2]
    if i is not None:
        args[i] = value
    return lambda t: LmmCore(*args, **kw)


def arr(values, dtype=float):
    return np.array(values, dtype=dtype)


F = np.asfortranarray(np.arange(8.0).reshape(4, 2))
EMPTY = [np.ones(0), np.ones((0, 0)), np.ones((0, 0)), np.zeros(0, dtype=np.int64)]
MISALIGNED = np.zeros(33, dtype=np.uint8)[1:].view(np.float64)
CORE = [  # (call, exception, message): the core's arguments
    (lambda t: LmmCore(*t.args, "Auto"), ValueError,
     "evaluator must be 'auto', 'blocks', 'aggregated' or 'streaming', got \"Auto\""),
    (lambda t: LmmCore(*t.args, 'a"b'), ValueError, r'got "a\"b"'),
    (lambda t: LmmCore(*t.args, 3), TypeError, "evaluator"),
    (small(0, arr([1, 2, 3, 4], np.int64)), TypeError, "'y'"),
    (small(0, [1.0, 2.0, 3.0, 4.0]), TypeError, "'y'"),
    (small(0, np.ones((4, 1))), TypeError, "'y'"),
    (small(0, np.ones(4, dtype=">f8")), TypeError, "'y'"),
    (small(1, np.ones(4)), TypeError, "'x'"),
    (small(2, np.ones((4, 1), dtype=np.float32)), TypeError, "'z'"),
    (small(3, arr([0, 0, 1, 1], np.int32)), TypeError, "'codes'"),
    (small(4, 2.0), TypeError, "n_groups"),
    (small(4, True), TypeError, "n_groups"),
    (small(4, -1), OverflowError, ""),
    (small(4, 2**64), OverflowError, ""),
    (small(0, np.arange(8.0)[::2]), TypeError, "The given array is not contiguous or is misaligned."),
    (small(0, MISALIGNED), TypeError, "misaligned"),
    (small(3, np.zeros(8, dtype=np.int64)[::2]), TypeError, "The given array is not contiguous or is misaligned."),
    (small(1, F), ValueError, "X must be C-contiguous"),
    (small(2, F), ValueError, "Z must be C-contiguous"),
    (small(1, np.ones((3, 1))), ValueError, "y, X, Z and group codes must agree on the row count"),
    (small(3, np.zeros(5, dtype=np.int64)), ValueError, "y, X, Z and group codes must agree on the row count"),
    (small(4, 0), ValueError, "n_groups must be positive"),
    (small(1, np.ones((4, 0))), ValueError, "X must have at least one column"),
    (small(2, np.ones((4, 0))), ValueError, "Z must have at least one column"),
    (lambda t: LmmCore(np.ones(0), np.ones((0, 1)), np.ones((0, 1)), np.zeros(0, dtype=np.int64), 1), ValueError,
     "y must not be empty"),
    # each check is reached only once the earlier ones pass; the evaluator is read first
    (lambda t: LmmCore(*EMPTY, 0), ValueError, "n_groups must be positive"),
    (lambda t: LmmCore(*EMPTY, 1), ValueError, "X must have at least one column"),
    (lambda t: LmmCore(np.arange(8.0)[::2], np.ones((4, 1)), np.ones((4, 1)), np.zeros(4, dtype=np.int64), 1, "x"),
     ValueError, "evaluator must be"),
    (small(4, 2**62), ValueError, "model dimensions overflow the address space"),
    (small(4, 2**60), MemoryError, ""),
    (small(3, arr([0, 0, 2, 5], np.int64)), ValueError, "group code 2 out of range 0..2"),
    (small(3, arr([0, -1, 1, 1], np.int64)), ValueError, "group code -1 out of range 0..2"),
    (small(n_groups=2), TypeError, "multiple values for argument 'n_groups'"),
    (small(evaluatr="auto"), TypeError, "unexpected keyword argument 'evaluatr'"),
    (lambda t: LmmCore(*t.args[:4]), TypeError, "missing required argument 'n_groups'"),
    (lambda t: LmmCore(*t.args, "auto", 1), TypeError, "at most 6"),
    (small(weights=np.ones(4, dtype=np.float32)), TypeError, "argument 'weights': expected an array"),
    (small(weights=[1.0, 1.0, 1.0, 1.0]), TypeError, "argument 'weights'"),
    (small(weights=np.ones((4, 1))), TypeError, "argument 'weights'"),
    (small(weights=np.ones(8)[::2]), TypeError, "not contiguous"),
    (small(weights=np.ones(5)), ValueError, "y has 4 rows, weights has 5 values"),
    (small(weights=arr([1.0, 2.0, -0.5, 1.0])), ValueError, "weights[2] is -0.5: weights must be"),
    (small(weights=arr([1.0, 0.0, 1.0, np.nan])), ValueError, "weights[1] is 0: weights must be"),
    (small(weights=arr([1.0, 1.0, np.inf, 1.0])), ValueError, "weights[2] is inf"),
    (lambda t: setattr(t.core, "n", 3), AttributeError, "attribute 'n'"),
    (lambda t: t.core.lower_bounds(1), TypeError, "takes no arguments"),
    (lambda t: t.core.deviance([1.0], theta=[1.0]), TypeError, "multiple values for argument 'theta'"),
]


def nonfinite(which, bad, evaluator):
    def call(t):
        y, x, z, codes, m = random_design(40, 4, 2, 1)
        a = {"y": y, "x": x.copy(), "z": z.copy()}
        a[which][(3,) if which == "y" else (2, 1) if which == "x" else (5, 0)] = bad
        LmmCore(a["y"], a["x"], a["z"], codes, m, evaluator)

    return call


def new_y(bad):
    return lambda t: t.core.with_response(np.where(np.arange(180) == 7, bad, t.args[0]), *t.args[1:4])


NONFINITE = [
    (nonfinite(which, bad, ev), ValueError, {"y": "y", "x": "X column 1", "z": "Z column 0"}[which]
     + " holds a value that is not finite")
    for which in "yxz" for bad in (math.nan, math.inf, -math.inf, 1e200) for ev in ("auto", "streaming", "aggregated")
] + [(new_y(bad), ValueError, "y holds a value that is not finite") for bad in (math.nan, -math.inf)]

METHODS = ["deviance", "deviance_grad", "solution", "conditional_covariances", "deviance_hessian"]
THETA = [  # (theta, keywords, exception, message), for every method that takes a theta
    ("abc", {}, TypeError, "Can't extract `str` to `Vec`"),
    (3.0, {}, TypeError, "theta"),
    ([1.0, "a", 1.0], {}, TypeError, "theta"),
    ({"a": 1}, {}, TypeError, "theta"),
    ([1.0, 0.0], {}, ValueError, "theta must have 3 entries for q = 2, got 2"),
    ([1.0, 0.0, 1.0, math.nan], {}, ValueError, "theta must have 3 entries for q = 2, got 4"),
    ([1.0, math.nan, math.inf], {}, ValueError, "theta[1] is not finite"),
    ([1.0, 0.0, 1.0], {"reml": 1}, TypeError, "reml"),
    ([1.0, 0.0, 1.0], {"reml": "yes"}, TypeError, "reml"),
    ([1.0, 0.0, 1.0], {"reml": None}, TypeError, "reml"),
    (None, {"reml": True}, TypeError, "missing required argument 'theta'"),
    ([1.0, 0.0, 1.0], {"bogus": 1}, TypeError, "unexpected keyword argument 'bogus'"),
]
THETA_ROWS = [
    (lambda t, m=m, th=th, kw=kw: getattr(t.core, m)(**kw) if th is None else getattr(t.core, m)(th, **kw), e, msg)
    for m in METHODS for th, kw, e, msg in THETA
]

EXACT = "theta is infeasible: the fixed effects fit the response exactly (the residual sum of squares is zero)"


def exact_core(t):
    _, x, z, codes, m = t.args
    return LmmCore(1e7 - 0.25 * x[:, 1], x, z, codes, m)


def edited(**kw):
    def call(t):
        d = {k: v for k, v in t.products.items() if kw.get(k, 0) is not None}
        d.update({k: v(d[k].copy()) if callable(v) else v for k, v in kw.items() if v is not None})
        LmmCore.from_products(d)

    return call


def at(index, value):
    def put(a):
        a[index] = value
        return a

    return put


def other_version(t):
    state, tag = pickle.dumps(t.core), qk.__version__.encode()
    assert state.count(tag) == 1
    pickle.loads(state.replace(tag, b"0.1.7"[: len(tag)].ljust(len(tag), b"0")))


def restore(cls, cut=0):
    def call(t):
        fn, (_, raw) = t.core.__reduce__()
        fn(cls, raw[: len(raw) - cut])

    return call


FIT_AND_STATE = [
    (lambda t: t.core.fit([]), ValueError, "starts must be a non-empty multiple of the theta length"),
    (lambda t: t.core.fit([1.0, 0.0]), ValueError, "starts must be a non-empty multiple of the theta length"),
    (lambda t: t.core.fit([1.0, math.nan]), ValueError, "starts[1] is not finite"),
    (lambda t: t.core.fit([1.0, 0.0, 1.0, math.inf]), ValueError, "starts[3] is not finite"),
    (lambda t: t.core.fit("101"), TypeError, "Can't extract `str` to `Vec`"),
    (lambda t: t.core.fit(5), TypeError, "starts"),
    (lambda t: t.core.fit([1.0, 0.0, 1.0], reml=0), TypeError, "reml"),
    (lambda t: t.core.fit([1.0, 0.0, 1.0], max_iter=2.5), TypeError, "max_iter"),
    (lambda t: t.core.fit([1.0, 0.0, 1.0], max_iter=-1), OverflowError, "max_iter"),
    (lambda t: t.core.fit([1.0, 0.0, 1.0], gtol="x"), TypeError, "gtol"),
    (lambda t: t.core.fit([1.0, 0.0, 1.0], ftol=None), TypeError, "ftol"),
    (lambda t: t.core.fit([1.0, 0.0, 1.0], tol=1.0), TypeError, "unexpected keyword argument 'tol'"),
    (lambda t: t.core.fit([1e200, 0.0, 1e200]), RuntimeError, "theta is infeasible"),
    (lambda t: t.core.solution([1e200, 0.0, 1e200]), RuntimeError, "theta is infeasible"),
    (lambda t: t.core.conditional_covariances([1e200, 0.0, 1e200]), RuntimeError, "theta is infeasible"),
    (lambda t: exact_core(t).fit([1.0, 0.0, 1.0]), RuntimeError, R(f"^{re.escape(EXACT)}$")),
    (lambda t: exact_core(t).solution([0.5, 0.0, 0.5]), RuntimeError, R(f"^{re.escape(EXACT)}$")),
    (lambda t: exact_core(t).conditional_covariances([0.5, 0.0, 0.5]), RuntimeError, R(f"^{re.escape(EXACT)}$")),
    # with_response: the same design (codes, x, z, weights checked by fingerprint)
    (lambda t: t.core.with_response(*t.args[:3], np.roll(t.args[3], 1)), ValueError,
     "the group codes differ from the ones the design was prepared with"),
    (lambda t: t.core.with_response(*(a[:10] for a in t.args[:4])), ValueError,
     "the prepared design has 180 rows, 2 fixed and 2 random columns; the arrays passed do not match it"),
    (lambda t: t.core.with_response(t.args[0][:10], *t.args[1:4]), ValueError, "agree on the row count"),
    (lambda t: t.core.with_response(*t.args[:3], t.args[3].astype(np.int32)), TypeError, "'codes'"),
    (lambda t: t.weighted.with_response(*t.args[:4]), ValueError, "prepared with weights: pass the same weights"),
    (lambda t: t.weighted.with_response(*t.args[:4], weights=t.w[::-1].copy()), ValueError, "weights differ"),
    (lambda t: t.weighted.with_response(*t.args[:4], weights=t.w * (1 + 1e-15)), ValueError, "weights differ"),
    (lambda t: t.core.with_response(*t.args[:4], weights=t.w), ValueError, "prepared without weights"),
    (lambda t: t.weighted.with_response(*t.args[:4], t.w), TypeError, "at most 4 positional"),
    (lambda t: t.core.deviance_hessian([1.0]), ValueError, "theta must have 3 entries for q = 2, got 1"),
    # pickles: another version, a damaged state, another class
    (other_version, ValueError, R(r"^this LmmCore was pickled by quorvelkit 0\.1\.7.*cannot read it")),
    (restore(LmmCore, 8), ValueError, "not a whole state"),
    (restore(int), TypeError, ""),
    # products as values
    (edited(zty=None), ValueError, "products lacks the key 'zty'"),
    (edited(ztx=lambda a: a[:, :, :1]), ValueError, "'ztx' has shape (18, 2, 1), expected (18, 2, 2)"),
    (edited(counts=at(3, -1)), ValueError, "negative row count (group 3)"),
    (edited(ztz=at((2, 0, 1), 9.0)), ValueError, "the ztz block is not symmetric (group 2)"),
    (edited(n=181), ValueError, "add up to 180, not to n = 181"),
    (edited(xty=np.array([np.nan, 1.0])), ValueError, "xty holds a value that is not finite"),
    (edited(m=17), ValueError, "'counts' has shape (18), expected (17)"),
    (lambda t: LmmCore.from_products([1, 2]), TypeError, "products must be a mapping"),
    (lambda t: LmmCore.from_products(t.products).with_response(*t.args[:4]), ValueError,
     "built from products and holds no fingerprints"),
    (lambda t: pickle.loads(pickle.dumps(LmmCore.from_products(t.products))).with_response(*t.args[:4]), ValueError,
     "built from products and holds no fingerprints"),
    (lambda t: Q.merge_products(t.products, Q.reduce_rows(*t.args, None)), ValueError, "different shifts"),
    (lambda t: Q.reduce_rows(*t.args[:3], t.args[3] + 1, 18, None), ValueError, "out of range 0..18"),
    (lambda t: Q.ProductsAccumulator(18, 2, 2, t.products).add_rows(*t.args[:3], t.args[3] + 18), ValueError,
     "out of range"),
    (lambda t: Q.ProductsAccumulator(18, 2, 2, t.products).add_rows(t.args[0], 2 * t.args[1], *t.args[2:4]),
     ValueError, "shift's constant column"),
]


def flat(**columns):
    return lambda t: t.sleep.astype({c: float for c in columns}).assign(
        **{c: t.sleep[c].where(t.sleep.index != 3, v) for c, v in columns.items()}
    )


def ortho_weights(fn):
    return lambda t: lmm("distance ~ age + (1 | Subject)", t.data("orthodont"), weights=fn(t.data("orthodont")))


def chick_offset(fn, formula="weight ~ factor(Diet) + (Time | Chick)"):
    return lambda t: lmm(formula, t.chick, offset=fn(t.chick))


def formula(text):
    return lambda t: lmm(text, t.sleep.assign(y=t.sleep["Reaction"], x1=1.0, x2=2.0, g=1, h=2, site=3, a=1, b=2))


def batches(text, *frames, **kw):
    return lambda t: lmm(text, iter([f(t) for f in frames]), **kw)


SUPPORTED = "random-effects terms on one grouping factor"
BEFORE_THE_CORE = [  # lmm's refusals of formulas, columns and arguments: before any core is built
    (formula("y ~ x1 + (1 | g) + (1 | site)"), qk.FormulaError, R(f"different grouping factors \\(g and site\\).*{SUPPORTED}")),
    (formula("y ~ x1 + (x1 || g) + (1 | g:h)"), qk.FormulaError, "different grouping factors"),
    (formula("y ~ x1 + (x1 ||| g)"), qk.FormulaError, "cannot read"),
    (formula("y ~ x1 + (x1 | g | h)"), qk.FormulaError, "cannot read"),
    (formula("y ~ x1 + (1 | a/b)"), qk.FormulaError, "nested"),
    (formula("y ~ x1"), qk.FormulaError, "no random-effects term"),
    (formula("y ~ x1 + 1 | g"), qk.FormulaError, "parenthesised"),
    (formula("y ~ x1 * (1 | g)"), qk.FormulaError, "parenthesised"),
    (formula("y ~ x1 - (1 | g)"), qk.FormulaError, "subtracted"),
    (formula("~ x1 + (1 | g)"), qk.FormulaError, "no response"),
    (formula("y + (1 | g)"), qk.FormulaError, "no '~'"),
    (formula("y ~ x1 + (1 | g"), qk.FormulaError, "unbalanced"),
    (formula("y ~ x1 + ( | g)"), qk.FormulaError, "nothing left"),
    (formula("y ~ x1 + (1 | )"), qk.FormulaError, "no grouping factor"),
    (formula("y ~ x1 + (1 | g + h)"), qk.FormulaError, "grouping factor must be a column"),
    (formula("y ~ x1 + + (1 | g)"), qk.FormulaError, "operator"),
    (formula("y ~ x1 - offset(x2) + (1 | g)"), qk.FormulaError, "offset cannot be subtracted"),
    (formula("y ~ x1 + offset() + (1 | g)"), qk.FormulaError, "offset() needs an expression"),
    (formula("y ~ x1 + offset(open('m')) + (1 | g)"), qk.FormulaError, "unknown function 'open'"),
    (formula("y ~ foo(x1) + (1 | g)"), qk.FormulaError, "unknown function 'foo'"),
    (formula("y ~ nope + (1 | Subject)"), ValueError, "'nope' not found"),
    (formula("y ~ Days + (1 | nope)"), ValueError, "'nope' not found"),
    (formula("nope ~ Days + (1 | Subject)"), ValueError, "'nope' not found"),
    *[(lambda t, v=v: lmm(FM1, t.sleep, reml=v), TypeError, "reml must be True or False")
      for v in ["FALSE", "TRUE", 0, 1, None, "yes", np.array([True])]],
    (lambda t: lmm(FM1, flat(Days=np.inf)(t)), ValueError, "Days"),
    (lambda t: lmm(FM1, flat(Reaction=-np.inf)(t)), ValueError, "non-finite"),
    (lambda t: lmm("y ~ 1 + (1 | g)", pd.DataFrame({"y": [1.0, 2, 3, 4], "g": ["a"] * 4})), ValueError,
     "more than one level"),
    (lambda t: lmm("y ~ 1 + (1 | g)", pd.DataFrame({"y": [1.0, 2, 3, 4], "g": list("abcd")})), ValueError,
     "less than the number of observations"),
    (lambda t: lmm("Reaction ~ 0 + (1 | Subject)", t.sleep), ValueError, "no columns"),
    (lambda t: lmm("Ozone ~ Wind + (1 | Month)", t.data("airquality").dropna().set_index(np.arange(1000, 1111))
                   .astype({"Ozone": str})), ValueError, "'Ozone' holds numbers stored as text (such as '41.0' in row 1000)"),
    (lambda t: lmm("Wind ~ Ozone + (1 | Month)", t.data("airquality").dropna().set_index(np.arange(1000, 1111))
                   .assign(Wind=lambda d: d["Wind"].map(lambda v: f"{v:g}".replace(".", ",")))), ValueError,
     "'Wind' must be numeric, but it holds '7,4' in row 1000"),
    (ortho_weights(lambda d: d["age"].where(d.index != 5, -1.0)), ValueError, R("weights.*-1.0 in row 5")),
    (ortho_weights(lambda d: d["age"].where(d.index != 7, np.nan)), ValueError, R("weights.*nan in row 7")),
    (ortho_weights(lambda d: d["age"].where(d.index != 9, np.inf)), ValueError, R("weights.*inf in row 9")),
    (ortho_weights(lambda d: d["age"].to_numpy()[:-1]), ValueError, R("weights.*the data has 108 rows, weights has 107|the data has 108 rows, weights has 107")),
    (ortho_weights(lambda d: np.ones((108, 2))), ValueError, R("weights.*shape 108x2")),
    (ortho_weights(lambda d: "Sex"), ValueError, "must be numbers, but they hold 'Male' in row 0"),
    (ortho_weights(lambda d: d["age"] > 9), ValueError, R("weights.*not booleans")),
    (ortho_weights(lambda d: "nope"), ValueError, "'nope' is not in the data"),
    (ortho_weights(lambda d: np.zeros(108)), ValueError, R("weights.*zero in every row the model could use")),
    (ortho_weights(lambda d: 3.0), TypeError, "weights must be a column name"),
    (chick_offset(lambda d: d["o"].to_numpy()[1:]), ValueError, "offset must hold one number per row"),
    (chick_offset(lambda d: None, "weight ~ Time + offset(factor(Chick)) + (1 | Chick)"), ValueError,
     R("offset 'Chick'|must be one number")),
    (chick_offset(lambda d: d["o"].where(d.index != 2, np.inf)), ValueError, "not finite in row 2"),
    (batches("Reaction ~ center(Days) + (1 | Subject)", lambda t: t.sleep), qk.FormulaError,
     "not supported when the data are read in batches"),
    (batches("Reaction ~ poly(Days, 2) + (1 | Subject)", lambda t: t.sleep), qk.FormulaError,
     "not supported when the data are read in batches"),
    (batches(FM1, lambda t: t.sleep, offset="o"), ValueError, "offset= is not supported for data read in batches"),
    (batches(FM1, lambda t: t.sleep, weights=np.ones(180)), TypeError, "must name a column of the source"),
    (batches(FM1, lambda t: t.sleep, lambda t: [1, 2]), TypeError, "batch 1 of the iterator is a list"),
    (batches(FM1, lambda t: t.sleep.drop(columns="Days")), SourceError, "column 'Days' not found in"),
    (batches(FM1, lambda t: t.sleep, lambda t: t.sleep.assign(Reaction=t.sleep.Reaction.astype(str))), SourceError,
     "the response column 'Reaction' must be numeric"),
    (lambda t: lmm(FM1, t.sleep, batch_rows=10), TypeError, "options of a batched source for a data frame: batch_rows"),
]

AFTER_FITTING = [  # what a fitted model refuses
    (lambda t: lmm(FM1, t.sleep.assign(Reaction=3.0 + 10.5 * t.sleep["Days"])), ValueError,
     R(r"^the fixed effects \(\(Intercept\), Days\) fit the response 'Reaction' exactly \(its residuals are zero to "
       r"rounding error\): there is no residual variation to estimate the variance components from$")),
    *[(lambda t, f=f: lmm(f, t.data("chickweight")), ValueError, m) for f, m in [
        ("I(0 * weight + 5) ~ Time + (1 | Chick)", "is constant"),
        ("I(0 * weight + 5) ~ 0 + Time + (1 | Chick)", "is constant"),
        ("I(1 + 2 * Time) ~ Time + (1 | Chick)", "fixed effects ((Intercept), Time) fit the response"),
        ("I(Time^2 - 3 * Time) ~ Time + I(Time^2) + (Time | Chick)", R("fit the response .* exactly")),
        ("I(100 * Diet) ~ Time + factor(Diet) + (1 | Chick)", "exactly"),
    ]],
    (batches(FM1, lambda t: t.sleep.assign(Reaction=5.0)), ValueError, "is constant"),
    (lambda t: lmm(FM1, t.sleep, starts=[1, 0]), ValueError, "starts"),
    (lambda t: t.fm1.refit(t.sleep["Reaction"].to_numpy()[:-1]), ValueError, "observations"),
    (lambda t: t.fm1.refit(np.full(180, np.nan)), ValueError, "non-finite"),
    (lambda t: t.fm1.refit(np.full(180, 3.0)), ValueError, "new response is constant"),
    (lambda t: t.fm1.refit(1 + 2 * t.sleep["Days"]), ValueError, "exactly"),
    (lambda t: t.fm1.bootstrap(0), ValueError, "positive"),
    (lambda t: qk.anova(t.fm1, lmm("Reaction ~ Days + (1 | Subject)", t.sleep.iloc[:170])), ValueError, "same data"),
    (lambda t: qk.anova(t.fm1), ValueError, "two"),
    (lambda t: qk.anova(t.fm1, t.fm1.refit_ml(), refit=False), ValueError, "REML and ML"),
    (lambda t: qk.anova(lmm("weight ~ Time + (1 | Chick)", t.chick, weights="w", reml=False),
                        lmm("weight ~ Time + (Time | Chick)", t.chick, reml=False)), ValueError, "same prior weights"),
    *[(lambda t, L=L: t.ortho.contrast(L), ValueError, m) for L, m in [
        ([0, 1, 0], "one column per fixed effect"), (np.zeros((2, 5)), "one column per fixed effect"),
        (np.zeros((0, 4)), "at least one row"), ([0, np.nan, 0, 1], "non-finite"),
        (pd.DataFrame({"agee": [1.0]}), "not fixed effects"), ([["a", "b", "c", "d"]], "numeric")]],
    (lambda t: lmm("distance ~ age + Sex + I(2 * age) + (1 | Subject)", t.data("orthodont")).anova_terms(), ValueError,
     "rank deficient"),
    # predictions for new data
    (lambda t: lmm("distance ~ age + C(Sex) + (1 | Subject)", t.data("orthodont")).predict(
        pd.DataFrame({"Subject": ["M01"], "Sex": ["Other"], "age": [8.0]})), ValueError, "newdata"),
    (lambda t: t.fm1.predict(pd.DataFrame({"Days": [1.0, 2.0], "Subject": [308, 999]})), ValueError,
     R("999.*allow_new_levels=True")),
    (lambda t: t.fm1.predict(pd.DataFrame({"Days": [1.0, 2.0], "Subject": ["m308", "3O8"]})), ValueError,
     R("'m308', '3O8'.*allow_new_levels=True")),
    (lambda t: t.fm1.predict(pd.DataFrame({"Days": [1.0, 2.0], "Subject": [308, None]})), ValueError,
     R("missing.*allow_new_levels=True")),
    (lambda t: t.fm1.predict(t.sleep, allow_new_levels="True"), TypeError, "allow_new_levels"),
    (lambda t: t.fm1.predict(t.sleep, interval="tolerance"), ValueError, "interval"),
    (lambda t: t.fm1.predict(t.sleep, interval="confidence", level=1.5), ValueError, "level"),
    (lambda t: t.fm1.predict(t.sleep, interval="prediction", level=0), ValueError, "level"),
    (lambda t: t.fm1.predict(t.sleep, interval="confidence", level="0.9"), TypeError, "level"),
    (lambda t: lmm(CHICK, t.chick, offset=t.chick["o"].to_numpy()).predict(t.chick), ValueError,
     "offset was given as an array"),
    (lambda t: lmm(CHICK, t.chick, weights="w").predict(t.chick.drop(columns="w"), interval="prediction"), ValueError,
     "lacks the weights column 'w'"),
    # a fit from batches has no rows
    *[(lambda t, a=a: getattr(t.batched, a), RowsUnavailable, R(r"needs the rows.*fit.predict\(batch\)"))
      for a in ("fitted", "residuals", "response", "fittedvalues", "resid")],
    (lambda t: t.batched.predict(), RowsUnavailable, ""),
    (lambda t: t.batched.refit(t.sleep.Reaction), RowsUnavailable, ""),
    (lambda t: t.batched.simulate(2), RowsUnavailable, ""),
    (lambda t: t.batched.bootstrap(5), RowsUnavailable, ""),
    (lambda t: t.batched.predict(t.sleep, interval="prediction"), RowsUnavailable, "prediction interval"),
]


class CliError(Exception):
    pass


def cli(line, written=None):
    """A command line ({d}: tests/data, {t}: the row's directory), with a file written
    first: bytes, text, or cells of sleepstudy changed ({column: (row, value)})."""

    def call(t):
        tmp = t.tmp / f"cli{abs(hash(line)) % 10**8}"
        tmp.mkdir(exist_ok=True)
        if isinstance(written, dict):
            frame = pd.read_csv(DATA / "sleepstudy_data.csv").astype(object)
            for col, (row, value) in written.items():
                frame.loc[row, col] = value
            frame.to_csv(tmp / "data.csv", index=False)
        elif written is not None:
            (tmp / "data.csv").write_bytes(written if isinstance(written, bytes) else written.encode())
        out, err, here = io.StringIO(), io.StringIO(), os.getcwd()
        os.chdir(tmp)  # where mkdir('m') or touch m would write
        try:
            with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
                code = run(shlex.split(line.format(d=DATA, t=tmp)))
        finally:
            os.chdir(here)
        assert code != 0 and out.getvalue() == "" and not (tmp / "m").exists()
        assert err.getvalue().startswith("error: ")
        raise CliError(err.getvalue().removesuffix("\n"))

    return call


CLI = [  # the command line: one line on stderr, nothing on stdout, a non-zero status
    (cli(f"{{t}}/nope.csv '{FM1}'"), "no such file"),
    (cli(f"{{t}} '{FM1}'"), "directory"),
    (cli(f"{{t}}/data.csv '{FM1}'", ""), "empty"),
    (cli(f"{{t}}/data.csv '{FM1}'", "Reaction,Days,Subject\n"), "no data rows"),
    (cli(f"{{t}}/data.csv '{FM1}'", bytes(range(256)) * 4), "cannot read"),
    (cli("{d}/sleepstudy_data.csv 'Reaction ~ Dayz + (1 | Subject)'"), "'Dayz' not found"),
    (cli("{d}/sleepstudy_data.csv --response RT --group Subject"), "'RT' not found"),
    (cli("{d}/sleepstudy_data.csv 'Reaction ~ Days + (1 | Subject) + (0 + Days | Days)'"), "different grouping"),
    (cli("{d}/chickweight.csv 'weight ~ Time + (1 | Chick)' --weights nope"), "'nope' is not in"),
    (cli("{d}/orthodont.csv 'distance ~ age + (1 | Subject)' --weights Sex"), R("'Sex' .* numeric: 'Male' on line 2")),
    (cli(f"{{t}}/data.csv '{FM1}' --weights Days", {"Days": (6, -1)}), "holds -1 on line 8: weights must be finite"),
    (cli(f"{{t}}/data.csv '{FM1}' --weights Days --drop-missing", {"Days": (6, None)}), "a missing value on line 8"),
    (cli("{d}/sleepstudy_data.csv 'Reaction ~ Days + (1 | Subject'"), "unbalanced"),
    (cli(f"{{t}}/data.csv '{FM1}'", {"Reaction": (4, "abc")}), "'Reaction'"),
    (cli(f"{{t}}/data.csv '{FM1}'", {"Days": (6, "six")}), R("'Days' in .* is not numeric: 'six' on line 8")),
    (cli("{d}/dyestuff_data.csv --response Batch --fixed Yield --group Batch"), R("'Batch' .* not numeric: 'A' on")),
    (cli(f"{{t}}/data.csv '{FM1}'", {"Reaction": (4, None), "Days": (9, None)}),
     R(r"'Reaction' .* 1 missing value \(first on line 6\)")),
    (cli("{t}/data.csv --response Reaction --fixed Days --group Subject", {"Days": (0, None)}),
     R("'Days' .* missing value")),
    (cli(f"{{d}}/sleepstudy_data.csv '{FM1}' --verbose"), "unrecognized"),
    (cli(f"{{d}}/sleepstudy_data.csv '{FM1}' --group Subject"), "not both"),
    (cli("{d}/sleepstudy_data.csv"), "formula"),
    (cli("{d}/sleepstudy_data.csv --response Reaction --group Subject --no-random-intercept"), "no random effects"),
    (cli("{t}/data.csv 'y ~ 1 + (1 | g)'", "y,g\n1,a\n2,a\n3,a\n"), "more than one level"),
    (cli("{d}/star.csv 'math ~ gr + cltype + (1 | id)'"),
     "'gr' in {d}/star.csv is not numeric: 'K' on line 2, among numbers; if it is a factor, write C(gr) or factor(gr)"),
    (cli("{d}/orthodont.csv 'distance ~ I(Sex^2) + (1 | Subject)'"), R("'Sex' .* numeric: 'Male' on line 2")),
    (cli("{t}/data.csv 'uptake ~ conc + (1 | Plant)' --sep ';'", "uptake;conc;Plant\n16,0;95;Qn1\n"),
     R(r"'uptake' .* not numeric: '16,0' on line 2 \(for decimal commas pass --decimal ','\)")),
    (cli("{d}/chickweight.csv 'I(0 * weight + 1) ~ Time + (1 | Chick)'"), "is constant"),
    (cli("{d}/chickweight.csv 'I(3 * Time) ~ Time + (1 | Chick)'"), "exactly"),
    (cli("{d}/chickweight.csv \"weight ~ I(__import__('os').system('touch m')) + (1 | Chick)\""), "may not use"),
    (cli(f"{{d}}/sleepstudy_data.csv '{FM1}' --sep , --decimal ,"), "must differ"),
]


def refuse_cores(monkeypatch):
    """Every LmmCore the package's modules hold refuses to be built."""

    def refused(*a, **k):
        raise AssertionError("a core was built before the refusal")

    for name, mod in list(sys.modules.items()):
        if name.startswith("quorvelkit") and getattr(mod, "LmmCore", None) is LmmCore:
            monkeypatch.setattr(mod, "LmmCore", refused)


ROWS = [(call, exc, msg, False) for call, exc, msg in CORE + NONFINITE + THETA_ROWS + FIT_AND_STATE + AFTER_FITTING]
ROWS += [(call, exc, msg, True) for call, exc, msg in BEFORE_THE_CORE]
ROWS += [(call, CliError, msg, False) for call, msg in CLI]


@pytest.mark.filterwarnings("ignore::quorvelkit.RankDeficiencyWarning")
@pytest.mark.parametrize("call,exc,message,before_core", ROWS, ids=[str(r[2])[:60] for r in ROWS])
def test_refusals_name_what_is_wrong(t, monkeypatch, call, exc, message, before_core):
    if before_core:
        refuse_cores(monkeypatch)
    with pytest.raises(exc) as info:
        call(t)
    text = str(info.value).replace(str(DATA), "{d}")
    if isinstance(message, re.Pattern):
        assert message.search(text), text
    else:
        assert message in text, text
    assert "\n" not in text
