"""Type stubs for the compiled core, ``quorvelkit._quorvelkit``."""

from collections.abc import Callable, Sequence
from typing import Any, Literal, SupportsFloat, TypedDict, final, overload

import numpy as np
import numpy.typing as npt
from typing_extensions import disjoint_base

__version__: str
GROUP_SPAN: int

_Float64 = npt.NDArray[np.float64]
_Int64 = npt.NDArray[np.int64]
_Theta = Sequence[SupportsFloat] | npt.NDArray[np.floating]
_Evaluator = Literal["auto", "blocks", "aggregated", "streaming"]

class _Report(TypedDict):
    """The optimiser's report, part of every core's ``fit`` result."""

    converged: bool
    iterations: int
    fev: int
    """Criterion evaluations (of the winning start, where there are several)."""
    grad_inf_norm: float
    """Largest |gradient entry| at the end."""
    message: str

class _SolutionBase(TypedDict):
    """What both linear cores' ``solution`` give at one ``theta``."""

    theta: _Float64
    """(n_theta,) the relative covariance parameters."""
    deviance: float
    """The profiled REML criterion or ML deviance."""
    grad: _Float64
    """(n_theta,) its gradient in ``theta``."""
    beta: _Float64
    """(p,) fixed effects."""
    cov_beta: _Float64
    """(p, p) covariance of the fixed effects, sigma2 times the inverse of the reduced system."""
    cov_re: _Float64
    """(q, q) covariance of the random effects, sigma2 Lambda Lambda' (with several factors:
    over the terms in the core's term order, block diagonal, one block per term)."""
    sigma2: float
    """Residual variance, pwrss / (n - p) under REML and pwrss / n under ML."""
    sigma: float
    """Residual standard deviation."""
    pwrss: float
    """Penalised weighted residual sum of squares."""
    ldl2: float
    """log det(Lambda' Z' Z Lambda + I)."""
    ldrx2: float
    """log det of the reduced fixed-effects system (0.0 under ML)."""
    reml: bool
    n: int
    p: int

class _Solution(_SolutionBase):
    """Every derived quantity at one ``theta`` (returned by ``LmmCore.solution``)."""

    random_effects: _Float64
    """(m, q) conditional modes b on the scale of ``z``."""
    u: _Float64
    """(m, q) spherical random effects, b_i = Lambda u_i."""
    q: int
    m: int

class _FitResult(_Solution, _Report):
    """``Solution`` at the best optimum, with the optimiser's report (``LmmCore.fit``)."""

# The products of rows as a value (reduce_rows, ProductsAccumulator, from_products): counts,
# xtx, xty, yty, ztz, ztx, zty, the shift and the weights' flag and constant, keyed by
# name, besides n, p, q and m.
_Products = dict[str, Any]

def reduce_rows(
    y: _Float64,
    x: _Float64,
    z: _Float64,
    codes: _Int64,
    n_groups: int,
    shift: dict[str, Any] | None = None,
    weights: _Float64 | None = None,
) -> _Products:
    """The products of one batch of rows, as a dict of arrays."""

def reduce_crossed_rows(
    y: _Float64,
    x: _Float64,
    factors: Sequence[tuple[_Int64, int, _Float64, Sequence[int]]],
    shift: dict[str, Any] | None,
    weights: _Float64 | None = None,
) -> _Products:
    """The products of one batch of rows of a model with several grouping factors."""

def choose_shift(y: _Float64, x: _Float64) -> dict[str, Any]:
    """The centres LmmCore would subtract from these rows."""

def code_labels(labels: _Int64, table: _Int64, lo: int, m: int) -> tuple[_Int64, int] | None:
    """Group codes of int64 labels through a table by value, table[v - lo] the code of
    label v (-1: not met); new labels get codes m, m + 1, ... in row order. None,
    changing nothing, when a label lies outside the table."""

def hash_labels(labels: _Int64, keys: _Int64, codes: _Int64, m: int, out: _Int64, start: int) -> tuple[int, int]:
    """Group codes of int64 labels[start:] into out[start:] through a hash table (keys
    and codes of one power-of-two length, codes -1 for an empty slot), m labels coded
    so far; new labels get the next codes in row order. Returns (row stopped at, m):
    short of len(labels) when the table would be more than three quarters full."""

def rehash_labels(keys: _Int64, codes: _Int64, m: int, new_keys: _Int64, new_codes: _Int64) -> None:
    """Enters the m labels of a hash table with their codes into a new, larger one."""

class _MinimizeResult(TypedDict):
    """The report of ``minimize``."""

    x: _Float64
    """(n,) the final point, sign groups normalised."""
    fun: float
    """The objective's value at ``x``; inf when ``x0`` is infeasible."""
    grad_inf_norm: float
    """Largest |gradient entry| of the free coordinates at ``x``."""
    h: _Float64 | None
    """(n, n) the final inverse-Hessian model, or None when the run ends without one."""
    converged: bool
    message: str
    iterations: int
    fev: int
    """Objective evaluations, the start's included."""

def minimize(
    fun: Callable[[_Float64], tuple[float, Sequence[SupportsFloat] | npt.NDArray[np.floating]]],
    x0: _Theta,
    *,
    fixed: Sequence[int] = (),
    groups: Sequence[tuple[int, Sequence[int]]] = (),
    gtol: float = 1e-08,
    ftol: float = 1e-12,
    max_iter: int = 300,
    scale: _Theta | None = None,
    h0: npt.ArrayLike | None = None,
    stall: float = 0.0,
) -> _MinimizeResult:
    """Minimises ``fun(x) -> (f, g)`` from ``x0`` with the core's quasi-Newton method
    (the one ``LmmCore.fit`` runs); a value that is not finite marks ``x`` infeasible,
    a step too long. ``fixed``: coordinates held at their start values; ``groups``:
    (diagonal, members) sign symmetries of ``fun``; ``h0``: an initial inverse Hessian;
    ``stall``: stop once a step gains less than ``stall * max(|f|, 1)``. An exception
    raised by ``fun`` propagates unchanged."""

def glmm_batches_fit(
    read: Callable[[], Any] | None,
    n_groups: int,
    p: int,
    q: int,
    blocks: Sequence[int],
    family: str,
    link: str | None = None,
    laplace: str | None = None,
    theta: _Theta | None = None,
    max_iter: int = 300,
    beta: _Theta | None = None,
    nagq: int = 1,
    run: Callable[[list[tuple[str, dict[str, Any]]]], list[dict[str, Any]]] | None = None,
    zi: bool | None = None,
) -> dict[str, Any]:
    """The fit of a GLMM with one grouping factor from rows read in batches:
    ``read()`` returns an iterable of ``(y, x, z, codes, weights, offset)`` tuples, the
    same rows in the same order at every call (one call per pass). The fit's dict as
    ``GlmmCore.fit`` returns it, without ``eta`` and ``mu``, with ``passes`` and
    ``laplace``; ``beta`` a start (the fixed effects, then log(phi) for a family with a
    dispersion parameter, then the zero-inflation's logit); ``zi`` true for a
    zero-inflated family of a constant probability. ``nagq``: 0 (the joint PIRLS's criterion), 1 (Laplace's) or
    more (adaptive Gauss-Hermite quadrature of one scalar random effect). An exception
    raised by ``read`` or its iterator propagates unchanged. With ``run`` (and ``read``
    None) the passes are made elsewhere: ``run(requests)`` takes a list of ``(kind,
    inputs)`` pairs, passes to make together (several points of the fit share them), and
    returns a list of their sums over every row, each as ``glmm_batch_sums`` returns it
    (merged)."""

def glmm_batch_sums(
    read: Callable[[], Any],
    n_groups: int,
    p: int,
    q: int,
    blocks: Sequence[int],
    family: str,
    kind: str,
    inputs: dict[str, Any],
    link: str | None = None,
    laplace: str | None = None,
    zi: bool | None = None,
) -> dict[str, Any]:
    """One pass's sums over the batches of ``read()`` (as ``glmm_batches_fit`` reads
    them), from zero: ``kind`` one of check, value, modes, joint, adjoint,
    adjoint_gradient, nodes, trials; ``inputs`` the pass's dict (lambda, beta, u, t,
    v, points, du, steps as float64 arrays, active as uint8, observed and
    nodes) as ``glmm_batches_fit`` hands it to ``run``. A dict of flat arrays named as
    the sums (float64; count int64) and the scalars constant, rows and batches; two are
    merged by adding them key by key."""

def glmm_batches_criterion(
    read: Callable[[], Any] | None,
    n_groups: int,
    p: int,
    q: int,
    blocks: Sequence[int],
    family: str,
    link: str | None = None,
    laplace: str | None = None,
    run: Callable[[list[tuple[str, dict[str, Any]]]], list[dict[str, Any]]] | None = None,
    zi: bool | None = None,
) -> Any:
    """The Laplace criterion of a GLMM with one grouping factor from rows read in batches,
    at one point after another (for :func:`glmm_batches_evaluate`): ``read()`` as for
    :func:`glmm_batches_fit`. The rows are checked at the first evaluation; each
    evaluation's PIRLS starts from the last one's modes. With ``run``, the passes are
    ``run(requests)``'s, as :func:`glmm_batches_fit`'s (``read`` is not called)."""

def glmm_batches_evaluate(
    criterion: Any, theta: _Theta, beta: _Theta, gradient: bool = False
) -> tuple[float, _Float64 | None, int]:
    """(-2 log-likelihood, its exact gradient over (theta, beta) or None, passes so far)
    at the point; the criterion is nan where PIRLS fails. ``beta``: the fixed effects,
    then the family's parameters beside them as :func:`glmm_batches_fit` takes them."""

def glmm_batches_crossed_fit(
    read: Callable[[], Any],
    n_levels: Sequence[int],
    p: int,
    q: Sequence[int],
    blocks: Sequence[Sequence[int]],
    family: str,
    link: str | None = None,
    laplace: str | None = None,
    theta: _Theta | None = None,
    max_iter: int = 300,
    beta: _Theta | None = None,
    nagq: int = 1,
    zi: bool | None = None,
) -> dict[str, Any]:
    """The fit of a GLMM with several grouping factors (crossed or nested, in
    the crossed core's order: most levels first) from rows read in batches: ``read()``
    returns an iterable of ``(y, x, z, codes, weights, offset)`` tuples, the same rows in
    the same order at every call; ``codes`` holds each factor's n codes one factor after
    another and ``z`` each factor's n x q_j columns (row-major) likewise. The fit's dict
    as ``CrossedGlmmCore.fit`` returns it (``u``, ``b`` and ``cond_var`` one array per
    factor), without ``eta`` and ``mu``, with ``passes`` and ``laplace``. ``nagq``: 0 (the
    joint PIRLS's criterion) or 1 (Laplace's)."""

def glmm_batches_crossed_criterion(
    read: Callable[[], Any],
    n_levels: Sequence[int],
    p: int,
    q: Sequence[int],
    blocks: Sequence[Sequence[int]],
    family: str,
    link: str | None = None,
    laplace: str | None = None,
    zi: bool | None = None,
) -> Any:
    """The Laplace criterion of a GLMM with several grouping factors from rows read in
    batches, at one point after another (for :func:`glmm_batches_evaluate`; theta in the
    crossed core's order of factors): ``read()`` as for :func:`glmm_batches_crossed_fit`.
    The rows are checked at the first evaluation; each evaluation's PIRLS starts from the
    last one's modes."""

class _FamilyEntry(TypedDict):
    """One family of the core's table (``families``)."""

    links: tuple[str, ...]
    """Its links by R's names, the canonical one first."""
    dispersion: bool
    """Whether it has a dispersion parameter."""

def families() -> dict[str, _FamilyEntry]:
    """The GLMM families by R's names: for each, its links (R's names, the canonical one
    first) and whether it has a dispersion parameter."""

def family_linkinv(link: str, eta: _Float64) -> _Float64:
    """The mean of each linear predictor under ``link``, clamped as R clamps it."""

def family_mu_eta(link: str, eta: _Float64) -> _Float64:
    """d mu / d eta at each linear predictor under ``link``."""

def family_laplace_weights(
    family: str,
    link: str,
    observed: bool,
    y: _Float64,
    eta: _Float64,
    w: _Float64,
    phi: _Float64,
    power: _Float64,
    zi: _Float64,
) -> _Float64:
    """Each row's weight in the Laplace approximation's curvature, as the cores take it."""

def family_variance(family: str, mu: _Float64, phi: _Float64) -> _Float64:
    """The variance function V(mu) at each mean (a negative binomial's at its phi)."""

def family_dev_resid(family: str, y: _Float64, mu: _Float64, w: _Float64, phi: _Float64) -> _Float64:
    """Each row's unit deviance times its prior weight (R's dev.resids; NaN for a family without one)."""

@final
class ProductsAccumulator:
    """Products of rows added batch by batch, kept in the core's memory."""

    def __new__(
        cls,
        n_groups: int,
        p: int,
        q: int,
        shift: dict[str, Any] | None = None,
        weighted: bool = False,
        z_in_x: Sequence[int] | None = None,
    ) -> ProductsAccumulator: ...
    @property
    def n(self) -> int:
        """Number of rows added."""
    @property
    def m(self) -> int:
        """Number of groups."""
    @property
    def yty(self) -> float:
        """y'y of the rows added (of the shifted rows)."""
    @property
    def xtx(self) -> _Float64:
        """X'X of the rows added (of the shifted rows), a new (p, p) array."""
    def add_rows(self, y: _Float64, x: _Float64, z: _Float64, codes: _Int64, weights: _Float64 | None = None) -> None:
        """Adds a batch of rows (codes in 0..m-1) to the products."""
    def add_columns(
        self,
        y: _Float64,
        x_columns: Sequence[_Float64 | None],
        z_columns: Sequence[_Float64 | None],
        codes: _Int64,
    ) -> tuple[int, tuple[str, int, int] | None]:
        """Adds a batch given as columns (None: a column of ones); rows holding a NaN
        are left out. Returns (rows_left_out, None), or (0, (part, column, row)) for an
        infinite value, adding nothing."""
    def grow(self, n_groups: int) -> None:
        """Adds groups without rows up to n_groups groups."""
    def products(self, order: _Int64 | Sequence[int] | None = None, release: bool = False) -> _Products:
        """The products so far, as a dict; with `order`, those groups only, in that order.
        With ``release`` (``order`` a permutation of 0..k-1) they are taken out, the
        records handed back as they are copied; the accumulator holds no group after."""

class _Dimensions:
    """The sizes every core reports (a name of this stub only, not of the module)."""

    @property
    def n(self) -> int:
        """Number of rows."""
    @property
    def p(self) -> int:
        """Number of fixed-effect columns."""
    @property
    def q(self) -> int:
        """Number of random-effect columns (summed over the factors' terms)."""
    @property
    def n_theta(self) -> int:
        """Length of ``theta``."""

@final
class LmmCore(_Dimensions):
    """Pre-computed cross-products for one grouping factor.

    ``LmmCore(y, x, z, codes, n_groups, evaluator="auto")``: float64 ``y`` (n,),
    C-contiguous float64 ``x`` (n, p) and ``z`` (n, q), int64 ``codes`` (n,) in
    0..n_groups-1. ``theta`` is the lower triangle of Lambda taken column by column;
    with ``blocks`` (positive sizes summing to q) Lambda is block diagonal (terms in
    different blocks uncorrelated) and ``theta`` lists each block's lower triangle.
    ``weights`` (float64 (n,), finite and positive) are prior weights: the residual
    variance of row i is sigma^2 / weights[i], as in lme4, and the criterion gains
    -sum(log(weights)); weights of exactly 1.0 give the unweighted results to the bit.

    When a column of ``x`` is constant and non-zero (an intercept), the products are
    formed from ``y`` and the columns of ``x`` that lie far from zero less centres, an
    exact reparameterisation (large means cost no digits; the intercept and
    ``cov_beta`` are mapped back). Without one the rows are used as given, and
    ``solution`` and ``fit`` warn (``RuntimeWarning``) when digits are lost. A response
    the fixed effects fit exactly makes every ``theta`` infeasible. Pickling keeps the
    products and the fingerprints of the rows (not the rows), tagged with the version.
    """

    def __new__(
        cls,
        y: _Float64,
        x: _Float64,
        z: _Float64,
        codes: _Int64,
        n_groups: int,
        evaluator: _Evaluator | str = "auto",
        *,
        blocks: Sequence[int] | None = None,
        weights: _Float64 | None = None,
    ) -> LmmCore: ...
    @property
    def m(self) -> int:
        """Number of groups."""
    @property
    def evaluator(self) -> Literal["blocks", "aggregated", "streaming"]:
        """The kernel in use."""
    @property
    def n_classes(self) -> int | None:
        """Number of distinct Z_i'Z_i classes when the aggregated kernel is used, else None."""
    def deviance(self, theta: _Theta, reml: bool = True) -> float:
        """Profiled deviance at ``theta``; ``inf`` for an infeasible ``theta``."""
    def criterion_parts(self, theta: _Theta, reml: bool = True) -> dict[str, Any]:
        """The criterion split for inference: deviance, logdet (with the weights'
        constant), pwrss, nu, the analytic gradients grad_logdet and grad_pwrss, beta
        and fixed_inverse."""
    def deviance_grad(self, theta: _Theta, reml: bool = True) -> tuple[float, list[float]]:
        """Profiled deviance and its analytic gradient at ``theta``."""
    def deviance_hessian(self, theta: _Theta, reml: bool = True) -> float | None:
        """Analytic second derivative for q = 1; ``None`` when q > 1, ``nan`` if infeasible."""
    def solution(self, theta: _Theta, reml: bool = True) -> _Solution:
        """Every derived quantity at a given ``theta``, without re-optimising."""
    def fit(
        self,
        starts: _Theta,
        reml: bool = True,
        max_iter: int = 300,
        gtol: float = 1e-8,
        ftol: float = 1e-12,
    ) -> _FitResult:
        """Fit by minimising the profiled criterion over ``theta`` from each start
        (a flat concatenation of starting vectors); the best result wins."""
    def lower_bounds(self) -> list[float]:
        """Lower bounds on ``theta``: 0 for diagonal entries, -inf off the diagonal."""
    def theta_index(self) -> list[tuple[int, int]]:
        """The (row, column) of Lambda that each entry of ``theta`` holds, in order."""
    def default_theta(self) -> list[float]:
        """The identity relative covariance factor."""
    def with_response(
        self, y: _Float64, x: _Float64, z: _Float64, codes: _Int64, *, weights: _Float64 | None = None
    ) -> LmmCore:
        """The same design with a new response, reusing every design-only product.

        ``x``, ``z``, ``codes`` and ``weights`` must be the arrays the core was built
        from (checked by fingerprints: ``ValueError`` otherwise)."""
    @classmethod
    def from_products(
        cls, products: _Products, evaluator: str = "auto", blocks: Sequence[int] | None = None, take: bool = False
    ) -> LmmCore:
        """A core from products (reduce_rows' dicts, merged) instead of rows. With
        ``take`` the dict's per-group arrays are removed from it as they are read."""
    def fixed_at(self, j: int, value: float) -> LmmCore:
        """The same model with fixed effect ``j`` held at ``value``: a new core for the
        response y - x_j * value and the other fixed-effect columns, from the products."""
    def __reduce__(self) -> tuple[object, ...]:
        """Pickling support: products, centres and fingerprints, tagged with the version."""
    def conditional_covariances(self, theta: _Theta, reml: bool = True) -> _Float64:
        """Var(b_i | y) for every group at ``theta``, shape (m, q, q)."""

class _CrossedSolution(_SolutionBase):
    """Every derived quantity at one ``theta`` (returned by ``CrossedCore.solution``);
    the per-factor entries are lists with one array per grouping factor."""

    random_effects: list[_Float64]
    """Per factor (m_j, q_j): conditional modes b on the scale of its ``z``."""
    u: list[_Float64]
    """Per factor (m_j, q_j): spherical random effects, b = Lambda_j u."""
    cond_var: list[_Float64] | None
    """Per factor (m_j, q_j, q_j): Var(b | y) of each level, sigma2 Lambda (A_ZZ^-1) Lambda'
    (None from ``fit(..., cond_var=False)``)."""

class _CrossedFitResult(_CrossedSolution, _Report):
    """``_CrossedSolution`` at the best optimum, with the optimiser's report."""

@final
class CrossedCore(_Dimensions):
    """Cross-products of a linear mixed model whose random-effects terms sit on K >= 1
    grouping factors, crossed or nested.

    ``factors`` holds one tuple ``(codes, n_levels, z, blocks)`` per factor, most levels
    first (lme4's order): int64 ``codes`` (n,) in 0..n_levels-1, C-contiguous float64
    ``z`` (n, q_j) and the sizes of its terms, uncorrelated blocks of Lambda_j.
    ``term_order`` lists the terms as (factor, term) pairs in the order of theta (lme4's);
    None: factor by factor. ``theta`` is the concatenation over the terms in that order of
    each term's lower triangle, column by column; every theta taken or returned (starts,
    h0, gradients, bounds) is in that layout. ``block_kinds`` tells how each factor's
    part of the Cholesky factor is stored. A pickle holds the arguments it was built
    from.
    """

    def __new__(
        cls,
        y: _Float64,
        x: _Float64,
        factors: Sequence[tuple[_Int64, int, _Float64, Sequence[int]]],
        *,
        weights: _Float64 | None = None,
        term_order: Sequence[tuple[int, int]] | None = None,
    ) -> CrossedCore: ...
    @classmethod
    def from_products(
        cls, products: _Products, blocks: Sequence[Sequence[int]], term_order: Sequence[tuple[int, int]] | None = None
    ) -> CrossedCore:
        """A core from crossed products (levels coded 0..m_j-1, each cross block's
        pairs in increasing order), each factor's terms' sizes, and term_order as
        CrossedCore takes it."""
    @property
    def m(self) -> list[int]:
        """Levels of each factor."""
    @property
    def term_sizes(self) -> list[int]:
        """Columns of each term, in the order of term_order."""
    @property
    def evaluator(self) -> str:
        """'blocked': the factor's storage is chosen per factor."""
    @property
    def n_classes(self) -> None:
        """None: the crossed core has no classes of groups."""
    @property
    def block_kinds(self) -> list[str]:
        """How each factor's block of the factor is stored: 'diagonal' (one block per level) or 'dense'."""
    def deviance(self, theta: _Theta, reml: bool = True) -> float:
        """Profiled deviance at `theta`; inf for an infeasible `theta`."""
    def deviance_grad(self, theta: _Theta, reml: bool = True) -> tuple[float, list[float]]:
        """Profiled deviance and its analytic gradient; (inf, [nan, ...]) for an infeasible `theta`."""
    def criterion_parts(self, theta: _Theta, reml: bool = True) -> dict[str, Any]:
        """The criterion split for inference, as LmmCore.criterion_parts."""
    def solution(self, theta: _Theta, reml: bool = True) -> _CrossedSolution:
        """Everything at `theta`: beta, cov_beta, and per factor cov_re, random_effects, u and cond_var."""
    def conditional_covariances(self, theta: _Theta, reml: bool = True) -> list[_Float64]:
        """Var(b | y) of every level at ``theta``, per factor (m_j, q_j, q_j)."""
    def prediction_variance(
        self,
        theta: _Theta,
        x: npt.NDArray[np.float64],
        levels: Sequence[npt.NDArray[np.int64]],
        z: Sequence[npt.NDArray[np.float64]],
        reml: bool = True,
    ) -> npt.NDArray[np.float64]:
        """||L^-1 v||^2 per new row, L L' the system at `theta` and v = [Lambda_j'z0_j at
        each factor's level; x0]: times sigma^2, the variance of the row's prediction
        error. `x` (r, p); `levels` per factor an int64 (r,) array (-1 for a new level,
        which adds nothing); `z` per factor a float64 (r, q_j) array."""
    def fit(
        self,
        starts: _Theta,
        reml: bool = True,
        max_iter: int = 300,
        gtol: float = 1e-8,
        ftol: float = 1e-12,
        cond_var: bool = False,
        h0: _Theta | None = None,
    ) -> _CrossedFitResult:
        """Minimises the criterion from each start (their flat concatenation); the best
        solution and the run's report (its cond_var None unless cond_var: solution()
        gives them at the fitted theta). h0, when given, is the initial inverse Hessian
        of every run (n_theta x n_theta, flat, row-major), as start() gives it."""
    def default_theta(self) -> list[float]:
        """Identity Lambda."""
    @overload
    def start_theta(self, reml: bool = True, with_model: Literal[False] = False) -> list[float]: ...
    @overload
    def start_theta(self, reml: bool, with_model: Literal[True]) -> tuple[list[float], list[float] | None]:
        """A start for fit(): each factor's theta from the model with that factor alone
        (its products only), diagonal entries at least 0.1; the identity instead where a
        factor is nested in another and the criterion is lower there. With with_model,
        (theta, h0): h0 the factor-by-factor model of the inverse Hessian at that start
        for fit(h0=...), or None."""
    def start(self, reml: bool = True) -> tuple[list[float], list[float] | None]:
        """start_theta(reml, with_model=True)."""
    def lower_bounds(self) -> list[float]:
        """0 on diagonal entries of Lambda, -inf elsewhere."""
    def theta_index(self) -> list[tuple[int, int]]:
        """(row, column) of each entry of theta in Lambda's template: one block per term."""
    def factor_lambdas(self, theta: _Theta) -> list[_Float64]:
        """Lambda_j of each factor at `theta` (q_j x q_j, its terms' blocks together)."""
    def with_response(self, y: _Float64, *rows: Any, weights: _Float64 | None = None) -> CrossedCore:
        """The same design with the response `y` (x and the factors kept; `rows`
        accepted and not read)."""
    def fixed_at(self, j: int, value: float) -> CrossedCore:
        """The same model with fixed effect `j` held at `value`."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickles what the core was built from."""

class _GlmmFitBase(_Report):
    """What both GLMM cores' ``fit`` report, besides the modes."""

    theta: _Float64
    beta: _Float64
    phi: float | None
    """The family's dispersion parameter (None for a family without one)."""
    zi: float | None
    """The zero-inflation (or hurdle) probability where it is a constant (else None)."""
    zi_beta: _Float64 | None
    """The zero-inflation's coefficients, its logit's (None without zero-inflation)."""
    m2loglik: float
    """-2 log-likelihood at the fit, all constants included (Laplace or quadrature)."""
    nagq: int
    fev_stage1: int
    """Criterion evaluations of the nAGQ = 0 stage."""
    start_seconds: float
    """Seconds to the optimiser's first point: the joint PIRLS at the first theta, the
    penalised quasi-likelihood start and the joint PIRLS at the theta it gives, which
    every nAGQ shares (nAGQ = 0 takes its gradient there too)."""
    grad: _Float64
    """(n_theta + p,) the gradient at the fit; (n_theta,) for nagq = 0."""
    eta: _Float64
    mu: _Float64
    vcov: _Float64
    """(p, p) covariance of beta: from the Hessian over (theta, beta) when positive definite."""
    vcov_rx: _Float64
    """(p, p) covariance of beta at fixed theta."""
    vcov_source: Literal["hessian", "rx"]
    hessian: _Float64 | None

class _GlmmFitResult(_GlmmFitBase):
    """The report of ``GlmmCore.fit``."""

    u: _Float64
    b: _Float64
    """(m, q) conditional modes of the random effects, b = Lambda u."""
    cond_var: _Float64
    """(m, q, q) conditional covariance of b per group."""

class _CrossedGlmmFitResult(_GlmmFitBase):
    """The report of ``CrossedGlmmCore.fit``: the modes per factor."""

    u: list[_Float64]
    b: list[_Float64]
    """Per factor (m_j, q_j): the conditional modes of its random effects."""
    cond_var: list[_Float64]
    """Per factor (m_j, q_j, q_j)."""

@disjoint_base
class _GlmmBase(_Dimensions):
    """The methods and attributes GlmmCore and CrossedGlmmCore share; not instantiated itself.
    Every theta taken or returned (and the gradient's and the Hessian's theta part) is in
    the core's layout."""

    @property
    def m(self) -> int | list[int]:
        """Number of groups (one factor), or each factor's levels."""
    @property
    def family(self) -> str: ...
    @property
    def link(self) -> str: ...
    @property
    def laplace(self) -> Literal["fisher", "observed"]:
        """The information in the Laplace approximation's determinant."""
    def criterion(self, theta: _Theta, beta: _Theta, nagq: int = 1) -> float:
        """-2 log-likelihood by Laplace (nagq=1) or, with one grouping factor, adaptive
        quadrature; inf where the modes fail."""
    def gradient(self, theta: _Theta, beta: _Theta, nagq: int = 1) -> tuple[float, _Float64]:
        """The Laplace criterion and its exact gradient over (theta, beta)."""
    def deviance(self, theta: _Theta, beta: _Theta, nagq: int = 1) -> float:
        """``criterion`` under the name every core gives it."""
    def deviance_grad(self, theta: _Theta, beta: _Theta, nagq: int = 1) -> tuple[float, _Float64]:
        """``gradient`` under the name every core gives it."""
    def criterion0(self, theta: _Theta, beta0: _Theta | None = None) -> tuple[float, _Float64]:
        """nAGQ = 0: the criterion with beta from the joint PIRLS, and that beta."""
    def gradient0(self, theta: _Theta, beta0: _Theta | None = None) -> tuple[float, _Float64, _Float64]:
        """nAGQ = 0: criterion0's value and beta, and the criterion's exact gradient over
        theta and the family's parameters beside beta."""
    def fit(
        self, nagq: int = 1, theta: _Theta | None = None, beta: _Theta | None = None, max_iter: int = 300
    ) -> _GlmmFitBase:
        """The maximum-likelihood fit (nagq 0 or 1 with several grouping factors)."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickles the arguments the core was built from."""

@final
class GlmmCore(_GlmmBase):
    """A binomial or Poisson mixed model with random-effects terms on one grouping factor."""

    def __new__(
        cls,
        y: _Float64,
        x: _Float64,
        z: _Float64,
        codes: _Int64,
        n_groups: int,
        blocks: Sequence[int],
        weights: _Float64,
        offset: _Float64 | None,
        family: str,
        link: str | None = None,
        laplace: str | None = None,
        zi: bool | _Float64 | None = None,
    ) -> GlmmCore: ...
    @property
    def m(self) -> int: ...
    def fit(  # the modes as arrays
        self, nagq: int = 1, theta: _Theta | None = None, beta: _Theta | None = None, max_iter: int = 300
    ) -> _GlmmFitResult: ...

@final
class CrossedGlmmCore(_GlmmBase):
    """A binomial or Poisson mixed model with terms on several grouping factors (Laplace).
    ``term_order`` lays theta out as CrossedCore's does."""

    def __new__(
        cls,
        y: _Float64,
        x: _Float64,
        factors: Sequence[tuple[_Int64, int, _Float64, Sequence[int]]],
        weights: _Float64,
        offset: _Float64 | None,
        family: str,
        link: str | None = None,
        term_order: Sequence[tuple[int, int]] | None = None,
        laplace: str | None = None,
        zi: bool | None = None,
    ) -> CrossedGlmmCore: ...
    @property
    def m(self) -> list[int]: ...
    def fit(  # the modes per factor
        self, nagq: int = 1, theta: _Theta | None = None, beta: _Theta | None = None, max_iter: int = 300
    ) -> _CrossedGlmmFitResult: ...

class _StructuredSolution(_Report, total=False):
    params: list[float]
    deviance: float
    pwrss: float
    sigma2: float
    ldl2: float
    ldrx2: float
    logdet_r: float
    beta: _Float64
    fixed_inverse: _Float64
    u: _Float64
    cond_cov: _Float64
    natural: list[float]

@final
class StructuredCore(_Dimensions):
    """A linear model whose residuals are correlated or of unequal variance within
    subjects, with random effects on a factor whose groups are runs of whole subjects
    (q = 0: none). rows is n x (q + p + 1), z | x | y, sorted by group, subject and
    time; subjects and groups are offsets (into the rows, into the subjects).
    Without random effects, reduce=True keeps only the patterns of the subjects (their
    structure arrays' representative rows, counts and products: subject_patterns maps
    the subjects to them); counts and products (with rows of none) build a core from
    patterns so kept. Such a core has no rows, and pickles its patterns. With factors,
    each (codes, width, levels, blocks), the random effects are on those factors,
    crossed or not nested in the subjects (z their columns side by side, the subjects
    one group)."""

    def __new__(
        cls,
        rows: _Float64,
        q: int,
        subjects: _Int64,
        groups: _Int64,
        blocks: Sequence[int],
        correlation: str,
        times: _Float64 | None = None,
        coords: _Float64 | None = None,
        n_visits: int = 0,
        nugget: bool = False,
        variances: Sequence[tuple[str, int, _Float64]] = (),
        structure_groups: _Int64 | None = None,
        reduce: bool = False,
        counts: _Int64 | None = None,
        products: _Float64 | None = None,
        factors: Sequence[tuple[_Int64, int, int, Sequence[int]]] | None = None,
    ) -> StructuredCore: ...
    @property
    def from_patterns(self) -> bool:
        """Whether the core holds its patterns' products alone, no rows."""
    @property
    def subject_patterns(self) -> _Int64 | None:
        """A core reduced from rows: each of their subjects' pattern; else None."""
    def merged(self, other: StructuredCore, /) -> tuple[StructuredCore, _Int64]:
        """A core of this core's patterns and other's merged by key, and the place of
        each of other's patterns in it."""
    @property
    def m(self) -> int: ...
    @property
    def n_params(self) -> int:
        """Length of params: theta's entries, then the structure's."""
    @property
    def n_subjects(self) -> int:
        """Number of subjects (of a core from patterns: of patterns)."""
    def deviance(self, params: _Theta, reml: bool = True) -> float:
        """The profiled REML (or ML) criterion at params; inf where it is infeasible."""
    def deviance_grad(self, params: _Theta, reml: bool = True) -> tuple[float, _Float64]:
        """The criterion and its exact gradient in params."""
    def solution(self, params: _Theta, reml: bool = True) -> _StructuredSolution:
        """The estimates and the criterion's parts at params."""
    def fit(
        self, start: _Theta, reml: bool = True, max_iter: int = 300, gtol: float = 1e-08, ftol: float = 1e-12
    ) -> _StructuredSolution:
        """Minimises the criterion from start; the solution with the optimiser's report."""
    def residual_matrix(self, params: _Theta, subject: int) -> _Float64:
        """R of one subject (its residuals' covariance divided by sigma^2)."""
    def residual_matrix_of(
        self,
        params: _Theta,
        times: _Float64 | None = None,
        coords: _Float64 | None = None,
        variances: Sequence[tuple[str, int, _Float64]] = (),
        group: int = 0,
    ) -> _Float64:
        """R of rows given by their times, coordinates and variance values, as one subject of
        the structure group."""
    def __reduce__(self) -> tuple[Any, ...]: ...
