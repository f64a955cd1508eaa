"""The crossed core seen with theta in lme4's layout (:class:`Lme4OrderCore`), and the
random-effects terms of a model with several grouping factors in lme4's order.

lme4 lays theta out term by term in its order of terms (decreasing number of levels;
:func:`quorvelkit.grouping.lme4_term_order`); the core takes the factors in that order
with all of a factor's terms together. The two differ only where terms of one factor are
interleaved with another's of as many levels, and a permutation maps one to the other
(:class:`quorvelkit.grouping.ThetaLayout`). Every theta the package hands a core or reads
from one (starts, Satterthwaite's differences, refits) is in lme4's layout.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._quorvelkit import CrossedCore
from .crossed_products import fixed_at
from .design import Design, core_factors, theta_layout_of
from .errors import RowsUnavailable
from .grouping import ThetaLayout

__all__ = ["Lme4OrderCore", "crossed_core", "block_lambda", "CrossedTerm", "terms_in_lme4_order"]

_THETA_VECTORS = ("theta", "grad", "grad_logdet", "grad_pwrss")


class Lme4OrderCore:
    """A :class:`CrossedCore` whose theta, gradients, starts and bounds are in lme4's
    layout. Results per factor (``random_effects``, ``u``, ``cond_var``) stay in the
    core's order of factors, :attr:`ThetaLayout.factor_order`; ``cov_re`` is the
    covariance of one level of every term, sigma^2 Lambda Lambda' block diagonal over
    the terms in lme4's order (``term_sizes`` columns each), as a one-factor core gives it.

    ``fit`` leaves ``cond_var`` out (None): the fit asks ``solution`` for it when needed.

    It keeps the arrays the core was built from (``factors`` as the core takes them), so
    that it pickles (the core is built again) and refits a new response; one built from
    products (:meth:`from_products`) keeps them instead, and has no response to change."""

    evaluator = "blocked"
    n_classes = None

    def __init__(
        self,
        y: np.ndarray,
        x: np.ndarray,
        factors: list[Any],
        weights: np.ndarray | None,
        layout: ThetaLayout,
        term_sizes: Sequence[int],
    ) -> None:
        self.raw = CrossedCore(y, x, factors, weights=weights)
        self.layout = layout
        self.term_sizes = tuple(term_sizes)
        self._inputs: tuple[Any, ...] | None = (y, x, factors, weights)
        self._products: tuple[dict, list[list[int]]] | None = None
        self._to_core = np.asarray(layout.core_from_lme4, dtype=np.intp)  # theta_core = theta_lme4[...]
        self._to_lme4 = np.asarray(layout.lme4_from_core, dtype=np.intp)  # theta_lme4 = theta_core[...]

    @classmethod
    def from_products(
        cls, products: dict, blocks: list[list[int]], layout: ThetaLayout, term_sizes: Sequence[int]
    ) -> Lme4OrderCore:
        """The core of crossed products (``CrossedCore.from_products``: factors in the
        core's order, each with its terms' sizes ``blocks``)."""
        self = cls.__new__(cls)
        self.raw = CrossedCore.from_products(products, blocks)
        self.layout = layout
        self.term_sizes = tuple(term_sizes)
        self._inputs = None
        self._products = (products, blocks)
        self._to_core = np.asarray(layout.core_from_lme4, dtype=np.intp)
        self._to_lme4 = np.asarray(layout.lme4_from_core, dtype=np.intp)
        return self

    def __reduce__(self) -> tuple[Any, ...]:
        if self._products is not None:
            return (Lme4OrderCore.from_products, (*self._products, self.layout, self.term_sizes))
        assert self._inputs is not None
        return (type(self), (*self._inputs, self.layout, self.term_sizes))

    def _rows(self, what: str) -> tuple[Any, ...]:
        if self._inputs is None:
            raise RowsUnavailable(
                f"{what} needs the rows, and this model was fitted from products of rows read in batches, which "
                f"keep none"
            )
        return self._inputs

    def with_response(self, y: np.ndarray, *_rows: Any, weights: np.ndarray | None = None) -> Lme4OrderCore:
        """The same design with the response ``y`` (the fit's x, Z and codes are kept;
        the one-factor core's arguments after ``y`` are accepted and not read)."""
        _, x, factors, _ = self._rows("a new response")
        return Lme4OrderCore(np.ascontiguousarray(y, dtype=float), x, factors, weights, self.layout, self.term_sizes)

    # ------------------------------------------------------------- sizes
    n = property(lambda self: self.raw.n)
    p = property(lambda self: self.raw.p)
    n_theta = property(lambda self: self.raw.n_theta)
    m = property(lambda self: self.raw.m)

    @property
    def q(self) -> int:
        """Random-effect columns per level, summed over the factors."""
        return int(sum(self.raw.q))

    # ------------------------------------------------------------- the two layouts
    def core_theta(self, theta: Any) -> list[float]:
        """theta in the core's layout, from lme4's."""
        return [float(v) for v in np.asarray(theta, dtype=float).ravel()[self._to_core]]

    def lme4_theta(self, values: Any) -> np.ndarray:
        """A vector over theta in lme4's layout, from the core's."""
        return np.asarray(values, dtype=float)[self._to_lme4]

    def _result(self, res: Any) -> dict[str, Any]:
        out = dict(res)
        for key in _THETA_VECTORS:
            if key in out and len(out[key]) == len(self._to_lme4):
                out[key] = self.lme4_theta(out[key])
        if "cov_re" in out:
            lam = block_lambda(out["theta"], self.term_sizes)
            out["cov_re"] = float(out["sigma2"]) * (lam @ lam.T)
        return out

    # ------------------------------------------------------------- the core's methods
    def deviance(self, theta: Any, reml: bool = True) -> float:
        return float(self.raw.deviance(self.core_theta(theta), reml=reml))

    def deviance_grad(self, theta: Any, reml: bool = True) -> tuple[float, list[float]]:
        dev, grad = self.raw.deviance_grad(self.core_theta(theta), reml=reml)
        return dev, list(self.lme4_theta(grad))

    def criterion_parts(self, theta: Any, reml: bool = True) -> dict[str, Any]:
        return self._result(self.raw.criterion_parts(self.core_theta(theta), reml=reml))

    def solution(self, theta: Any, reml: bool = True) -> dict[str, Any]:
        return self._result(self.raw.solution(self.core_theta(theta), reml=reml))

    def prediction_variance(
        self, theta: Any, x: np.ndarray, levels: Sequence[np.ndarray], z: Sequence[np.ndarray], reml: bool = True
    ) -> np.ndarray:
        """The core's ``prediction_variance`` at theta in lme4's layout: per factor (the
        core's order) each row's level, -1 for a new one, and its Z columns."""
        return self.raw.prediction_variance(
            self.core_theta(theta),
            np.ascontiguousarray(x, dtype=float),
            [np.ascontiguousarray(v, dtype=np.int64) for v in levels],
            [np.ascontiguousarray(v, dtype=float) for v in z],
            reml=reml,
        )

    def factor_lambdas(self, theta: Any) -> list[np.ndarray]:
        """Lambda_j of each factor (the core's order; q_j x q_j, its terms' blocks
        together) from theta in lme4's layout."""
        raw = self.raw
        lams = [np.zeros((q, q)) for q in raw.q]
        for value, (f, r, c) in zip(self.core_theta(theta), raw.theta_index(), strict=True):
            lams[f][r, c] = value
        return lams

    def fit(
        self,
        starts: Any,
        reml: bool = True,
        max_iter: int = 300,
        gtol: float = 1e-8,
        ftol: float = 1e-12,
        h0: Any = None,
    ) -> dict[str, Any]:
        """The fit from ``starts`` (theta vectors in lme4's layout, flat); ``h0`` an initial
        inverse Hessian in that layout (n_theta x n_theta), as :meth:`start` gives it."""
        flat = np.asarray(starts, dtype=float).reshape(-1, self.n_theta)[:, self._to_core].ravel()
        model = None
        if h0 is not None:
            at = self._to_core
            square = np.asarray(h0, dtype=float).reshape(self.n_theta, self.n_theta)
            model = [float(v) for v in square[np.ix_(at, at)].ravel()]
        res = self.raw.fit([float(v) for v in flat], reml=reml, max_iter=max_iter, gtol=gtol, ftol=ftol,
                           cond_var=False, h0=model)  # fmt: skip
        return self._result(res)

    def default_theta(self) -> list[float]:
        return list(self.lme4_theta(self.raw.default_theta()))

    def start_theta(self, reml: bool = True) -> list[float]:
        """The fit's start: each factor's theta from the model with that factor alone."""
        return list(self.lme4_theta(self.raw.start_theta(reml=reml)))

    def start(self, reml: bool = True) -> tuple[list[float], np.ndarray | None]:
        """:meth:`start_theta` with the model of the inverse Hessian there (lme4's layout,
        n_theta x n_theta) for :meth:`fit`'s ``h0``, or None."""
        theta, model = self.raw.start_theta(reml, True)
        h0 = None
        if model is not None:
            at = self._to_lme4
            h0 = np.asarray(model, dtype=float).reshape(self.n_theta, self.n_theta)[np.ix_(at, at)]
        return list(self.lme4_theta(theta)), h0

    def lower_bounds(self) -> list[float]:
        return list(self.lme4_theta(self.raw.lower_bounds()))

    def theta_index(self) -> list[tuple[int, int]]:
        """(row, column) of each entry of theta in Lambda's template of :func:`block_lambda`
        (one block per term in lme4's order), as a one-factor core's theta_index."""
        lam = block_lambda(np.arange(1, self.n_theta + 1, dtype=float), self.term_sizes)
        rows, cols = np.nonzero(lam)
        at = np.argsort(lam[rows, cols])
        return [(int(r), int(c)) for r, c in zip(rows[at], cols[at], strict=True)]

    def fixed_at(self, j: int, value: float) -> Lme4OrderCore:
        """The same model with fixed effect ``j`` held at ``value``: the response
        y - x_j value on the other fixed-effects columns."""
        if self._products is not None:
            products, blocks = self._products
            held = fixed_at(products, j, value)
            return Lme4OrderCore.from_products(held, blocks, self.layout, self.term_sizes)
        y, x, factors, weights = self._rows("a fixed effect held")
        rest = np.ascontiguousarray(np.delete(x, j, axis=1))
        return Lme4OrderCore(np.ascontiguousarray(y - x[:, j] * value), rest, factors, weights, self.layout,
                             self.term_sizes)  # fmt: skip


def crossed_core(design: Design) -> Lme4OrderCore:
    """The core of a design with several grouping factors, in lme4's layout of theta."""
    rows = design.need_rows("the fit")
    layout = theta_layout_of(design)
    sizes = [len(t.columns) for t in terms_in_lme4_order(design, layout)]
    return Lme4OrderCore(design.core_y, rows.x, core_factors(design), rows.weights, layout, sizes)


def block_lambda(theta: Any, sizes: Sequence[int]) -> np.ndarray:
    """Lambda's template from theta in lme4's layout: block diagonal, one lower-triangular
    block per term (``sizes`` columns each), filled column by column."""
    lam = np.zeros((sum(sizes), sum(sizes)))
    k = off = 0
    for s in sizes:
        for j in range(s):
            for i in range(j, s):
                lam[off + i, off + j] = theta[k]
                k += 1
        off += s
    return lam


@dataclass(frozen=True)
class CrossedTerm:
    """One random-effects term as lme4 lists it: its name (the factor's, made unique as
    R's ``make.unique`` does: "a", "a.1"), the factor's place in the core's order, the
    term's columns and their places among the factor's columns."""

    name: str
    factor: int
    columns: tuple[str, ...]
    at: tuple[int, ...]
    group: str = ""


def terms_in_lme4_order(design: Design, layout: ThetaLayout) -> list[CrossedTerm]:
    """The design's random-effects terms in lme4's order."""
    spec = design.spec
    names = design.re_names
    spans = spec.factor_columns()
    place = {f: k for k, f in enumerate(layout.factor_order)}
    formula_order: list[tuple[int, int, list[str], list[int]]] = []
    for i, f in enumerate(spec.factors):
        cols = names[spans[i]]
        at = 0
        for position, b in zip(f.positions or range(len(f.blocks)), f.blocks, strict=True):
            formula_order.append((position, i, cols[at : at + b], list(range(at, at + b))))
            at += b
    formula_order.sort()
    seen: dict[str, int] = {}
    out = []
    for t in layout.term_order:
        _, i, cols, at_cols = formula_order[t]
        base = spec.factors[i].name
        k = seen.get(base, 0)
        seen[base] = k + 1
        out.append(CrossedTerm(base if k == 0 else f"{base}.{k}", place[i], tuple(cols), tuple(at_cols), base))
    return out
