"""Every refusal a user can meet (the command line's: test_cli), with its exception type
and its words: one row per (call, exception, message). A message is a fragment of the
text, or a regular expression where compiled; every message is one line. The rows of
BEFORE_THE_CORE run with every LmmCore of the package refusing to be built: they must
fail before any fit."""

import math
import pickle
import re
import sys
import warnings
from types import MappingProxyType, SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from simdesign import random_design

import quorvelkit as qk
from quorvelkit import LmmCore, lmm
from quorvelkit import _quorvelkit as Q
from quorvelkit._quorvelkit import CrossedCore
from quorvelkit.cores.product_layout import factor_layout
from quorvelkit.cores.products import PartProducts, merge_parts
from quorvelkit.families.response import read_response
from quorvelkit.sources.batch_loop import RowsUnavailable, SourceError

FM1 = "Reaction ~ Days + (Days | Subject)"
CHICK = "weight ~ Time * factor(Diet) + (Time | Chick)"
R, V, T, FE = re.compile, ValueError, TypeError, qk.FormulaError
NAN, INF = math.nan, math.inf


@pytest.fixture(scope="module")
def t(data, model_data, sleep, fm1, sleep_args):
    """What the rows call: data sets, fits and cores."""
    y, x, z, codes, m = sleep_args
    w = np.linspace(0.5, 2.0, len(y))
    return SimpleNamespace(
        sleep=sleep, fm1=fm1, args=sleep_args, core=LmmCore(*sleep_args), data=data, w=w,
        products=Q.reduce_rows(y, x, z, codes, m, Q.choose_shift(y, x)),
        weighted=LmmCore(y, x, z, codes, m, weights=w), exact=LmmCore(1e7 - 0.25 * x[:, 1], x, z, codes, m),
        chick=model_data("chickweight"), batched=lmm(FM1, iter([sleep[:90], sleep[90:]])),
        ortho=lmm("distance ~ age * Sex + (age | Subject)", data("orthodont")),
    )  # fmt: skip


def on(name, attr, /, *args, **kw):
    """A call of ``t.<name>.<attr>(*args, **kw)``."""
    return lambda t: getattr(getattr(t, name), attr)(*args, **kw)


def small(i=None, value=None, **kw):
    """A four-row core (y, x, z, codes, n_groups) with argument i replaced."""
    args = [np.array([1.0, 2.0, 3.0, 5.0]), np.ones((4, 1)), np.ones((4, 1)), np.array([0, 0, 1, 1]), 2]
    return lambda t: LmmCore(*args[:i], value, *args[i + 1 :], **kw) if i is not None else LmmCore(*args, **kw)


def nonfinite(which, bad, evaluator):
    """A core of four groups with ``bad`` in y, x or z (argument 0, 1 or 2)."""
    args = list(random_design(40, 4, 2, 1))
    args[which][[(3,), (2, 1), (5, 0)][which]] = bad
    return lambda t: LmmCore(*args, evaluator)


def products(**kw):
    """LmmCore.from_products of sleepstudy's products with entries removed (None),
    replaced, or changed by a function of a copy."""

    def call(t):
        d = {k: v for k, v in t.products.items() if not (k in kw and kw[k] is None)}
        d.update({k: v(d[k].copy()) if callable(v) else v for k, v in kw.items() if v is not None})
        LmmCore.from_products(d)

    return call


def with_empty_group(t, key, index):
    """sleepstudy's products with a 19th group that has no rows, and a 1 in its block of
    ``key`` at ``index``."""
    pr = Q.reduce_rows(*t.args[:4], 19, Q.choose_shift(*t.args[:2]))
    return LmmCore.from_products(dict(pr, **{key: at(index, 1.0)(pr[key])}))


def plot():
    pytest.importorskip("matplotlib")
    return qk.plot


def at(index, value):
    """A function that sets ``a[index] = value`` and returns ``a``."""
    return lambda a: (a.__setitem__(index, value), a)[1]


def other_version(t):
    state, tag = pickle.dumps(t.core), qk.__version__.encode()
    assert state.count(tag) == 1
    pickle.loads(state.replace(tag, b"0.1.7"[: len(tag)].ljust(len(tag), b"0")))


def from_other_version(fit):
    """Loads a fit whose pickle another version wrote (the fit's own tag, its last)."""

    def call(t):
        state, tag = pickle.dumps(fit(t)), qk.__version__.encode()
        at = state.rindex(tag)
        pickle.loads(state[:at] + b"0.1.7"[: len(tag)].ljust(len(tag), b"0") + state[at + len(tag) :])

    return call


def restore(cls, cut=0):
    def call(t):
        fn, (_, raw) = t.core.__reduce__()
        fn(cls, raw[: len(raw) - cut])

    return call


def batches(text, *frames, **kw):
    return lambda t: lmm(text, iter([f(t) for f in frames]), **kw)


def sleep_lmm(text, **columns):
    """lmm(text) on sleepstudy with columns added; a column given as (row, value) is
    Days or Reaction with that one value changed."""

    def call(t):
        d = t.sleep.assign(y=t.sleep["Reaction"], x1=1.0, x2=2.0, g=1, h=2, site=3, a=1, b=2)
        lmm(text, d.assign(**{c: d[c].astype(float).where(d.index != row, v) for c, (row, v) in columns.items()}))

    return call


def typed(name, text, **cells):
    """lmm(text) on data set ``name`` with cells (column=(row, value)) replaced, the
    column holding objects as pandas reads a CSV with such a cell."""

    def call(t):
        d = t.data(name)
        for c, (row, v) in cells.items():
            d[c] = d[c].astype(object)
            d.loc[row, c] = v
        lmm(text, d)

    return call


def weights(fn):
    return lambda t: lmm("distance ~ age + (1 | Subject)", t.data("orthodont"), weights=fn(t.data("orthodont")))


def offset(fn, text="weight ~ factor(Diet) + (Time | Chick)"):
    return lambda t: lmm(text, t.chick, offset=fn(t.chick))


def air(**kw):
    return lambda t: t.data("airquality").dropna().set_index(np.arange(1000, 1111)).astype(kw)


def new_y(bad):
    return lambda t: t.core.with_response(np.where(np.arange(180) == 7, bad, t.args[0]), *t.args[1:4])


CZ, CC, Y4 = np.ones((4, 1)), np.array([0, 1, 0, 1]), np.arange(4.0)
CROSSED_FACTORS = [(CC, 2, CZ, [1]), (np.array([0, 0, 1, 1]), 2, CZ, [1])]


def crossed(y=Y4, x=CZ, factors=CROSSED_FACTORS, **kw):
    """CrossedCore on four rows and two crossed factors, with arguments replaced."""
    return lambda t: CrossedCore(y, x, factors, **kw)


def crossed_products(change=None, blocks=([1], [1])):
    """CrossedCore.from_products of the products of four rows on two crossed factors,
    ``change`` (a function of the dict) applied first."""

    def call(t):
        pr = Q.reduce_crossed_rows(np.arange(4.0), np.ones((4, 1)), CROSSED_FACTORS, None)
        (change or (lambda p: None))(pr)
        return CrossedCore.from_products(pr, list(blocks))

    return call


def glmm_response(lhs, family="binomial", weights=None):
    """The response of a GLMM (quorvelkit.families.response) read from four rows: successes
    s of s + f trials, labels, labels mixed with numbers, negative weights."""
    d = pd.DataFrame({"s": [1.0, 2, 0, 3], "f": [0.0, 1, 2, 1], "label": list("abab"), "mixed": ["a", "b", 3, "a"],
                      "neg": [1.0, 2, -1, 1], "g": [1, 1, 2, 2]})  # fmt: skip
    return lambda t: read_response(f"{lhs} ~ 1 + (1 | g)", d, family, weights)


def glmm(formula="cbind(s, f) ~ x + (1 | g)", data=None, **kw):
    """qk.glmm on twelve rows: successes s of s + f trials, counts k, a factor y3 of
    three levels, groups g (4) crossed with h (3)."""
    d = pd.DataFrame({"s": [1.0, 2, 0, 3] * 3, "f": [2.0, 1, 2, 1] * 3, "k": [0.0, 4, 1, 2] * 3, "x": np.arange(12.0),
                      "y3": list("abcabcabcabc"), "g": np.repeat([1, 2, 3, 4], 3), "h": [1, 2, 3] * 4})  # fmt: skip
    return lambda t: qk.glmm(formula, d if data is None else data(d), **kw)


def glmm_fitted(t):
    """The fit of glmm()'s twelve rows (on the boundary: its warning is not the point)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qk.SingularFitWarning)
        return glmm()(t)


PENICILLIN = "diameter ~ 1 + (1 | plate) + (1 | sample)"
EXACT = R("^" + re.escape("theta is infeasible: the fixed effects fit the response exactly (the residual sum of "
                          "squares is zero)") + "$")  # fmt: skip
F = np.asfortranarray(np.arange(8.0).reshape(4, 2))
EMPTY = [np.ones(0), np.ones((0, 1)), np.ones((0, 1)), np.zeros(0, dtype=np.int64)]
NOTHING = [np.ones(0), np.ones((0, 0)), np.ones((0, 0)), np.zeros(0, dtype=np.int64)]
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
ROW_COUNT = "y, X, Z and group codes must agree on the row count"
ALL_EVALUATORS = "evaluator must be 'auto', 'blocks', 'aggregated' or 'streaming', got \"Auto\""
THETA = [  # (theta, keywords, exception, message) for every method that takes a theta
    ("abc", {}, T, "Can't extract `str` to `Vec`"), (3.0, {}, T, "theta"), ([1.0, "a", 1.0], {}, T, "theta"),
    ({"a": 1}, {}, T, "theta"), ([1.0, 0.0], {}, V, "theta must have 3 entries for q = 2, got 2"),
    ([1.0, 0.0, 1.0, NAN], {}, V, "theta must have 3 entries for q = 2, got 4"),
    ([1.0, NAN, INF], {}, V, "theta[1] is not finite"), ([1.0, 0.0, 1.0], {"reml": 1}, T, "reml"),
    ([1.0, 0.0, 1.0], {"reml": "yes"}, T, "reml"), ([1.0, 0.0, 1.0], {"reml": None}, T, "reml"),
    ([1.0, 0.0, 1.0], {"bogus": 1}, T, "unexpected keyword argument 'bogus'"),
]  # fmt: skip
# fmt: off
CORE = [  # the core's arguments, calls and state (bad weights and group codes: the C++ tests)
    (lambda t: LmmCore(*t.args, "Auto"), V, ALL_EVALUATORS), (lambda t: LmmCore(*t.args, 'a"b'), V, r'got "a\"b"'),
    (lambda t: LmmCore(*t.args, 3), T, "evaluator"),
    (small(0, np.array([1, 2, 3, 4])), T, "'y'"), (small(0, [1.0, 2.0, 3.0, 4.0]), T, "'y'"),
    (small(0, np.ones((4, 1))), T, "'y'"), (small(0, np.ones(4, dtype=">f8")), T, "'y'"),
    (small(1, np.ones(4)), T, "'x'"), (small(2, np.ones((4, 1), dtype=np.float32)), T, "'z'"),
    (small(3, np.array([0, 0, 1, 1], dtype=np.int32)), T, "'codes'"), (small(4, 2.0), T, "n_groups"),
    (small(4, True), T, "n_groups"), (small(4, -1), OverflowError, ""), (small(4, 2**64), OverflowError, ""),
    (small(0, np.arange(8.0)[::2]), T, NOT_CONTIGUOUS),
    (small(0, np.zeros(33, dtype=np.uint8)[1:].view(np.float64)), T, "misaligned"),
    (small(3, np.zeros(8, dtype=np.int64)[::2]), T, NOT_CONTIGUOUS), (small(1, F), V, "X must be C-contiguous"),
    (small(2, F), V, "Z must be C-contiguous"), (small(1, np.ones((3, 1))), V, ROW_COUNT),
    (small(3, np.zeros(5, dtype=np.int64)), V, ROW_COUNT), (small(4, 0), V, "n_groups must be positive"),
    (small(1, np.ones((4, 0))), V, "X must have at least one column"),
    (small(2, np.ones((4, 0))), V, "Z must have at least one column"),
    (lambda t: LmmCore(np.ones(0), *EMPTY[1:], 1), V, "y must not be empty"),
    # each check is reached once the earlier ones pass; the evaluator is read first
    (lambda t: LmmCore(*NOTHING, 0), V, "n_groups must be positive"),
    (lambda t: LmmCore(*NOTHING, 1), V, "X must have at least one column"),
    (lambda t: LmmCore(np.arange(8.0)[::2], *t.args[1:], "x"), V, "evaluator must be"),
    (small(4, 2**62), V, "model dimensions overflow the address space"), (small(4, 2**60), MemoryError, ""),
    (small(n_groups=2), T, "multiple values for argument 'n_groups'"),
    (small(evaluatr="auto"), T, "unexpected keyword argument 'evaluatr'"),
    (lambda t: LmmCore(*t.args[:4]), T, "missing required argument 'n_groups'"),
    (lambda t: LmmCore(*t.args, "auto", 1), T, "at most 6"),
    # CrossedCore: its factors' tuples, then the rows' values and theta
    (crossed(factors=[]), V, "factors must hold at least one grouping factor"),
    (crossed(factors=5), T, "argument 'factors'"), (crossed(factors=[(CC, 2, CZ)]), T, "factors[0]"),
    (crossed(factors=[(CC.astype(np.int32), 2, CZ, [1])]), T, "factors[0].codes"),
    (crossed(factors=[(CC, 2.0, CZ, [1])]), T, "factors[0].n_levels"),
    (crossed(factors=[(CC, True, CZ, [1])]), T, "factors[0].n_levels"),
    (crossed(factors=[(CC, 0, CZ, [1])]), V, "factors[0].n_levels must be at least 1"),
    (crossed(factors=[(CC, 2, np.ones(4), [1])]), T, "factors[0].z"),
    (crossed(factors=[(CC, 2, np.asfortranarray(np.ones((4, 2))), [2])]), V, "factors[0].z must be C-contiguous"),
    (crossed(factors=[(CC, 2, np.ones((3, 1)), [1])]), V, "codes and z must have one row per row of y"),
    (crossed(factors=[(CC, 2, CZ, [1]), (CC, 1, CZ, [1])]), V, "factor 1: group code 1 out of range 0..1"),
    (crossed(factors=[(CC, 2, CZ, [2])]), V, "factor 0: "), (crossed(factors=[(CC, 2, CZ, "1")]), T, "blocks"),
    (crossed(x=np.ones((3, 1))), V, "y and x must agree on the row count"),
    (crossed(y=np.array([0.0, 1.0, NAN, 2.0])), V, "y holds a value that is not finite"),
    (crossed(x=np.array([[1.0], [1e200], [1.0], [1.0]])), V, "X column 0 holds a value that is not finite"),
    (crossed(factors=[(CC, 2, np.array([[1.0], [INF], [1.0], [1.0]]), [1])]), V,
     "factor 0's Z column 0 holds a value that is not finite"),
    (crossed(weights=np.array([1.0, -1.0, 1.0, 1.0])), V, "weights[1] is not finite and positive"),
    (crossed(weights=np.ones(3)), V, "weights must hold one value per row"),
    (lambda t: crossed()(t).deviance([1.0]), V, "theta must have 2 entries, got 1"),
    (lambda t: crossed()(t).deviance_grad([1.0, NAN]), V, "theta[1] is not finite"),
    (lambda t: crossed()(t).fit([1.0, 1.0, 1.0]), V, "starts must be a non-empty multiple of the theta length"),
    (lambda t: crossed()(t).solution([1e200, 1e200]), RuntimeError, "theta is infeasible"),
    *[(lambda t, a=a: crossed()(t).prediction_variance([1.0, 1.0], *a), e, m) for a, e, m in [
        ((np.ones((2, 2)), [np.zeros(2, np.int64)] * 2, [np.ones((2, 1))] * 2), V, "x must have 1 columns, got 2"),
        ((np.ones((2, 1)), [np.zeros(2, np.int64)], [np.ones((2, 1))] * 2), V, "levels must be a sequence of 2"),
        ((np.ones((2, 1)), [np.zeros(2, np.int64)] * 2, "zz"), V, "z must be a sequence of 2 arrays"),
        ((np.ones((2, 1)), [np.zeros(2, np.int32)] * 2, [np.ones((2, 1))] * 2), T, "levels[0]"),
        ((np.ones((2, 1)), [np.array([0, -2])] * 2, [np.ones((2, 1))] * 2), V, "levels[0] holds -2, outside [-1, 2)"),
        ((np.ones((2, 1)), [np.zeros(2, np.int64), np.array([0, 2])], [np.ones((2, 1))] * 2), V,
         "levels[1] holds 2, outside [-1, 2)"),
        ((np.ones((2, 1)), [np.zeros(3, np.int64)] * 2, [np.ones((2, 1))] * 2), V, "levels[0] must have one row per"),
        ((np.ones((2, 1)), [np.zeros(2, np.int64)] * 2, [np.ones((2, 1)), np.ones((2, 2))]), V,
         "z[1] must have one row per row of x and 1 columns")]],
    (lambda t: crossed()(t).prediction_variance([1e200, 1e200], np.ones((1, 1)), [np.zeros(1, np.int64)] * 2,
                                                [np.ones((1, 1))] * 2), RuntimeError, "theta is infeasible"),
    # CrossedCore.from_products: the products dict, then the blocks
    (crossed_products(lambda p: p.pop("xtx")), V, "products lacks the key 'xtx'"),
    (crossed_products(lambda p: p.update(m=np.array([2]))), V, "m and q must name the same factors, at least one"),
    (crossed_products(lambda p: p["ztz"].__setitem__(1, np.ones((3, 1, 1)))), V,
     "'ztz[1]' has a shape that disagrees with n, p, m and q"),
    (crossed_products(lambda p: p["cross_codes"][0].__setitem__((3, 1), 2)), V,
     "'cross_codes[0]' holds a level out of range (pair 3)"),
    (crossed_products(lambda p: p["cross_codes"].__setitem__(0, p["cross_codes"][0][::-1].copy())), V,
     "cross block (0, 1): pairs are not strictly increasing"),
    (crossed_products(lambda p: p["cross_codes"][0].__setitem__(1, p["cross_codes"][0][0])), V,
     "cross block (0, 1): pairs are not strictly increasing"),
    (crossed_products(lambda p: p["cross_codes"].__setitem__(0, np.zeros(4, np.int64))), V,
     "'cross_codes[0]' must be an int64 array (pairs, 2)"),
    (crossed_products(lambda p: p["cross_values"].__setitem__(0, np.ones((3, 1, 1)))), V,
     "'cross_values[0]' has a shape that disagrees"),
    (crossed_products(lambda p: p["cross_values"][0].__setitem__(2, NAN)), V,
     "cross block (0, 1): a value is not finite"),
    (crossed_products(lambda p: p["zty"][0].__setitem__(0, INF)), V, "factor 0: a block is not finite"),
    (crossed_products(lambda p: p.update(shift_x=np.zeros(2))), V, "'shift_x' has shape (2), expected (1)"),
    (crossed_products(lambda p: p.update(log_weights=1.5)), V, "log_weights must be finite, and 0 without weights"),
    (crossed_products(blocks=[[1]]), V, "blocks must hold one list of term sizes per factor"),
    (crossed_products(blocks=[[1], [2]]), V, "factor 1"),
    (lambda t: CrossedCore.from_products([1.0], [[1]]), T, "expected a mapping (a products dict)"),
    (lambda t: Q.reduce_crossed_rows(np.arange(4.0), np.array([[1.0], [1.0], [2.0], [1.0]]), CROSSED_FACTORS,
                                     {"shift_column": 0, "shift_value": 1.0, "shift_y": 0.0, "shift_x": np.zeros(1)}),
     V, "X column 0 does not hold the shift's constant in row 2"),
    (small(weights=np.ones(4, dtype=np.float32)), T, "argument 'weights': expected an array"),
    (small(weights=[1.0, 1.0, 1.0, 1.0]), T, "argument 'weights'"),
    (small(weights=np.ones((4, 1))), T, "argument 'weights'"), (small(weights=np.ones(8)[::2]), T, "not contiguous"),
    (small(weights=np.ones(5)), V, "y has 4 rows, weights has 5 values"),
    *[(nonfinite(which, bad, ev), V, f"{name} holds a value that is not finite")
      for which, name in [(0, "y"), (1, "X column 1"), (2, "Z column 0")]
      for bad in (NAN, INF, -INF, 1e200) for ev in ("auto", "streaming", "aggregated")],
    (new_y(NAN), V, "y holds a value that is not finite"), (new_y(-INF), V, "y holds a value that is not finite"),
    (lambda t: setattr(t.core, "n", 3), AttributeError, "attribute 'n'"),
    (on("core", "lower_bounds", 1), T, "takes no arguments"),
    (on("core", "deviance", [1.0], theta=[1.0]), T, "multiple values for argument 'theta'"),
    *[(on("core", m, *([] if th is None else [th]), **kw), e, msg)
      for m in ["deviance", "deviance_grad", "solution", "conditional_covariances", "deviance_hessian"]
      for th, kw, e, msg in [*THETA, (None, {"reml": True}, T, "missing required argument 'theta'")]],
    (on("core", "deviance_hessian", [1.0]), V, "theta must have 3 entries for q = 2, got 1"),
    (on("core", "fit", []), V, "starts must be a non-empty multiple of the theta length"),
    (on("core", "fit", [1.0, 0.0]), V, "starts must be a non-empty multiple of the theta length"),
    (on("core", "fit", [1.0, NAN]), V, "starts[1] is not finite"),
    (on("core", "fit", [1.0, 0.0, 1.0, INF]), V, "starts[3] is not finite"),
    (on("core", "fit", "101"), T, "Can't extract `str` to `Vec`"), (on("core", "fit", 5), T, "starts"),
    (on("core", "fit", [1.0, 0.0, 1.0], reml=0), T, "reml"),
    (on("core", "fit", [1.0, 0.0, 1.0], max_iter=2.5), T, "max_iter"),
    (on("core", "fit", [1.0, 0.0, 1.0], max_iter=-1), OverflowError, "max_iter"),
    (on("core", "fit", [1.0, 0.0, 1.0], gtol="x"), T, "gtol"),
    (on("core", "fit", [1.0, 0.0, 1.0], ftol=None), T, "ftol"),
    (on("core", "fit", [1.0, 0.0, 1.0], tol=1.0), T, "unexpected keyword argument 'tol'"),
    (on("core", "fit", [1e200, 0.0, 1e200]), RuntimeError, "theta is infeasible"),
    (on("core", "solution", [1e200, 0.0, 1e200]), RuntimeError, "theta is infeasible"),
    (on("core", "conditional_covariances", [1e200, 0.0, 1e200]), RuntimeError, "theta is infeasible"),
    (on("exact", "fit", [1.0, 0.0, 1.0]), RuntimeError, EXACT),
    (on("exact", "solution", [0.5, 0.0, 0.5]), RuntimeError, EXACT),
    (on("exact", "conditional_covariances", [0.5, 0.0, 0.5]), RuntimeError, EXACT),
    # with_response: the design's own codes, x, z and weights (checked by fingerprint)
    (lambda t: t.core.with_response(*t.args[:3], np.roll(t.args[3], 1)), V,
     "the group codes differ from the ones the design was prepared with"),
    (lambda t: t.core.with_response(*(a[:10] for a in t.args[:4])), V,
     "the prepared design has 180 rows, 2 fixed and 2 random columns; the arrays passed do not match it"),
    (lambda t: t.core.with_response(t.args[0][:10], *t.args[1:4]), V, "agree on the row count"),
    (lambda t: t.core.with_response(*t.args[:3], t.args[3].astype(np.int32)), T, "'codes'"),
    (lambda t: t.weighted.with_response(*t.args[:4]), V, "prepared with weights: pass the same weights"),
    (lambda t: t.weighted.with_response(*t.args[:4], weights=t.w[::-1].copy()), V, "weights differ"),
    (lambda t: t.weighted.with_response(*t.args[:4], weights=t.w * (1 + 1e-15)), V, "weights differ"),
    (lambda t: t.core.with_response(*t.args[:4], weights=t.w), V, "prepared without weights"),
    (lambda t: t.weighted.with_response(*t.args[:4], t.w), T, "at most 4 positional"),
    # pickles of another version, damaged, of another class
    (other_version, V, R(r"^this LmmCore was pickled by quorvelkit 0\.1\.7.*cannot read it")),
    (from_other_version(lambda t: t.fm1), V, R(r"^this LmmFit was pickled by quorvelkit 0\.1\.7.*refit the")),
    (from_other_version(glmm_fitted), V, R(r"^this GlmmFit was pickled by quorvelkit 0\.1\.7.*refit the")),
    (restore(LmmCore, 8), V, "not a whole state"), (restore(int), T, ""),
    # products as values: a mapping that no rows could give
    (products(zty=None), V, "products lacks the key 'zty'"),
    (products(ztx=lambda a: a[:, :, :1]), V, "'ztx' has shape (18, 2, 1), expected (18, 2, 2)"),
    (products(counts=at(3, -1)), V, "negative row count (group 3)"),
    (products(ztz=at((2, 0, 1), 9.0)), V, "the ztz block is not symmetric (group 2)"),
    (products(n=181), V, "add up to 180, not to n = 181"),
    (products(xty=np.array([NAN, 1.0])), V, "xty holds a value that is not finite"),
    (products(m=17), V, "'counts' has shape (18), expected (17)"),
    (products(xtx=at((0, 1), 5.0)), V, "products: xtx is not symmetric"),
    (products(ztx=at((1, 0, 0), NAN)), V, "products: ztx holds a value that is not finite"),
    (products(yty=INF), V, "products: yty holds a value that is not finite"),
    (products(ztz=at((3, 1, 1), -1.0)), V, "products: ztz has a negative diagonal (group 3)"),
    (products(xtx=at((1, 1), -2.0)), V, "products: xtx has a negative diagonal (column 1)"),
    (products(shift_column=2), V, "products: the shift's constant column 2 is not a column of x"),
    (products(shift_x=at(0, 3.0)), V, "products: the shift centres its own constant column"),
    (products(shift_column=-1), V, "products: a shift without a constant column centres values"),
    (products(log_weights=1.5), V, "unweighted products with a weights' constant that is not zero"),
    (products(m=0, counts=np.zeros(0, np.int64), ztz=np.zeros((0, 2, 2)), ztx=np.zeros((0, 2, 2)),
              zty=np.zeros((0, 2))), V, "the products have no group (m = 0)"),
    *[(lambda t, k=k, i=i: with_empty_group(t, k, i), V, "a group without rows has non-zero blocks (group 18)")
      for k, i in [("zty", (18, 1)), ("ztz", (18, 0, 0))]],
    (lambda t: LmmCore.from_products([1, 2]), T, "products must be a mapping"),
    # the minimiser bound for Python objectives: what the objective returns
    (lambda t: Q.minimize(lambda x: 1.0, [0.5, 0.5]), T, "pair"),
    (lambda t: Q.minimize(lambda x: (1.0, [0.0]), [0.5, 0.5]), V, "1 entries for 2 coordinates"),
    (lambda t: Q.minimize(lambda x: ("one", x), [0.5, 0.5]), T, "must be real number"),
    (lambda t: Q.minimize(lambda x: (1.0, "ab"), [0.5, 0.5]), T, "str"),
    (lambda t: LmmCore.from_products(t.products).with_response(*t.args[:4]), V, "built from products and holds no"),
    (lambda t: pickle.loads(pickle.dumps(LmmCore.from_products(t.products))).with_response(*t.args[:4]), V,
     "built from products and holds no fingerprints"),
    (lambda t: merge_parts(*(PartProducts(factor_layout(dict(p)), (pd.Index(range(18)),))
                             for p in (t.products, Q.reduce_rows(*t.args, None)))), V, "reduced with different shifts"),
    (lambda t: Q.reduce_rows(*t.args[:3], t.args[3] + 1, 18, None), V, "out of range 0..18"),
    (lambda t: Q.ProductsAccumulator(18, 2, 2, t.products).add_rows(*t.args[:3], t.args[3] + 18), V, "out of range"),
    (lambda t: Q.ProductsAccumulator(18, 2, 2, t.products).add_rows(t.args[0], 2 * t.args[1], *t.args[2:4]), V,
     "shift's constant column"),
    (lambda t: Q.ProductsAccumulator(18, 2, 2, t.products).products(release=True), V, "release needs the order"),
    (lambda t: LmmCore.from_products(MappingProxyType(t.products), take=True), T, "take needs the products as a dict"),
    # the hash table of group labels: its shape, its count, and a new table too small
    (lambda t: Q.hash_labels(np.zeros(3, np.int64), *[np.zeros(6, np.int64)] * 2, 0, np.zeros(3, np.int64), 0), V,
     "a power of two"),
    (lambda t: Q.hash_labels(np.zeros(3, np.int64), *[np.zeros(8, np.int64)] * 2, 7, np.zeros(3, np.int64), 0), V,
     "more than three quarters"),
    (lambda t: Q.hash_labels(np.zeros(3, np.int64), *[np.zeros(8, np.int64)] * 2, 0, np.zeros(2, np.int64), 0), V,
     "as long as labels"),
    (lambda t: Q.rehash_labels(*[np.zeros(8, np.int64)] * 2, 6, *[np.zeros(4, np.int64)] * 2), V,
     "three quarters of its slots"),
    # finite, but its square overflows: named as the model names the column
    *[(sleep_lmm(f, **{c: (3, 1e200)}), SourceError, f"the {what} column '{name}' has a value whose square, or the "
       "sum of squares, overflows; rescale the column" + (" (group 308)" if what == "random-effects" else ""))
      for f, c, what, name in [
          (FM1, "Reaction", "response", "Reaction"),
          ("y ~ I(2 * x1) + (1 | Subject)", "x1", "fixed-effects", "I(2 * x1)"),
          ("y ~ 1 + (x2 | Subject)", "x2", "random-effects", "x2")]],
]

BEFORE_THE_CORE = [  # formulas, columns and arguments lmm refuses
    # several grouping factors: lme4's checks of each factor, and two names of one factor
    (sleep_lmm("y ~ x1 + (1 | Subject) + (1 | g)"), V, "the grouping factor 'g' must have more than one level, it has"),
    (sleep_lmm("y ~ x1 + (1 | Subject/Days)"), V,
     "the number of levels of 'Days:Subject' (180) must be less than the number of observations (180)"),
    (sleep_lmm("y ~ x1 + (1 | Subject) + (0 + C(Subject) | Days)"), V,
     "the number of observations (180) must exceed the number of random effects (180 = 10 levels x 18 terms)"),
    (sleep_lmm("y ~ x1 + (1 | Subject) + (Days | a:Subject)"), V,
     "the grouping factors 'Subject' and 'a:Subject' group the rows the same way (18 groups, each a level of both)"),
    (sleep_lmm("y ~ x1 + (1 | a:b/c)"), FE, "the left side of '/' must be a column or another nesting"),
    (sleep_lmm("y ~ x1 + (1 | a/(b/c))"), FE, "'/' nests whole grouping factors"),
    (batches("Reaction ~ 1 + (1 | Subject) + (Days | a:Subject)", lambda t: t.sleep.assign(a=1)), V,
     "the grouping factors 'Subject' and 'a:Subject' group the rows the same way (18 groups, each a level of both)"),
    (sleep_lmm("y ~ x1 + (x1 ||| g)"), FE, "cannot read"), (sleep_lmm("y ~ x1 + (x1 | g | h)"), FE, "cannot read"),
    (sleep_lmm("y ~ x1"), FE, "no random-effects term"),
    (sleep_lmm("y ~ x1 + (0 || g)"), FE, "the random-effects term (0 || g) has no columns"),
    (sleep_lmm("y ~ x1 + 1 | g"), FE, "parenthesised"), (sleep_lmm("y ~ x1 * (1 | g)"), FE, "parenthesised"),
    (sleep_lmm("y ~ x1 - (1 | g)"), FE, "subtracted"), (sleep_lmm("~ x1 + (1 | g)"), FE, "no response"),
    (sleep_lmm("y + (1 | g)"), FE, "no '~'"), (sleep_lmm("y ~ x1 + (1 | g"), FE, "unbalanced"),
    (sleep_lmm("y ~ x1 + ( | g)"), FE, "nothing left"), (sleep_lmm("y ~ x1 + (1 | )"), FE, "no grouping factor"),
    (sleep_lmm("y ~ x1 + (1 | g + h)"), FE, "grouping factor must be a column"),
    (sleep_lmm("y ~ x1 + + (1 | g)"), FE, "operator"),
    (sleep_lmm("y ~ x1 - offset(x2) + (1 | g)"), FE, "offset cannot be subtracted"),
    (sleep_lmm("y ~ x1 + offset() + (1 | g)"), FE, "offset() needs an expression"),
    (sleep_lmm("y ~ x1 + offset(open('m')) + (1 | g)"), FE, "unknown function 'open'"),
    # a call is never taken for a factor written as a number
    *[(sleep_lmm(f"y ~ {f}(x1) + (1 | g)"), FE, R(rf"^unknown function '{f}'((?!as a factor).)*$"))
      for f in ("foo", "sine")],
    (sleep_lmm("y ~ C(site, 'foo') + (1 | g)"), FE, "C() takes the contrasts contr.treatment, contr.sum"),
    (sleep_lmm("y ~ C(site, 'sum') + (1 | g)"), FE, "not 'sum'"),  # as R refuses it
    (sleep_lmm("y ~ C(site, contrasts='contr.foo') + (1 | g)"), FE, "not 'contr.foo'"),
    (sleep_lmm("y ~ log(x1, x2) + (1 | g)"), FE, "the base of 'log(x1, x2)'"),
    (sleep_lmm("y ~ log(x1, 1) + (1 | g)"), FE, "positive number other than 1"),
    (sleep_lmm("y ~ log(x1, 2, 3) + (1 | g)"), FE, "log takes x and a base"),
    (sleep_lmm("y ~ bs(Days, df=10**7) + (1 | g)"), FE, "asks for df = 1e+07; a spline's df, degree and number"),
    (sleep_lmm("y ~ bs(Days, 4, degree=200) + (1 | g)"), FE, "asks for degree = 200"),
    (sleep_lmm(f"y ~ cr(Days, knots={list(range(101))}) + (1 | g)"), FE, "asks for knots = 101"),
    (sleep_lmm("y ~ bs(Days, knots=Days) + (1 | g)"), FE, "knots must be a list of numbers"),
    (sleep_lmm("y ~ poly(Days, 10**6) + (1 | g)"), FE, "asks for degree = 1e+06"),
    (sleep_lmm("y ~ poly(Days, degree=x1) + (1 | g)"), FE, "degree must be a number"),
    (sleep_lmm("y ~ Days + (C(Reaction) | Subject)"), FE,
     "the random-effects term (C(Reaction) | Subject) has 180 columns; a random-effects term may have at most 100"),
    (sleep_lmm("y ~ " + " + ".join(f"n{k}" for k in range(7)) + " + (1 | g)"), SourceError,
     "columns 'n0', 'n1', 'n2', 'n3', 'n4' and 2 more not found in the data (columns: Reaction, Days, Subject, y"),
    (sleep_lmm("y ~ nope + (1 | Subject)"), V, "'nope' not found"),
    (sleep_lmm("y ~ Days + (1 | nope)"), V, "'nope' not found"),
    (sleep_lmm("nope ~ Days + (1 | Subject)"), V, "'nope' not found"),
    *[(lambda t, v=v: lmm(FM1, t.sleep, reml=v), T, "reml must be True or False")
      for v in ["FALSE", "TRUE", 0, 1, None, "yes", np.array([True])]],
    (sleep_lmm(FM1, Days=(3, INF)), V, "Days"),
    (sleep_lmm(FM1, Reaction=(3, -INF)), V, "the response column 'Reaction' has a value that is not finite in row 3"),
    (lambda t: lmm("y ~ 1 + (1 | g)", pd.DataFrame({"y": [1.0, 2, 3, 4], "g": ["a"] * 4})), V, "more than one level"),
    (lambda t: lmm("y ~ 1 + (1 | g)", pd.DataFrame({"y": [1.0, 2, 3, 4], "g": list("abcd")})), V,
     "less than the number of observations"),
    (lambda t: lmm("Reaction ~ 0 + (1 | Subject)", t.sleep), V, "no columns"),
    (lambda t: lmm("Ozone ~ Wind + (1 | Month)", air(Ozone=str)(t)), V,
     "'Ozone' holds numbers stored as text (such as '41.0' in row 1000)"),
    (lambda t: lmm("Wind ~ Ozone + (1 | Month)", air()(t).assign(Wind=lambda d: d["Wind"].map(lambda v: f"{v:g}"
     .replace(".", ",")))), V, "'Wind' must be numeric, but it holds '7,4' in row 1000"),
    *[(weights(lambda d, r=r, v=v: d["age"].where(d.index != r, v)), V, R(f"weights.*{v} in row {r}"))
      for r, v in [(5, -1.0), (7, NAN), (9, INF)]],
    (weights(lambda d: d["age"].to_numpy()[:-1]), V, "the data has 108 rows, weights has 107"),
    (weights(lambda d: np.ones((108, 2))), V, R("weights.*shape 108x2")),
    (weights(lambda d: "Sex"), V, "must be numbers, but they hold 'Male' in row 0"),
    (weights(lambda d: d["age"] > 9), V, R("weights.*not booleans")),
    (weights(lambda d: "nope"), V, "'nope' is not in the data"),
    (weights(lambda d: np.zeros(108)), V, R("weights.*zero in every row the model could use")),
    (weights(lambda d: 3.0), T, "weights must be a column name"),
    (offset(lambda d: d["o"].to_numpy()[1:]), V, "offset must hold one number per row"),
    (offset(lambda d: None, "weight ~ Time + offset(factor(Chick)) + (1 | Chick)"), V,
     R("offset 'Chick'|must be one number")),
    (offset(lambda d: d["o"].where(d.index != 2, INF)), V, "not finite in row 2"),
    (batches("Reaction ~ center(Days) + (1 | Subject)", lambda t: t.sleep), FE,
     "not supported when the data are read in batches"),
    (batches("Reaction ~ poly(Days, 2) + (1 | Subject)", lambda t: t.sleep), FE,
     "not supported when the data are read in batches"),
    (batches(FM1, lambda t: t.sleep, offset="o"), V, "offset= is not supported for data read in batches"),
    (batches(FM1, lambda t: t.sleep, weights=np.ones(180)), T, "must name a column of the source"),
    (batches(FM1, lambda t: t.sleep, lambda t: [1, 2]), T, "batch 1 of the iterator is a list"),
    (batches(FM1, lambda t: t.sleep.drop(columns="Days")), SourceError, "column 'Days' not found in"),
    (batches(FM1, lambda t: t.sleep, lambda t: t.sleep.assign(Reaction=t.sleep.Reaction.astype(str))), SourceError,
     "the response column 'Reaction' holds numbers stored as text (such as '249.56' in row 0 of batch 1)"),
    # a column of numbers with text in one row: refused where it is, never a factor of its values
    (typed("sleepstudy", FM1, Days=(8, "1O0")), SourceError, "column 'Days' is not numeric: '1O0' in row 8, among "
     "numbers; if it is a factor, write C(Days) or factor(Days) in the formula"),
    (typed("orthodont", "distance ~ age + Sex + (1 | Subject)", Sex=(7, 12)), SourceError,
     "column 'Sex' mixes text and numbers: 12 in row 7, among text; if it is a factor, write C(Sex)"),
    (typed("orthodont", "distance ~ I(age - 8) + (1 | Subject)", age=(5, "8,5")), SourceError,
     "the column 'age' must be numeric, but it holds '8,5' in row 5, which is not a number"),
    (typed("orthodont", "distance ~ np.log(age) + (1 | Subject)", age=(5, "8.5")), SourceError,
     "the column 'age' holds numbers stored as text (such as '8.5' in row 5)"),
    (typed("orthodont", "distance ~ age + (1 | Subject)", age=(9, "8.5")), SourceError,
     "the column 'age' holds numbers stored as text (such as '8.5' in row 9)"),
    (lambda t: lmm("weight ~ Time + Diet + (1 | Chick)", t.chick.astype({"Diet": str})), SourceError,
     "'Diet' holds numbers stored as text (such as '1' in row 0); convert it first, e.g. with pandas.to_numeric, "
     "or write C(Diet) or factor(Diet) in the formula if it is a factor"),
    (batches(FM1, lambda t: t.sleep.iloc[:90], lambda t: t.sleep.iloc[90:].astype({"Days": object}).assign(
        Days=lambda d: d["Days"].where(d.index != 95, "1O0"))), SourceError,
     "column 'Days' is not numeric: '1O0' in row 95 of batch 1, among numbers; if it is a factor, write C(Days)"),
    (batches(FM1, *[lambda t, k=k: t.sleep.iloc[45 * k : 45 * k + 45] for k in range(3)],
             lambda t: t.sleep.iloc[135:].astype({"Days": str})), SourceError,
     "the column 'Days' holds numbers stored as text (such as '5' in row 135 of batch 3)"),
    (batches(FM1, lambda t: t.sleep.astype({"Days": object}).assign(Days=lambda d: d["Days"].where(
        d.index != 4, "four"))), SourceError, "column 'Days' is not numeric: 'four' in row 4 of batch 0, among"),
    (batches("Reaction ~ 1 + (C(k) | Subject)", lambda t: pd.concat([t.sleep] * 6).assign(k=np.arange(1080) % 1000)),
     FE, R(r"\(C\(k\) \| Subject\) has 1000 columns")),
    (batches("Reaction ~ 1 + " + " + ".join(f"(0 + C(k{j}) | Subject)" for j in range(11)),
             lambda t: pd.concat([t.sleep] * 6).assign(**{f"k{j}": np.arange(1080) % 100 for j in range(11)})),
     SourceError, R("batch 0 has 1 fixed-effects and 1100 random-effects columns, 1212201 numbers.*at most")),
    (lambda t: lmm(FM1, t.sleep, batch_rows=10), T, "options of a batched source for a data frame: batch_rows"),
    (lambda t: lmm(FM1, t.sleep, REML=False), T, "unexpected keyword argument 'REML'; R's REML= is reml= here"),
    # the response of a binomial or Poisson model
    (glmm_response("cbind(s, f)", "poisson"), FE, "cbind(successes, failures) is a binomial response, not a poisson"),
    (glmm_response("cbind(s, f, s)"), FE, "cbind() takes two columns, the successes and the failures"),
    (glmm_response("I(cbind(s, f))"), FE, "cbind(successes, failures) must be the whole response"),
    (glmm_response("label", "Gamma"), V, "a Gamma response must be numbers, but 'label' holds labels"),
    (glmm_response("label", "poisson"), V, "a Poisson response must be counts, but 'label' holds labels"),
    (glmm_response("mixed"), V, "the response 'mixed' mixes labels and numbers (3 in row 2)"),
    (glmm_response("label + 1"), V, "cannot evaluate the response 'label + 1'"),
    (glmm_response("s / f"), V, "the response 's / f' is not finite (inf) in row 0"),
    (glmm_response("cbind(s, f - 1)"), V,
     "the successes 's' of the binomial response 'cbind(s, f - 1)' are above the trials: 1 of 0 in row 0"),
    (glmm_response("cbind(s - 1, f)"), V, "the successes 's - 1' of the binomial response 'cbind(s - 1, f)' must not "
     "be negative: it is -1 in row 2"),
    (glmm_response("s", "poisson", "neg"), SourceError, "the weights column 'neg' must be finite and non-negative"),
    (glmm_response("I(s / 3)", weights="neg"), SourceError, "it holds -1.0 in row 2"),
    (glmm_response("counts", "poisson"), SourceError, "column 'counts' not found in the data"),
    # the model of a binomial or Poisson response
    (glmm(family="compois"), V, "'compois' is not fitted by glmm(): the Conway-Maxwell-Poisson family is not"),
    (glmm(link="log"), V, "the link of the binomial family must be 'logit', 'probit', 'cloglog' (R's names), got"),
    (glmm("k ~ x + (1 | g)", family="poisson", link="sqrt"), V, "the link of the poisson family must be 'log'"),
    *[(glmm(nagq=n), e, m) for n, e, m in [
        (1.0, T, "nagq must be an integer from 0 to 25, got 1.0"), (True, T, "nagq must be an integer"),
        (26, V, "nagq must be an integer from 0 to 25 (lme4's limit), got 26"), (-1, V, "got -1")]],
    (glmm("cbind(s, f) ~ x + (1 | g) + (1 | h)", nagq=2), V,
     "nagq > 1 is only available for models with a single grouping factor (this one has 2)"),
    (glmm("cbind(s, f) ~ x + (1 + x + I(x^2) | g)", data=lambda d: pd.concat([d] * 2), nagq=25), V,
     "nagq = 25 with q = 3 random effects per group takes nagq^q = 15625 quadrature nodes per group, more than 10000"),
    (glmm(nAGQ=9), T, "glmm() got an unexpected keyword argument 'nAGQ'; glmer's nAGQ= is nagq= here"),
    (glmm(famly="poisson"), T, "did you mean family=?"),
    (glmm(ziformula="~1"), T, "unexpected keyword argument 'ziformula'; glmmTMB's ziformula= is zi= here"),
    (glmm(dispformula="~x"), T, "a model of the dispersion (glmmTMB's dispformula=) is not fitted here"),
    (glmm(data=lambda d: iter([d])), T, "an iterator can be read only once: give a list of DataFrames, a callable"),
    (glmm("k ~ x + (1 | g)", data=lambda d: d.assign(k=-d["k"]), family="poisson"), V,
     "the Poisson response 'k' must hold counts, not negative values: it is -4 in row 1"),
    (glmm("I(s / 2) ~ x + (1 | g)"), V, "the binomial response 'I(s / 2)' must hold 0/1 values (or proportions, "
     "weights= giving the trials): it is 1.5 in row 3"),
    (glmm("cbind(s, f - 2) ~ x + (1 | g)"), V, "are above the trials: 2 of 1 in row 1"),
    (lambda t: lmm(FM1, t.sleep, max_iters=5), T, "did you mean max_iter=?"),
    (lambda t: lmm(FM1, iter([t.sleep]), evaluatr="blocks"), T, "did you mean evaluator=?"),
    (lambda t: lmm(FM1, t.sleep, False, options=qk.FitOptions()), T, "options=, or the fit options one by one"),
    (lambda t: lmm(FM1, t.sleep, False, "blocks", None, 3), T, "at most 3 fit options by position"),
]

AFTER_FITTING = [  # what a model and a fitted model refuse
    (lambda t: lmm(FM1, t.sleep.assign(Reaction=3.0 + 10.5 * t.sleep["Days"])), V,
     R(r"^the fixed effects \(\(Intercept\), Days\) fit the response 'Reaction' exactly \(its residuals are zero to "
       r"rounding error\): there is no residual variation to estimate the variance components from$")),
    *[(lambda t, f=f: lmm(f, t.data("chickweight")), V, m) for f, m in [
        ("I(0 * weight + 5) ~ Time + (1 | Chick)", "is constant"),
        ("I(0 * weight + 5) ~ 0 + Time + (1 | Chick)", "is constant"),
        ("I(1 + 2 * Time) ~ Time + (1 | Chick)", "fixed effects ((Intercept), Time) fit the response"),
        ("I(Time^2 - 3 * Time) ~ Time + I(Time^2) + (Time | Chick)", R("fit the response .* exactly")),
        ("I(100 * Diet) ~ Time + factor(Diet) + (1 | Chick)", "exactly"),
        ("I(1e12 + 3 * (Time + 1e6 * 6.7)) ~ I(Time + 1e6 * 6.7) + (1 | Chick)", "exactly")]],
    (batches(FM1, lambda t: t.sleep.assign(Reaction=5.0)), V, "is constant"),
    (lambda t: lmm(FM1, t.sleep, starts=[1, 0]), V, "starts"),
    (on("fm1", "refit", np.ones(179)), V, "observations"), (on("fm1", "refit", np.full(180, NAN)), V, "non-finite"),
    (on("fm1", "refit", np.full(180, 3.0)), V, "new response is constant"),
    (lambda t: t.fm1.refit(1 + 2 * t.sleep["Days"]), V, "exactly"),
    (on("fm1", "bootstrap", 0), V, "positive"),
    *[(on("fm1", "confint", method="profile", **kw), e, m) for kw, e, m in [
        (dict(level=1.0), V, "between 0 and 1"), (dict(level=0.0), V, "between 0 and 1"),
        (dict(level=NAN), V, "between 0 and 1"), (dict(level=True), T, "number"),
        (dict(parm="sd_Days"), V, "no parameter"), (dict(ml="yes"), T, "True or False")]],
    (on("fm1", "confint", method="likelihood"), V, "method must be"),
    (on("fm1", "confint", ml=True), V, "apply to method='profile'"),
    (on("fm1", "profile", zmax=-1), V, "zmax"),
    (lambda t: t.fm1.core.fixed_at(2, 1.0), IndexError, "fixed-effect column"),
    (lambda t: t.fm1.core.fixed_at(1, NAN), V, "finite"),
    (lambda t: t.fm1.core.fixed_at(1, 10.0).with_response(t.args[0], t.args[1][:, :1].copy(), *t.args[2:4]), V,
     "holds no fingerprints of rows"),
    (lambda t: plot().caterpillar(t.fm1, level=1.2), V, "between 0 and 1"),
    (lambda t: plot().caterpillar(t.fm1, factor="Days"), V, "no grouping factor 'Days'; it has 'Subject'"),
    (lambda t: plot().profile_zeta(qk.results.profile.ProfileResult({}, pd.Series(dtype=float), "REML", 0, 0.0)), V,
     "no traces"),
    (lambda t: qk.anova(t.fm1, lmm("Reaction ~ Days + (1 | Subject)", t.sleep.iloc[:170])), V, "same data"),
    (lambda t: qk.anova(t.fm1), V, "two"), (lambda t: qk.anova(t.fm1, t.fm1.refit_ml(), refit=False), V, "REML and ML"),
    (lambda t: qk.anova(lmm("weight ~ Time + (1 | Chick)", t.chick, weights="w", reml=False),
                        lmm("weight ~ Time + (Time | Chick)", t.chick, reml=False)), V, "same prior weights"),
    *[(on("ortho", "contrast", L), V, m) for L, m in [
        ([0, 1, 0], "one column per fixed effect"), (np.zeros((2, 5)), "one column per fixed effect"),
        (np.zeros((0, 4)), "at least one row"), ([0, NAN, 0, 1], "non-finite"),
        (pd.DataFrame({"agee": [1.0]}), "not fixed effects"), ([["a", "b", "c", "d"]], "numeric")]],
    (lambda t: lmm("distance ~ age + Sex + I(2 * age) + (1 | Subject)", t.data("orthodont")).anova_terms(), V,
     "rank deficient"),
    (lambda t: lmm("distance ~ age + C(Sex) + (1 | Subject)", t.data("orthodont")).predict(
        pd.DataFrame({"Subject": ["M01"], "Sex": ["Other"], "age": [8.0]})), V,
     "newdata does not match the fitted model: column 'Sex' has 'Other', not among its 2 levels"),
    (on("fm1", "predict", pd.DataFrame({"Days": ["1", "x"], "Subject": [308, 308]})), SourceError,
     "the column 'Days' must be numeric, but it holds 'x' in row 1 of newdata"),
    (on("fm1", "predict", pd.DataFrame({"Days": [1.0, 2.0], "Subject": [308, 999]})), V, R("999.*allow_new_levels")),
    (on("fm1", "predict", pd.DataFrame({"Days": [1.0, 2.0], "Subject": ["m308", "3O8"]})), V,
     R("'m308', '3O8'.*allow_new_levels=True")),
    (on("fm1", "predict", pd.DataFrame({"Days": [1.0, 2.0], "Subject": [308, None]})), V,
     R("missing.*allow_new_levels=True")),
    *[(lambda t, kw=kw: t.fm1.predict(t.sleep, **kw), e, m) for kw, e, m in [
        (dict(allow_new_levels="True"), T, "allow_new_levels"), (dict(interval="tolerance"), V, "interval"),
        (dict(interval="confidence", level=1.5), V, "level"), (dict(interval="prediction", level=0), V, "level"),
        (dict(interval="confidence", level="0.9"), T, "level")]],
    *[(lambda t, kw=kw: lmm(PENICILLIN, t.data("crossed/penicillin")).predict(**kw), V, m) for kw, m in [
        (dict(interval="tolerance"), "interval must be 'confidence', 'prediction' or None"),
        (dict(interval="prediction", level=1.5), "level")]],
    (lambda t: lmm(CHICK, t.chick, offset=t.chick["o"].to_numpy()).predict(t.chick), V, "offset was given as an array"),
    (lambda t: lmm(CHICK, t.chick, weights="w").predict(t.chick.drop(columns="w"), interval="prediction"), V,
     "lacks the weights column 'w'"),
    *[(lambda t, a=a: getattr(t.batched, a), RowsUnavailable, R(r"needs the rows.*fit.predict\(batch\)"))
      for a in ("fitted", "residuals", "response", "fittedvalues", "resid")],
    (glmm(theta=[1.0, 2.0]), V, "theta must hold 1 finite number (the model's), got [1.0, 2.0]"),
    (glmm(beta=[0.0, NAN]), V, "beta must hold 2 finite numbers (the model's), got [0.0, nan]"),
    (lambda t: glmm_fitted(t).predict(type="probability"), V, "type must be 'link' or 'response', got 'probability'"),
    (lambda t: glmm_fitted(t).residuals("working"), V, "type must be one of 'deviance', 'pearson', 'response', got"),
    (lambda t: glmm_fitted(t).confint(method="likelihood"), V, "method must be 'Wald', 'profile' or 'boot', got"),
    (lambda t: glmm_fitted(t).simulate(0), V, "n must be a positive integer, got 0"),
    (lambda t: glmm_fitted(t).bootstrap(0), V, "n must be a positive number of replicates, got 0"),
    (on("batched", "predict"), RowsUnavailable, ""), (on("batched", "simulate", 2), RowsUnavailable, ""),
    (on("batched", "bootstrap", 5), RowsUnavailable, ""),
    (lambda t: t.batched.refit(t.sleep.Reaction), RowsUnavailable, ""),
    (lambda t: t.batched.predict(t.sleep, interval="prediction"), RowsUnavailable, "a prediction interval needs"),
    (lambda t: t.batched.predict(t.sleep, interval="confidence"), RowsUnavailable, "a confidence interval needs"),
]
# fmt: on


def refuse_cores(monkeypatch):
    """Every LmmCore the package's modules hold refuses to be built."""

    def refused(*a, **k):
        raise AssertionError("a core was built before the refusal")

    for name, mod in list(sys.modules.items()):
        if name.startswith("quorvelkit") and getattr(mod, "LmmCore", None) is LmmCore:
            monkeypatch.setattr(mod, "LmmCore", refused)


ROWS = [(*r, False) for r in CORE + AFTER_FITTING] + [(*r, True) for r in BEFORE_THE_CORE]


@pytest.mark.filterwarnings("ignore::quorvelkit.RankDeficiencyWarning")
@pytest.mark.parametrize("call,exc,message,before_core", ROWS, ids=[str(r[2])[:60] for r in ROWS])
def test_refusals_name_what_is_wrong(t, monkeypatch, call, exc, message, before_core):
    if before_core:
        refuse_cores(monkeypatch)
    with pytest.raises(exc) as info:
        call(t)
    text = str(info.value)
    assert message.search(text) if isinstance(message, re.Pattern) else message in text, text
    assert "\n" not in text
