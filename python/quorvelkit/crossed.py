"""Models whose random-effects terms sit on several grouping factors, crossed or nested:
the crossed core seen with theta in lme4's layout (:class:`Lme4OrderCore`), and the fit's
estimates factor by factor (:class:`CrossedFit`).

lme4 lays theta out term by term in its order of terms (decreasing number of levels;
:func:`quorvelkit.grouping.lme4_term_order`); the core takes the factors in that order
with all of a factor's terms together. The two differ only where terms of one factor are
interleaved with another's of as many levels, and a permutation maps one to the other
(:class:`quorvelkit.grouping.ThetaLayout`). Every theta the package hands a core or reads
from one (starts, Satterthwaite's differences, refits) is in lme4's layout.
"""

from __future__ import annotations

import functools
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from . import bootstrap as _bootstrap
from . import profile as _profile
from ._quorvelkit import CrossedCore
from .checks import check_flag
from .design import core_factors, theta_layout_of
from .errors import SingularFitWarning
from .fit import LmmFit
from .frames import to_frame
from .grouping import ThetaLayout
from .labels import levels_by_value
from .model import Design
from .predict import group_index, model_rows

__all__ = ["Lme4OrderCore", "CrossedFit", "crossed_core", "CrossedTerm", "terms_in_lme4_order"]

_THETA_VECTORS = ("theta", "grad", "grad_logdet", "grad_pwrss")


class Lme4OrderCore:
    """A :class:`CrossedCore` whose theta, gradients, starts and bounds are in lme4's
    layout. Results per factor (``random_effects``, ``u``, ``cond_var``) stay in the
    core's order of factors, :attr:`ThetaLayout.factor_order`; ``cov_re`` is the
    covariance of one level of every term, sigma^2 Lambda Lambda' block diagonal over
    the terms in lme4's order (``term_sizes`` columns each), as a one-factor core gives it.

    It keeps the arrays the core was built from (``factors`` as the core takes them), so
    that it pickles (the core is built again) and refits a new response."""

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
        self._inputs = (y, x, factors, weights)
        self._to_core = np.asarray(layout.core_from_lme4, dtype=np.intp)  # theta_core = theta_lme4[...]
        self._to_lme4 = np.asarray(layout.lme4_from_core, dtype=np.intp)  # theta_lme4 = theta_core[...]

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (*self._inputs, self.layout, self.term_sizes))

    def with_response(self, y: np.ndarray, *_rows: Any, weights: np.ndarray | None = None) -> Lme4OrderCore:
        """The same design with the response ``y`` (the fit's x, Z and codes are kept;
        the one-factor core's arguments after ``y`` are accepted and not read)."""
        _, x, factors, _ = self._inputs
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

    def fit(
        self, starts: Any, reml: bool = True, max_iter: int = 300, gtol: float = 1e-8, ftol: float = 1e-12
    ) -> dict[str, Any]:
        flat = np.asarray(starts, dtype=float).reshape(-1, self.n_theta)[:, self._to_core].ravel()
        res = self.raw.fit([float(v) for v in flat], reml=reml, max_iter=max_iter, gtol=gtol, ftol=ftol)
        return self._result(res)

    def default_theta(self) -> list[float]:
        return list(self.lme4_theta(self.raw.default_theta()))

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
        y, x, factors, weights = self._inputs
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


class CrossedSimulator:
    """Draws responses from a crossed fit: y* = X beta + o + sum_j Z_j b*_j + e, with
    b*_j = sigma Lambda_j u for standard normal u, level by level of each factor in the
    core's order, then e_r = sigma e0_r / sqrt(w_r) (the one-factor simulator's stream:
    the random effects' normals first, then the residuals')."""

    def __init__(self, design: Design, beta: np.ndarray, sigma: float, factors: list[Any]) -> None:
        self.mean = design.x @ beta
        if design.offset is not None:
            self.mean = self.mean + design.offset
        self.scale = sigma if design.weights is None else sigma / np.sqrt(design.weights)
        self.factors = [(z, codes, m, (sigma * lam).T) for z, codes, m, lam in factors]
        self.n = design.n
        self.width = sum(m * z.shape[1] for z, _, m, _ in factors) + self.n

    def draw_many(self, rng: np.random.Generator, k: int) -> np.ndarray:
        """``k`` simulated responses, shape (k, n)."""
        normals = rng.standard_normal((k, self.width))
        y = self.mean + self.scale * normals[:, self.width - self.n :]
        at = 0
        for z, codes, m, lam_t in self.factors:
            q = z.shape[1]
            b = normals[:, at : at + m * q].reshape(k, m, q) @ lam_t
            y = y + np.einsum("ij,kij->ki", z, b[:, codes, :])
            at += m * q
        return np.ascontiguousarray(y)


class CrossedFit(LmmFit):
    """A fitted linear mixed model whose random-effects terms sit on several grouping
    factors (returned by :func:`lmm`). It has the attributes of :class:`LmmFit`; those of
    the random effects are per factor, as lme4 gives them:

    - :attr:`ranef`, :attr:`cond_cov`, :attr:`cond_var`, :attr:`coef`, :attr:`levels`
      and :attr:`ngroups` map each grouping factor's name to its own (lme4's lists);
    - :attr:`theta`, :attr:`re_terms`, :attr:`varcorr` follow lme4's order of terms, and
      :attr:`cov_re`, :attr:`sd_re`, :attr:`corr_re` are indexed by (term, column).
    """

    _core: Lme4OrderCore  # type: ignore[assignment]

    # ------------------------------------------------------------- structure
    @property
    def _layout(self) -> ThetaLayout:
        return self._core.layout

    @functools.cached_property
    def _terms(self) -> list[CrossedTerm]:
        """The terms in lme4's order (computed once)."""
        return terms_in_lme4_order(self._design, self._layout)

    @property
    def factor_names(self) -> list[str]:
        """The grouping factors' names, in lme4's order (that of ``ranef``)."""
        return [self._design.spec.factors[i].name for i in self._layout.factor_order]

    @property
    def group_name(self) -> str:
        """The grouping factors' names, joined by ", "."""
        return ", ".join(self.factor_names)

    @property
    def ngroups(self) -> dict[str, int]:  # type: ignore[override]
        """The number of levels of each grouping factor (lme4's ``ngrps``)."""
        return {name: int(m) for name, m in zip(self.factor_names, self._core.m, strict=True)}

    @property
    def levels(self) -> dict[str, pd.Index]:  # type: ignore[override]
        """The levels of each grouping factor."""
        lv = self._design.factor_levels
        return {self._design.spec.factors[i].name: lv[i] for i in self._layout.factor_order}

    @property
    def re_terms(self) -> list[tuple[str, list[str]]]:
        """The random-effects terms in lme4's order, as (name, columns): a factor's
        name for its first term, with ".1", ".2", ... for its others."""
        return [(t.name, list(t.columns)) for t in self._terms]

    @property
    def re_names(self) -> list[str]:
        """The random-effects columns, term by term in lme4's order (names repeat
        across terms: see :attr:`cov_re`'s index)."""
        return [c for t in self._terms for c in t.columns]

    def _re_index(self) -> pd.MultiIndex:
        return pd.MultiIndex.from_tuples([(t.name, c) for t in self._terms for c in t.columns], names=["grp", "name"])

    # ------------------------------------------------------------- variance components
    @property
    def lambda_matrix(self) -> np.ndarray:
        """The relative covariance factor's template: block diagonal, one lower-triangular
        block per term in lme4's order (each block repeats for every level of its factor)."""
        return block_lambda(self.theta, self._core.term_sizes)

    @property
    def cov_re(self) -> pd.DataFrame:
        """Covariances of the random effects, sigma^2 Lambda Lambda', term by term
        (zero between terms), indexed by (term, column)."""
        lam = self.lambda_matrix
        idx = self._re_index()
        return pd.DataFrame(self.sigma2 * (lam @ lam.T), index=idx, columns=idx)

    # ------------------------------------------------------------- random effects
    def _factor_columns(self, k: int) -> tuple[list[str], list[int]]:
        """The columns of the k-th factor (core order) as lme4's ranef lists them (its
        terms in lme4's order) and their places among the core's columns."""
        names: list[str] = []
        at: list[int] = []
        for t in self._terms:
            if t.factor == k:
                names += t.columns
                at += t.at
        return names, at

    def _per_factor(self, key: str) -> dict[str, tuple[np.ndarray, list[str], list[int]]]:
        out = {}
        for k, name in enumerate(self.factor_names):
            cols, at = self._factor_columns(k)
            out[name] = (np.asarray(self._res[key][k], dtype=float), cols, at)
        return out

    @property
    def ranef(self) -> dict[str, pd.DataFrame]:  # type: ignore[override]
        """Conditional modes of the random effects: per grouping factor (in lme4's
        order), a DataFrame with a row per level and a column per random effect."""
        levels = self.levels
        return {
            name: pd.DataFrame(values[:, at], index=levels[name], columns=cols)
            for name, (values, cols, at) in self._per_factor("random_effects").items()
        }

    random_effects = ranef  # type: ignore[assignment]

    @property
    def cond_cov(self) -> dict[str, np.ndarray]:  # type: ignore[override]
        """Conditional covariances Var(b | y) per grouping factor, arrays of shape
        (levels, q, q) (lme4's ``postVar``; a factor's terms together, covariances
        between its terms included)."""
        return {
            name: np.ascontiguousarray(values[:, at][:, :, at])
            for name, (values, cols, at) in self._per_factor("cond_var").items()
        }

    @property
    def cond_var(self) -> dict[str, pd.DataFrame]:  # type: ignore[override]
        """Conditional variances (the diagonals of :attr:`cond_cov`), per factor."""
        levels = self.levels
        out = {}
        for name, cc in self.cond_cov.items():
            cols, _ = self._factor_columns(self.factor_names.index(name))
            out[name] = pd.DataFrame(np.diagonal(cc, axis1=1, axis2=2).copy(), index=levels[name], columns=cols)
        return out

    @property
    def coef(self) -> dict[str, pd.DataFrame]:  # type: ignore[override]
        """Coefficients per level of each factor (lme4's ``coef``): every fixed effect,
        plus the factor's random effect where it has one of that name."""
        fe = self.fixef
        out = {}
        for name, re in self.ranef.items():
            frame = pd.DataFrame(index=re.index)
            for col in self.fe_names:
                frame[col] = fe[col] + (re[col] if col in re.columns else 0.0)
            for col in re.columns:
                if col not in frame.columns:
                    frame[col] = re[col]
            out[name] = frame
        return out

    # ------------------------------------------------------------- fitted values
    @property
    def fitted(self) -> pd.Series:
        """Fitted values X beta + sum over factors of Z_j b_j (plus the offset)."""
        d = self._design
        rows = d.need_rows("fitted")
        vals = rows.x @ np.asarray(self._res["beta"], dtype=float)
        spans = d.spec.factor_columns()
        for k, i in enumerate(self._layout.factor_order):
            b = np.asarray(self._res["random_effects"][k], dtype=float)
            vals = vals + np.einsum("ij,ij->i", rows.z[:, spans[i]], b[rows.factor_codes[i]])
        if d.offset is not None:
            vals = vals + d.offset
        return pd.Series(vals, index=d.row_index, name="fitted")

    fittedvalues = fitted

    # ------------------------------------------------------------- not yet for several factors
    def _several(self, what: str) -> NotImplementedError:
        return NotImplementedError(f"{what} is not yet available for models with several grouping factors")

    def predict(
        self,
        newdata: Any = None,
        re: bool = True,
        allow_new_levels: bool = False,
        interval: str | None = None,
        level: float = 0.95,
    ) -> pd.Series | pd.DataFrame:
        """Predictions for ``newdata`` (the data of the fit when None): X beta plus, with
        ``re``, each factor's Z_j b_j for the row's level of that factor, plus the
        offset. A label a factor has not seen (or a missing one) raises ``ValueError``
        naming it, as lme4 does; with ``allow_new_levels=True`` that factor adds nothing
        to the row (its population level), each factor on its own. Rows with a missing
        predictor get NaN. Intervals are not yet available for several factors."""
        check_flag("allow_new_levels", allow_new_levels)
        if interval is not None:
            raise self._several("a prediction interval")
        d = self._design
        beta = np.asarray(self._res["beta"], dtype=float)
        if newdata is None:
            d.need_rows("predict() without newdata")
            if re:
                return self.fitted.rename("predicted")
            off = d.offset if d.offset is not None else 0.0
            return pd.Series(d.x @ beta + off, index=d.row_index, name="predicted")
        index, x_new, z_new, _, ok, off = model_rows(d, newdata, re=False, allow_new_levels=True, by_value=dict)
        vals = x_new @ beta + off
        if re:
            frame = to_frame(newdata).loc[ok]
            spans = d.spec.factor_columns()
            for k, i in enumerate(self._layout.factor_order):
                factor = d.spec.factors[i]
                missing = [c for c in factor.columns if c not in frame.columns]
                if missing:
                    raise ValueError(f"newdata lacks the column(s) {', '.join(missing)}")
                levels = d.factor_levels[i]
                table = levels_by_value(levels, len(factor.columns))
                idx = group_index(d, frame, functools.partial(dict, table), factor.columns, levels)
                if not allow_new_levels and (idx < 0).any():
                    labels = frame[list(factor.columns)].astype(str).agg(":".join, axis=1).to_numpy()
                    unseen = pd.unique(labels[idx < 0])
                    shown = ", ".join(repr(v) for v in unseen[:5])
                    more = f" and {len(unseen) - 5} more" if len(unseen) > 5 else ""
                    raise ValueError(
                        f"newdata has levels of '{factor.name}' not in the fit: {shown}{more}; pass "
                        "allow_new_levels=True for population-level predictions of those rows"
                    )
                b = np.asarray(self._res["random_effects"][k], dtype=float)
                known = idx >= 0
                vals[known] += np.einsum("ij,ij->i", z_new[known][:, spans[i]], b[idx[known]])
        out = np.full(len(index), np.nan)
        out[ok] = vals
        return pd.Series(out, index=index, name="predicted")

    def bootstrap(
        self, n: int, seed: int | None = None, progress: bool | None = None, level: float = 0.95
    ) -> _bootstrap.BootstrapResult:
        """Parametric bootstrap (see :meth:`LmmFit.bootstrap`); the parameters are named
        as lme4's ``confint(..., oldNames = FALSE)`` names them, term by term in lme4's
        order (``sd_(Intercept)|s``)."""
        self._design.need_rows("bootstrap")
        names = []
        for t in self._terms:
            for c, col in enumerate(t.columns):
                names.append(f"sd_{col}|{t.group}")
                names += [f"cor_{t.columns[r]}.{col}|{t.group}" for r in range(c + 1, len(t.columns))]
        sizes = self._core.term_sizes
        return _bootstrap.bootstrap(
            self._core,  # type: ignore[arg-type]
            self._design,
            self._simulator(),  # type: ignore[arg-type]
            reml=self.reml,
            starts=self._starts(),
            names=[*names, "sigma", *self.fe_names],
            estimate=_bootstrap.param_vector(self._res, sizes),
            n=n,
            seed=seed,
            progress=progress,
            level=level,
            blocks=sizes,
        )

    def _simulator(self) -> CrossedSimulator:  # type: ignore[override]
        d = self._design
        spans = d.spec.factor_columns()
        raw = self._core.raw
        theta = self._core.core_theta(self.theta)
        factors = []
        for k, i in enumerate(self._layout.factor_order):
            lam = np.zeros((raw.q[k], raw.q[k]))
            for value, (f, r, c) in zip(theta, raw.theta_index(), strict=True):
                if f == k:
                    lam[r, c] = value
            factors.append((d.z[:, spans[i]], d.need_rows("simulate").factor_codes[i], int(raw.m[k]), lam))
        return CrossedSimulator(d, np.asarray(self._res["beta"], dtype=float), self.sigma, factors)

    def _profiler(self, ml: bool) -> _profile.Profiler:
        check_flag("ml", ml)
        groups = [t.group for t in self._terms for _ in t.columns]
        names = _profile.parameter_names(groups, self.re_names, self.fe_names, self._core.theta_index())
        if ml and self.reml:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", SingularFitWarning)
                fit = self.refit_ml()
            return _profile.Profiler(self._core, False, fit.theta, names, base_evaluations=fit.optimizer["fev"])
        return _profile.Profiler(self._core, self.reml, self.theta, names)
