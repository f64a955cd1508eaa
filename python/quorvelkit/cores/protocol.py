"""The one interface of the compiled cores: what a caller may ask of any core, whether it
holds one grouping factor or several, a linear or a generalized model.

Every core (LmmCore, CrossedCore, GlmmCore, CrossedGlmmCore) is a :class:`Core`: its sizes,
its criterion at a theta (``deviance``, with ``deviance_grad`` its gradient), its fit
(``fit(..., max_iter=...)``, a dict with the estimates and the optimiser's report) and its
pickling. What the criterion takes after theta is the model's: ``reml`` for the linear
cores, ``beta`` and ``nagq`` for the generalized ones, whose fit also moves beta. The
linear cores are :class:`LinearCore` besides: the solution at a theta with the conditional
modes and their covariances, the products they can be built from, and the cores derived
from them; the generalized ones are :class:`GeneralizedCore`: their family, and the
criterion under its glmer names (``criterion``, ``gradient``, ``criterion0`` for nAGQ = 0),
whose fit returns the modes and their covariances.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Protocol, runtime_checkable

__all__ = ["Core", "LinearCore", "GeneralizedCore"]


@runtime_checkable
class Core(Protocol):
    """What every compiled core offers. (Every core also has its sizes n, p, q, n_theta
    and m: the number of groups with one grouping factor, each factor's levels with
    several.)"""

    def deviance(self, theta: Any, *args: Any, **kwargs: Any) -> float: ...
    def deviance_grad(self, theta: Any, *args: Any, **kwargs: Any) -> tuple[float, Any]: ...
    def fit(self, *args: Any, **kwargs: Any) -> Mapping[str, Any]: ...
    def __reduce__(self) -> tuple[Any, ...]: ...


@runtime_checkable
class LinearCore(Core, Protocol):
    """A linear mixed model's core: profiled over beta and sigma, so that theta alone
    (with ``reml``) fixes every estimate."""

    def solution(self, theta: Any, reml: bool = True) -> Mapping[str, Any]: ...
    def criterion_parts(self, theta: Any, reml: bool = True) -> dict[str, Any]: ...
    def conditional_covariances(self, theta: Any, reml: bool = True) -> Any: ...
    @classmethod
    def from_products(cls, products: Any, *args: Any, **kwargs: Any) -> Any: ...
    def with_response(self, y: Any, *args: Any, **kwargs: Any) -> Any: ...
    def fixed_at(self, j: int, value: float) -> Any: ...
    def default_theta(self) -> list[float]: ...
    def lower_bounds(self) -> list[float]: ...
    def theta_index(self) -> list[tuple[int, int]]: ...


@runtime_checkable
class GeneralizedCore(Core, Protocol):
    """A generalized linear mixed model's core: its criterion is over (theta, beta)."""

    @property
    def family(self) -> str: ...
    @property
    def link(self) -> str: ...
    def criterion(self, theta: Any, beta: Any, nagq: int = 1) -> float: ...
    def gradient(self, theta: Any, beta: Any, nagq: int = 1) -> tuple[float, Any]: ...
    def criterion0(self, theta: Any, beta0: Any = None) -> tuple[float, Any]: ...
