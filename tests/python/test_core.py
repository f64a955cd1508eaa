"""The LmmCore surface (its refusals are in test_messages): the arguments it accepts,
the theta layout, the criterion at lme4's points, the solution dictionary, fit,
with_response, products as values, pickling, subclasses and the interpreter lock."""

import copy
import gc
import math
import pickle
import threading
import time
import warnings
import weakref

import numpy as np
import pytest
from simdesign import random_design

from quorvelkit import LmmCore
from quorvelkit import _quorvelkit as Q

EVALUATORS = ["blocks", "streaming", "aggregated"]
THETA = [0.9, 0.1, 0.3]
Sub = type("Sub", (LmmCore,), {"__module__": __name__})


def test_argument_forms_that_are_accepted(sleep_args):
    y, x, z, codes, m = sleep_args
    readonly = np.lib.stride_tricks.as_strided(y, writeable=False)
    core = LmmCore(readonly, np.asfortranarray(x[:, :1]), z, codes, np.uint8(18), evaluator="blocks")
    assert (core.n, core.p, core.q, core.m, core.n_theta) == (180, 1, 2, 18, 3)
    core = LmmCore(*sleep_args[:4], np.int64(m))  # codes.max() + 1 is a NumPy integer
    want = core.deviance(theta=[1.0, 0.0, 1.0], reml=True)
    for theta in ([1.0, 0.0, 1.0], (1, 0, 1), np.array([1.0, 0.0, 1.0]), [np.float32(1), np.int64(0), 1.0]):
        for reml in (True, np.True_, np.bool_(True)):
            assert core.deviance(theta, reml) == want
    for method in ("deviance_grad", "solution", "conditional_covariances"):
        kw = getattr(core, method)(theta=[1.0, 0.0, 1.0], reml=False)
        pos = getattr(core, method)([1.0, 0.0, 1.0], False)
        assert repr(kw) == repr(pos), method


@pytest.mark.parametrize("shared,requested,expected,classes", [
    (True, "auto", "aggregated", 1), (True, "aggregated", "aggregated", 1), (True, "blocks", "blocks", None),
    (True, "streaming", "streaming", None), (False, "auto", "blocks", None)])  # fmt: skip
def test_evaluator_resolution(sleep_args, shared, requested, expected, classes):
    # sleepstudy shares one Z_i'Z_i (one class); classes of 500 groups of random rows do not pay
    core = LmmCore(*(sleep_args if shared else random_design(4000, 500, 2, 2)), requested)
    assert (core.evaluator, core.n_classes) == (expected, classes)


@pytest.mark.parametrize("q,bounds,default,index", [
    (1, [0.0], [1.0], [(0, 0)]),
    (2, [0.0, -math.inf, 0.0], [1.0, 0.0, 1.0], [(0, 0), (1, 0), (1, 1)]),
    (3, [0.0, -math.inf, -math.inf, 0.0, -math.inf, 0.0], [1.0, 0.0, 0.0, 1.0, 0.0, 1.0],
     [(0, 0), (1, 0), (2, 0), (1, 1), (2, 1), (2, 2)])])  # fmt: skip
def test_theta_layout(q, bounds, default, index):
    core = LmmCore(*random_design(200, 10, 1, q))
    assert (core.lower_bounds(), core.default_theta(), core.theta_index()) == (bounds, default, index)


def test_solution_and_fit_dictionaries(sleep_args):
    core = LmmCore(*sleep_args)
    sol = core.solution([1.0, 0.0, 1.0])
    keys = "theta deviance grad beta cov_beta cov_re random_effects u sigma2 sigma pwrss ldl2 ldrx2 reml n p q m"
    assert list(sol) == keys.split()
    shapes = dict(theta=(3,), grad=(3,), beta=(2,), cov_beta=(2, 2), cov_re=(2, 2), random_effects=(18, 2), u=(18, 2))
    for key, shape in shapes.items():
        assert sol[key].shape == shape and sol[key].dtype == np.float64, key
    assert all(type(sol[k]) is float for k in ["deviance", "sigma2", "sigma", "pwrss", "ldl2", "ldrx2"])
    assert [type(sol[k]) for k in "npqm"] == [int] * 4 and (sol["n"], sol["m"]) == (180, 18)
    assert sol["sigma"] == math.sqrt(sol["sigma2"]) and sol["deviance"] == core.deviance([1.0, 0.0, 1.0])
    ml = core.solution([1.0, 0.0, 1.0], reml=False)
    assert ml["ldrx2"] == 0.0 and ml["reml"] is False and sol["reml"] is True
    assert ml["deviance"] == core.deviance([1.0, 0.0, 1.0], False)
    fit = core.fit([1.0, 0.0, 1.0])
    assert list(fit) == keys.split() + ["converged", "iterations", "fev", "grad_inf_norm", "message"]
    assert type(fit["iterations"]) is int and type(fit["message"]) is str


@pytest.mark.parametrize("evaluator", EVALUATORS)
def test_infeasible_points(sleep_args, evaluator):
    # infinite criterion, NaN gradient and Hessian (solution and fit raise: test_messages)
    core, huge = LmmCore(*sleep_args, evaluator), [1e200, 0.0, 1e200]
    assert core.deviance(huge) == math.inf
    dev, grad = core.deviance_grad(huge)
    assert dev == math.inf and len(grad) == 3 and all(math.isnan(g) for g in grad)
    assert core.deviance_grad([1.0, 0.0, 1.0]) == LmmCore(*sleep_args, evaluator).deviance_grad([1.0, 0.0, 1.0])
    assert math.isnan(LmmCore(*random_design(200, 10, 1, 1), evaluator).deviance_hessian([1e200]))
    assert core.deviance_hessian([1.0, 0.0, 1.0]) is None  # defined for q = 1 only
    # a response the fixed effects fit exactly is infeasible; one 1e-5 of its spread away is not
    _, x, z, codes, m = sleep_args
    line = 1e7 - 0.25 * x[:, 1]
    assert LmmCore(line, x, z, codes, m, evaluator).deviance([1.0, 0.0, 1.0]) == math.inf
    near = line + 1e-5 * 0.25 * np.where(np.arange(180) % 3 == 0, 1.0, -0.5)
    assert math.isfinite(LmmCore(near, x, z, codes, m, evaluator).deviance([1.0, 0.0, 1.0]))


def test_multi_start_rules(sleep_args):
    core = LmmCore(*sleep_args)
    # starts come flat, one theta after another; an infeasible one loses
    good = core.fit([1.0, 0.0, 1.0])
    both = core.fit([1e200, 0.0, 1e200, 1.0, 0.0, 1.0])
    assert both["deviance"] == good["deviance"] and both["fev"] == good["fev"]
    # max_iter = 0: one evaluation at the start, reported with the column whose diagonal
    # is negative reflected (the criterion is even in each column's sign)
    stopped = core.fit([-1.0, -0.5, 1.0], max_iter=0)
    got = [stopped[k] for k in ("iterations", "fev", "converged", "message", "deviance")] + [list(stopped["theta"])]
    assert got == [0, 1, False, "maximum iterations reached", core.deviance([-1.0, -0.5, 1.0]), [1.0, 0.5, 1.0]]


@pytest.mark.parametrize("evaluator", [*EVALUATORS, "auto"])
def test_with_response(sleep_args, evaluator):
    # a new response on the same design is the design built anew, to the bit; another
    # x or z is refused by name
    y, x, z, codes, m = sleep_args
    w, y2 = np.linspace(0.5, 2.0, len(y)), y[::-1].copy()
    for weights in (None, w):
        core = LmmCore(y, x, z, codes, m, evaluator, weights=weights)
        same = core.with_response(y, x, z, codes, weights=None if weights is None else w.copy())
        assert type(same) is LmmCore and (same.evaluator, same.n_classes) == (core.evaluator, core.n_classes)
        assert same.deviance_grad(THETA) == core.deviance_grad(THETA)
        fresh = LmmCore(y2, x, z, codes, m, evaluator, weights=weights)
        assert core.with_response(y2, x, z, codes, weights=weights).deviance_grad(THETA) == fresh.deviance_grad(THETA)
    assert core.deviance(THETA) != LmmCore(y, x, z, codes, m).deviance(THETA)  # the weights count
    core = LmmCore(y, x, z, codes, m, evaluator)
    for k, which in enumerate("xz"):
        other = [x, z]
        other[k] = np.ascontiguousarray(other[k][:, ::-1])
        with pytest.raises(ValueError, match=f"^{which} differs from the array the design was prepared with$"):
            core.with_response(y2, *other, codes)


def test_lost_digits_warning():
    y, x, z, codes, m = random_design(2000, 40, 3, 1, seed=5)
    no_constant = np.column_stack([1.0 + 1e-3 * np.arange(len(y)), x[:, 1:]])

    def warned(core):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            core.solution(core.fit([0.8])["theta"])
        return [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]

    # With a constant column the rows are shifted: no digits lost, whatever the mean.
    assert warned(LmmCore(y + 1e9, x, z, codes, m)) == warned(LmmCore(y, no_constant, z, codes, m)) == []
    # Without one, y is used as given; the loss at the optimum is reported by fit and solution.
    msgs = warned(LmmCore(y + 1e7, no_constant, z, codes, m))
    assert len(msgs) == 2 and "of its 16 significant digits" in msgs[0] and "X has no constant column" in msgs[0]


def test_products_as_values(sleep_args):
    # the binding's dictionaries: the products of all rows build a core that evaluates as
    # the rows' to the bit (batches merged or accumulated: the C++ tests and the batched
    # routes); a mapping whose lookups make new objects reads as the dict it copies
    y, x, z, codes, m = sleep_args
    shift = Q.choose_shift(y, x)
    whole = Q.reduce_rows(y, x, z, codes, m, shift)
    assert whole["n"] == 180 and whole["counts"].sum() == 180 and whole["ztz"].shape == (18, 2, 2)
    for evaluator in EVALUATORS:  # the kernel of the rows' core, and its bits
        rows, built = LmmCore(y, x, z, codes, m, evaluator), LmmCore.from_products(whole, evaluator)
        assert built.evaluator == rows.evaluator == evaluator
        for reml in (True, False):
            assert built.deviance_grad(THETA, reml) == rows.deviance_grad(THETA, reml)
    cuts, acc = [0, 41, 97, 150, 180], Q.ProductsAccumulator(m, 2, 2, shift)
    for a, b in zip(cuts, cuts[1:], strict=False):
        acc.add_rows(y[a:b], x[a:b], z[a:b], codes[a:b])
    # taken out (the records handed back as they are copied): the same bits, and no group left
    order = np.arange(m)[::-1].copy()
    kept = acc.products(order)
    assert (acc.yty, acc.xtx.tobytes()) == (kept["yty"], kept["xtx"].tobytes())
    taken = acc.products(order, release=True)
    assert acc.m == 0 and all(taken[k].tobytes() == kept[k].tobytes() for k in ("ztz", "ztx", "zty", "counts"))

    class Fresh(dict):
        def __getitem__(self, key):
            v = dict.__getitem__(self, key)
            return np.array(v) if isinstance(v, np.ndarray) else type(v)(v)

    assert LmmCore.from_products(Fresh(whole)).deviance(THETA) == LmmCore.from_products(whole).deviance(THETA)
    given = dict(whole)  # taken: the per-group arrays leave the dict as the core copies them
    assert LmmCore.from_products(given, take=True).deviance(THETA) == LmmCore.from_products(whole).deviance(THETA)
    assert not {"counts", "ztz", "ztx", "zty"} & set(given) and given["xtx"] is whole["xtx"]


@pytest.mark.parametrize("evaluator", [*EVALUATORS, "auto"])
def test_pickles_and_copies(evaluator):
    # protocols 2 and up, copies, the fingerprints (with_response still refuses other
    # arrays), products rather than rows (the size does not grow with n); a subclass
    # keeps its class and attributes (with_response builds the base class), and one in
    # a reference cycle through its dict is freed
    y, x, z, codes, m = random_design(3000, 60, 3, 2, seed=8, balanced=evaluator == "aggregated")
    core = Sub(y + 1e6, x, z, codes, m, evaluator)
    core.label = evaluator
    theta = [0.7, 0.2, 0.4]
    copies = [pickle.loads(pickle.dumps(core, protocol=p)) for p in range(2, pickle.HIGHEST_PROTOCOL + 1)]
    for other in [*copies, copy.copy(core), copy.deepcopy(core)]:
        same = ("n", "p", "q", "m", "evaluator", "n_classes", "label")
        assert type(other) is Sub and other is not core
        assert [getattr(other, a) for a in same] == [getattr(core, a) for a in same]
        assert other.deviance_grad(theta) == core.deviance_grad(theta)
        np.testing.assert_array_equal(other.solution(theta)["beta"], core.solution(theta)["beta"])
        again = other.with_response(y, x, z, codes)
        assert type(again) is LmmCore and again.deviance(theta) == core.with_response(y, x, z, codes).deviance(theta)
        with pytest.raises(ValueError, match="x differs"):
            other.with_response(y, np.ascontiguousarray(x[:, ::-1]), z, codes)
    sizes = [len(pickle.dumps(LmmCore(*random_design(n, 50, 3, 2, seed=1), "blocks"))) for n in (1_000, 100_000)]
    assert sizes[0] == sizes[1] < 20_000  # the version a state carries: test_messages
    core.me = core
    gone = weakref.ref(core)
    del core, copies, other
    gc.collect()
    assert gone() is None


def test_interpreter_lock_is_released_during_a_call():
    # Another Python thread runs all through one long call (about 0.3 s, 20 evaluations
    # on 200,000 rows): with the lock held it could not tick at all.
    core = LmmCore(*random_design(200_000, 20_000, 4, 2, seed=3), "blocks")
    ticks, done = [0], threading.Event()

    def counter():
        while not done.is_set():
            ticks[0] += 1
            time.sleep(0)  # gives the lock back at once when the caller wants it

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        while ticks[0] == 0:
            time.sleep(0.001)
        before = ticks[0]
        core.fit(core.default_theta() * 4)
        during = ticks[0] - before
    finally:
        done.set()
        thread.join()
    assert during >= 100, during
