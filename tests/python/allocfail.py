"""The allocation-failure sweep, in the manner of SQLite's out-of-memory tests, run in
a child interpreter with ``failing_new.cpp`` preloaded (see test_out_of_memory.py).

For one call of the extension, fail its k-th ``operator new`` for k = 1, 2, ... until
the call completes without reaching a k-th allocation. Every attempt must raise
MemoryError or return the result of the call without failures, bit for bit; what the
call leaves behind (the objects it was called on, or the object it built) must then
give the reference results; a call that changes its object (a batch added) must leave
it as it was when it raises; and the live allocations after the sweep must be those
before it. Run as ``python -m allocfail [--persistent] [--leaks] DESIGN [CASE...]``;
prints one JSON line per case.
"""

from __future__ import annotations

import ctypes
import gc
import itertools
import json
import sys
from collections.abc import Callable
from dataclasses import dataclass
from functools import cache, partial
from typing import Any

import numpy as np
from simdesign import glmm_rows, random_design
from test_crossed_core import crossed_rows

from quorvelkit import _quorvelkit as Q

SHIM = ctypes.CDLL(None)  # the preloaded library's functions, found in the process's global scope
for _name in ("failing_new_seen", "failing_new_failed", "failing_new_failed_elsewhere", "failing_new_live"):
    getattr(SHIM, _name).restype = ctypes.c_long
SHIM.failing_new_arm.argtypes = (ctypes.c_long, ctypes.c_int)

FAILED = object()


# Keys of a core's report that read the clock (how long its start took), not results.
CLOCK_KEYS = frozenset({"start_seconds"})


def same(a: Any, b: Any) -> bool:
    """Equal to the bit: arrays by dtype, shape and bytes, floats by their bits; a
    dict's clock readings (:data:`CLOCK_KEYS`) only present in both."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        arrays = isinstance(a, np.ndarray) and isinstance(b, np.ndarray)
        return arrays and a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    if isinstance(a, float) and isinstance(b, float):
        return np.float64(a).tobytes() == np.float64(b).tobytes()
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a if k not in CLOCK_KEYS)
    if isinstance(a, list | tuple) and isinstance(b, list | tuple):
        return type(a) is type(b) and len(a) == len(b) and all(map(same, a, b))
    return type(a) is type(b) and a == b


@dataclass
class Case:
    """``setup()`` makes what the call works on (without failures), ``call(state)`` is
    the call under test, ``observe(state, out)`` what must match the reference (out is
    FAILED after a MemoryError). ``mutates``: the call changes its state, so it is
    repeated only after a failure, and a failure must leave the state unchanged.
    ``consumes``: the call uses its state up, success or failure (it is not repeated).
    ``long``: swept only when named."""

    setup: Callable[[], Any]
    call: Callable[[Any], Any]
    observe: Callable[[Any, Any], Any] = lambda state, out: out
    mutates: bool = False
    consumes: bool = False
    long: bool = False  # swept only when named: too many allocations for every mode


def armed(call: Callable[[Any], Any], state: Any, k: int, persistent: bool) -> Any:
    SHIM.failing_new_arm(k, int(persistent))
    try:
        return call(state)
    except MemoryError:
        return FAILED
    finally:
        SHIM.failing_new_disarm()


def failure_round(case: Case, k: int, persistent: bool, calls: int) -> int:
    """The interpreter's blocks after `calls` calls failing at the k-th allocation, less
    those before. A collection (which empties the free lists too) before and after
    makes the count exact up to the round's own bookkeeping, the same in every round."""
    states = [case.setup() for _ in range(calls)]
    gc.collect()
    blocks = sys.getallocatedblocks()
    for state in states:
        armed(case.call, state, k, persistent)
    gc.collect()
    return sys.getallocatedblocks() - blocks


def repeated_failure_blocks(case: Case, k: int, persistent: bool) -> int:
    """The interpreter's blocks left behind by two calls failing at the k-th allocation:
    a round of three less a round of one, after a first failure has filled whatever
    caches (the interpreter's, a type's) a failure fills; the smaller of two such
    counts, as a cache may still move in one. An object left behind by each failed call
    shows as one block per call in both."""
    armed(case.call, case.setup(), k, persistent)
    return min(failure_round(case, k, persistent, 3) - failure_round(case, k, persistent, 1) for _ in range(2))


def sweep(name: str, case: Case, persistent: bool = False, leaks: bool = False) -> dict:
    """The sweep of one case; with `leaks`, each failure repeated to count what it
    leaves in the interpreter."""
    state = case.setup()
    reference = case.observe(state, case.call(state))
    if not case.mutates:  # a second call: whatever the first sets up lazily is in place
        case.observe(state, case.call(state))
    state = None
    gc.collect()
    live = SHIM.failing_new_live()
    counts = {"allocations": 0, "memory_errors": 0, "recovered": 0, "failed_on_workers": 0, "python_blocks": 0}
    # Frozen, the objects that exist by now are left out of the collections, which then
    # cost next to nothing.
    gc.freeze()
    try:
        for k in itertools.count(1):
            state = case.setup()
            before = case.observe(state, FAILED) if case.mutates else None
            out = armed(case.call, state, k, persistent)
            seen, failed = SHIM.failing_new_seen(), SHIM.failing_new_failed()
            counts["failed_on_workers"] += SHIM.failing_new_failed_elsewhere()
            where = f"{name}: allocation {k} of {seen}"
            if out is FAILED:
                assert failed, f"{where}: MemoryError without a failed allocation"
                counts["memory_errors"] += 1
                if case.mutates:
                    assert same(case.observe(state, FAILED), before), f"{where}: the failed call changed its object"
                if leaks:
                    counts["python_blocks"] += repeated_failure_blocks(case, k, persistent)
            else:
                assert same(case.observe(state, out), reference), f"{where}: a result other than the reference"
                counts["recovered"] += failed > 0
            if (out is FAILED and not case.consumes) or not case.mutates:
                assert same(case.observe(state, case.call(state)), reference), (
                    f"{where}: a later call gives a result other than the reference"
                )
            if not failed:
                counts["allocations"] = k - 1
                break
    finally:
        gc.unfreeze()
    del state, out, before
    gc.collect()
    return {"case": name, **counts, "leaked": SHIM.failing_new_live() - live}


# ---- the cases -----------------------------------------------------------------------


def fingerprint(core: Any, step: float = -0.2) -> tuple:
    """What a core (LmmCore or CrossedCore) computes at two thetas: its results, not
    its identity."""
    thetas = (core.default_theta(), [0.5 + step * i for i in range(core.n_theta)])
    return tuple((core.deviance_grad(t), core.solution(t)) for t in thetas) + (core.n, core.p, core.q, core.m)


def built(make: Callable[[], Any], look: Callable[[Any], Any] = fingerprint) -> Case:
    """A call that builds a core, judged by what the core computes."""
    return Case(lambda: None, lambda _: make(), lambda _, core: look(core))


def core_cases(design: tuple, evaluator: str) -> dict[str, Case]:
    y, x, z, codes, m = design
    t = [0.7, 0.2, 1.1]
    w = np.linspace(0.5, 2.0, len(y))
    shared = cache(lambda: Q.LmmCore(y, x, z, codes, m, evaluator))
    products = cache(lambda: Q.reduce_rows(y, x, z, codes, m, Q.choose_shift(y, x)))
    state = cache(lambda: shared().__reduce__()[1][1])
    y2 = y[::-1].copy()
    return {
        "construct": built(lambda: Q.LmmCore(y, x, z, codes, m, evaluator)),
        "construct_weighted": built(lambda: Q.LmmCore(y, x, z, codes, m, evaluator, weights=w)),
        "construct_blocks": built(lambda: Q.LmmCore(y, x, z, codes, m, evaluator, blocks=[1, 1])),
        "deviance": Case(shared, lambda c: c.deviance(t)),
        "deviance_ml": Case(shared, lambda c: c.deviance(t, reml=False)),
        "deviance_grad": Case(shared, lambda c: c.deviance_grad(t)),
        "criterion_parts": Case(shared, lambda c: c.criterion_parts(t)),
        "solution": Case(shared, lambda c: c.solution(t)),
        "conditional_covariances": Case(shared, lambda c: c.conditional_covariances(t)),
        "fit": Case(shared, lambda c: c.fit([1.0, 0.0, 1.0])),
        "fit_ml_two_starts": Case(shared, lambda c: c.fit([1.0, 0.0, 1.0, 0.5, 0.1, 0.5], reml=False)),
        "with_response": Case(shared, lambda c: c.with_response(y2, x, z, codes), lambda _, c: fingerprint(c)),
        "fixed_at": Case(shared, lambda c: c.fixed_at(1, 0.25), lambda _, c: fingerprint(c)),
        "from_products": built(lambda: Q.LmmCore.from_products(products(), evaluator)),
        "from_products_take": built(lambda: Q.LmmCore.from_products(dict(products()), evaluator, take=True)),
        "pickle": Case(shared, lambda c: c.__reduce__(), lambda _, r: fingerprint(r[0](*r[1]))),
        "restore": built(lambda: Q._restore_core(Q.LmmCore, state())),
        "small_methods": Case(shared, lambda c: (c.lower_bounds(), c.theta_index(), c.default_theta(), c.n_theta)),
    }


def products_cases(design: tuple) -> dict[str, Case]:
    y, x, z, codes, m = design
    shift = Q.choose_shift(y, x)
    half = len(y) // 2
    first, second = (slice(0, half), slice(half, None))

    def rows(s: slice) -> tuple:
        return y[s].copy(), x[s].copy(), z[s].copy(), codes[s].copy()

    def with_first_batch() -> Any:
        acc = Q.ProductsAccumulator(m, x.shape[1], z.shape[1], shift)
        acc.add_rows(*rows(first))
        return acc

    def columns(s: slice) -> tuple:
        ys, xs, zs, cs = rows(s)
        xcols = [None] + [xs[:, j].copy() for j in range(1, xs.shape[1])]
        zcols = [None] + [zs[:, j].copy() for j in range(1, zs.shape[1])]
        return ys, xcols, zcols, cs

    first_products = with_first_batch().products()

    def take_all(acc: Any) -> Any:
        # Taking the products consumes the records: a failure leaves no group behind
        # (never records half moved), whatever else it leaves as it was.
        try:
            return acc.products(np.arange(m - 1, -1, -1, dtype=np.int64), release=True)
        except MemoryError:
            assert acc.m == 0 or same(acc.products(), first_products), "a failed take left records half moved"
            raise

    # The columns' products leave out constant columns given as None; a design whose
    # first columns are ones gives the same products either way.
    batch_rows, batch_columns = rows(second), columns(second)
    products_of = lambda acc, out: (out, acc.n, acc.m, acc.products())  # noqa: E731
    order = np.arange(m - 1, -1, -2, dtype=np.int64)
    return {
        "accumulator": Case(
            lambda: None, lambda _: Q.ProductsAccumulator(m, x.shape[1], z.shape[1], shift), lambda _, a: a.products()
        ),
        "add_rows": Case(with_first_batch, lambda a: a.add_rows(*batch_rows), products_of, mutates=True),
        "add_columns": Case(with_first_batch, lambda a: a.add_columns(*batch_columns), products_of, mutates=True),
        # grow is left out: the records grow on mapped pages (mmap, mremap), which the
        # shim does not fail; a refused mapping is a bad_alloc like any other.
        "products": Case(with_first_batch, lambda a: a.products()),
        "products_ordered": Case(with_first_batch, lambda a: a.products(order)),
        "products_released": Case(
            with_first_batch, take_all, lambda a, out: (out, a.n, a.yty, a.xtx), mutates=True, consumes=True
        ),
        "sums": Case(with_first_batch, lambda a: (a.yty, a.xtx)),
        "hash_labels": Case(
            lambda: (np.zeros(64, dtype=np.int64), np.full(64, -1, dtype=np.int64), np.empty(40, dtype=np.int64)),
            lambda t: Q.hash_labels(np.arange(40, dtype=np.int64) * 7919 % 31, t[0], t[1], 0, t[2], 0),
            lambda t, out: (out, t[0].copy(), t[1].copy(), t[2].copy()),
            mutates=True,
        ),
        "reduce_rows": Case(lambda: None, lambda _: Q.reduce_rows(y, x, z, codes, m, shift)),
        "choose_shift": Case(lambda: None, lambda _: Q.choose_shift(y, x)),
        "code_labels": Case(
            lambda: np.full(3 * m, -1, dtype=np.int64),
            lambda table: Q.code_labels(codes * 3 + 1, table, 0, 0),
            lambda table, out: (out, table.copy()),
            mutates=True,
        ),
    }


def minimize_cases() -> dict[str, Case]:
    a = np.array([[3.0, 1.0, 0.2], [1.0, 2.0, 0.4], [0.2, 0.4, 1.5]])
    b = np.array([1.0, -2.0, 0.5])

    def fun(v: np.ndarray) -> tuple[float, list[float]]:
        r = v - b
        g = a @ r + 0.4 * r**3
        return float(0.5 * r @ a @ r + 0.1 * np.sum(r**4)), [float(e) for e in g]

    return {
        "minimize": Case(lambda: None, lambda _: Q.minimize(fun, [0.0, 0.0, 0.0])),
        "minimize_groups": Case(
            lambda: None,
            lambda _: Q.minimize(fun, [0.5, 0.1, 0.0], fixed=[2], groups=[(0, [0, 1])], h0=np.eye(3), scale=[1, 2, 3]),
        ),
    }


def glmm_fingerprint(core: Any) -> tuple:
    """What a GLMM core computes at two points: criterion and gradient."""
    k = core.n_theta
    points = (([1.0] * k, [0.0] * core.p), ([0.5 + 0.1 * i for i in range(k)], [0.3 - 0.2 * i for i in range(core.p)]))
    return tuple((core.criterion(t, b), core.gradient(t, b)) for t, b in points) + (core.n, core.p, core.n_theta)


def glmm_cases() -> dict[str, Case]:
    y, x, ((codes, m, z, blocks),) = glmm_rows(96, (12,), "binomial", seed=5)
    yp, xp, ((cp, mp, zp, bp),) = glmm_rows(96, (12,), "poisson", seed=6)
    one, offset = np.ones(len(y)), np.linspace(-0.2, 0.2, len(y))
    shared = cache(lambda: Q.GlmmCore(y, x, z, codes, m, blocks, one, None, "binomial"))
    t, b = [0.9, 0.1, 0.6], [0.1, 0.5]

    return {
        "glmm/construct": built(lambda: Q.GlmmCore(y, x, z, codes, m, blocks, one, None, "binomial"), glmm_fingerprint),
        "glmm/construct_poisson": built(
            lambda: Q.GlmmCore(yp, xp, zp, cp, mp, bp, one, offset, "poisson", "log"), glmm_fingerprint
        ),
        "glmm/criterion": Case(shared, lambda c: c.criterion(t, b)),
        "glmm/criterion_quadrature": Case(
            lambda: Q.GlmmCore(y, x, z[:, :1].copy(), codes, m, [1], one, None, "binomial"),
            lambda c: c.criterion([0.8], b, nagq=5),
        ),
        "glmm/gradient": Case(shared, lambda c: c.gradient(t, b)),
        "glmm/criterion0": Case(shared, lambda c: c.criterion0(t)),
        "glmm/fit": Case(shared, lambda c: c.fit(max_iter=4)),
    }


def crossed_glmm_cases() -> dict[str, Case]:
    # intercepts only: a fit's allocations grow with the parameters (its Hessian's
    # differences), and the sweep repeats the fit once for each of them
    y, x, factors = glmm_rows(80, (10, 4), "binomial", seed=7, slope=False)
    yp, xp, fp = glmm_rows(80, (10, 4), "poisson", seed=8, slope=False)
    one = np.ones(len(y))
    shared = cache(lambda: Q.CrossedGlmmCore(y, x, factors, one, None, "binomial"))
    t, b = [0.9, 0.6], [0.1, 0.5]
    return {
        "crossed_glmm/construct": built(
            lambda: Q.CrossedGlmmCore(y, x, factors, one, None, "binomial"), glmm_fingerprint
        ),
        "crossed_glmm/construct_poisson": built(
            lambda: Q.CrossedGlmmCore(yp, xp, fp, one, np.full(len(yp), 0.1), "poisson"), glmm_fingerprint
        ),
        "crossed_glmm/criterion": Case(shared, lambda c: c.criterion(t, b)),
        "crossed_glmm/gradient": Case(shared, lambda c: c.gradient(t, b)),
        "crossed_glmm/criterion0": Case(shared, lambda c: c.criterion0(t)),
        # some 10,000 allocations (every evaluation of the fit allocates its own)
        "crossed_glmm/fit": Case(shared, lambda c: c.fit(max_iter=2), long=True),
    }


def crossed_cases() -> dict[str, Case]:
    y, x, factors = crossed_rows(300, (24, 9), q=(2, 1), seed=3)
    w = np.linspace(0.5, 2.0, len(y))
    blocks = [f[3] for f in factors]
    shared = cache(lambda: Q.CrossedCore(y, x, factors))
    products = cache(lambda: Q.reduce_crossed_rows(y, x, factors, None))
    t = [0.8, -0.1, 0.6, 0.9]
    levels = [np.array([0, 3, -1, 23], dtype=np.int64), np.array([1, -1, 8, 2], dtype=np.int64)]
    x0 = np.column_stack([np.ones(4), np.linspace(-1, 1, 4)])
    z0 = [x0.copy(), np.ones((4, 1))]
    crossed_fingerprint = partial(fingerprint, step=0.1)

    return {
        "crossed/construct": built(lambda: Q.CrossedCore(y, x, factors), crossed_fingerprint),
        "crossed/construct_weighted": built(lambda: Q.CrossedCore(y, x, factors, weights=w), crossed_fingerprint),
        "crossed/deviance": Case(shared, lambda c: c.deviance(t)),
        "crossed/deviance_grad": Case(shared, lambda c: c.deviance_grad(t, reml=False)),
        "crossed/criterion_parts": Case(shared, lambda c: c.criterion_parts(t)),
        "crossed/solution": Case(shared, lambda c: c.solution(t)),
        "crossed/prediction_variance": Case(shared, lambda c: c.prediction_variance(t, x0, levels, z0)),
        "crossed/start_theta": Case(shared, lambda c: c.start_theta(True, with_model=True)),
        "crossed/fit": Case(shared, lambda c: c.fit(c.default_theta(), max_iter=4)),
        # the products out of rows, and a core made from them
        "crossed/reduce_rows": Case(lambda: None, lambda _: Q.reduce_crossed_rows(y, x, factors, None, weights=w)),
        "crossed/from_products": built(lambda: Q.CrossedCore.from_products(products(), blocks), crossed_fingerprint),
    }


def structured_cases() -> dict[str, Case]:
    # 40 subjects of 1 to 4 visits: an unstructured correlation with a variance per
    # visit (the pattern path, no random effects); AR(1) under a random intercept below
    rng = np.random.default_rng(9)
    sizes = 1 + np.arange(40) % 4
    visits = np.concatenate([np.arange(k, dtype=float) for k in sizes])
    n = len(visits)
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    rows = np.column_stack([x, rng.normal(size=n)])
    subjects = np.r_[0, np.cumsum(sizes)].astype(np.int64)

    def make_us() -> Any:
        return Q.StructuredCore(
            rows, 0, subjects, np.array([0, 40], np.int64), [], "us", times=visits, n_visits=4,
            variances=[("ident", 4, visits)],
        )  # fmt: skip

    us = cache(make_us)
    # AR(1) under a random intercept on the first 12 subjects (sizes 1 to 4 three times):
    # its evaluation allocates per subject, and a sweep costs the square of that.
    m = int(subjects[12])
    ar1 = cache(
        lambda: Q.StructuredCore(
            np.column_stack([np.ones(m), rows[:m]]), 1, subjects[:13], np.arange(13, dtype=np.int64), [1], "ar1",
            times=visits[:m],
        )
    )  # fmt: skip
    start = [0.2] * 6 + [0.1, -0.1, 0.2]

    def look(core: Any) -> tuple:
        p = [0.3] * core.n_params
        return core.deviance_grad(p)[0], core.n_params

    return {
        "structured/construct": built(make_us, look),
        "structured/deviance_grad": Case(us, lambda c: c.deviance_grad(start)),
        "structured/solution": Case(ar1, lambda c: c.solution([0.8, 0.4])),
        "structured/fit": Case(ar1, lambda c: c.fit([1.0, 0.0], max_iter=3)),
    }


DESIGNS = {
    # rows, groups, p, q: small enough for a full sweep of every call
    "small": lambda: random_design(300, 30, 3, 2, seed=4),
    # enough rows and groups that the core's loops run on the worker pool
    "pooled": lambda: random_design(70_000, 7_000, 3, 2, seed=1),
}


def cases(design_name: str) -> dict[str, Case]:
    design = DESIGNS[design_name]()
    out: dict[str, Case] = {}
    for evaluator in ("auto", "blocks", "aggregated", "streaming"):
        out.update({f"{evaluator}/{k}": v for k, v in core_cases(design, evaluator).items()})
    out.update(products_cases(design))
    out.update(minimize_cases())
    if design_name == "small":  # designs of their own, small enough to sweep every call
        out.update(glmm_cases())
        out.update(crossed_glmm_cases())
        out.update(crossed_cases())
        out.update(structured_cases())
    return out


def main(argv: list[str]) -> None:
    options = [a for a in argv if a.startswith("--")]
    design_name, *names = [a for a in argv if not a.startswith("--")]
    table = cases(design_name)
    for name in names or [k for k, v in table.items() if not v.long]:
        report = sweep(name, table[name], "--persistent" in options, "--leaks" in options)
        print(json.dumps(report), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
