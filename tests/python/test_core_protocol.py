"""Every compiled core answers the one interface (quorvelkit.cores.protocol): the same
methods under the same names, taking the same keywords, and a pickle that gives back the
same criterion to the bit."""

import pickle

import numpy as np
import pytest

from quorvelkit._quorvelkit import CrossedCore, CrossedGlmmCore, GlmmCore, LmmCore
from quorvelkit.cores.protocol import Core, GeneralizedCore, LinearCore

_RNG = np.random.default_rng(7)
_N = 60
_X = np.column_stack([np.ones(_N), _RNG.normal(size=_N)])
_Z = np.ones((_N, 1))
_G = np.repeat(np.arange(6), 10).astype(np.int64)
_H = np.tile(np.arange(5), 12).astype(np.int64)
_FACTORS = [(_G, 6, _Z, [1]), (_H, 5, _Z, [1])]
_COUNTS = _RNG.poisson(np.exp(0.5 + _RNG.normal(size=6)[_G] + _RNG.normal(size=5)[_H])).astype(float)
_Y = _RNG.normal(size=_N) + _G * 0.3

# (core, its kind, the criterion's arguments after theta)
B, _W = {"beta": [0.5, 0.0]}, np.ones(_N)
CASES = {
    "LmmCore": (lambda: LmmCore(_Y, _X, _Z, _G, 6), LinearCore, {"reml": False}),
    "CrossedCore": (lambda: CrossedCore(_Y, _X, _FACTORS), LinearCore, {"reml": False}),
    "GlmmCore": (lambda: GlmmCore(_COUNTS, _X, _Z, _G, 6, [1], _W, None, "poisson"), GeneralizedCore, B),
    "CrossedGlmmCore": (lambda: CrossedGlmmCore(_COUNTS, _X, _FACTORS, _W, None, "poisson"), GeneralizedCore, B),
}


@pytest.mark.parametrize("name", CASES)
def test_every_core_answers_the_one_interface(name):
    make, kind, rest = CASES[name]
    core = make()
    other = GeneralizedCore if kind is LinearCore else LinearCore
    assert isinstance(core, Core) and isinstance(core, kind) and not isinstance(core, other)
    theta = [0.7] * core.n_theta
    value = core.deviance(theta=theta, **rest)
    grad_value, grad = core.deviance_grad(theta=theta, **rest)
    assert np.isfinite(value) and grad_value == value and len(grad) >= core.n_theta
    assert core.n == _N and core.p == 2 and core.q == core.n_theta
    copy = pickle.loads(pickle.dumps(core))
    assert type(copy) is type(core) and copy.deviance(theta, **rest) == value
    starts = {"starts": theta} if kind is LinearCore else {}
    fit = core.fit(max_iter=2, **starts)
    assert {"theta", "beta", "converged", "iterations", "message"} <= fit.keys()
    assert fit["iterations"] <= 2 and not fit["converged"]
