"""The options of a fit, declared once and taken by every entry point, and the run of
the core under them: lme4's start or the caller's starts, the optimiser, or the model
evaluated at a theta the caller gives, with the core's refusals turned into the
package's errors."""

from __future__ import annotations

import difflib
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, fields
from typing import Any

import numpy as np

from .._quorvelkit import LmmCore
from ..formula.checks import check_flag
from ..support.errors import core_refusals

__all__ = ["FitOptions", "run_core"]

#: The options of data read in batches (see quorvelkit.sources.batch_loop.lmm, quorvelkit.sources.dask.lmm).
_SOURCE_OPTIONS = ("batch_rows", "levels", "progress", "split_every")

#: R's spellings of arguments and the names they have here.
_R_NAMES = {"REML": "reml", "control": "max_iter", "start": "starts", "nAGQ": None}


@dataclass(frozen=True)
class FitOptions:
    """How a model is fitted; every entry point (:func:`quorvelkit.lmm` for a data frame
    or a batched source, :func:`quorvelkit.sources.dask.lmm`, :func:`quorvelkit.sources.spark.lmm`)
    takes these as keyword arguments, the first three also by position after the data,
    or all at once as ``options=FitOptions(...)``. :func:`quorvelkit.glmm` takes
    ``max_iter`` by keyword, and its ``theta=`` is its one start (``starts``).

    Attributes:
        reml: fit by REML (``True``, the default) or by maximum likelihood (``False``);
            a boolean (a NumPy boolean is fine), anything else is a ``TypeError``.
        evaluator: the core's kernel: ``"auto"``, ``"blocks"``, ``"aggregated"`` or
            ``"streaming"``; all give the same fit.
        starts: starting values for theta, one vector or several (a 2-D array or a flat
            concatenation); with several, the lowest optimum wins. By default the
            identity factor alone (lme4's start): the optimiser reaches the optimum
            from it, so further starts only cost time.
        theta: evaluate the model at this theta without optimising (like lme4's
            ``optimizer = NULL``); useful for comparisons and profiles.
        max_iter: iteration limit of the optimiser, per start.
    """

    reml: bool = True
    evaluator: str = "auto"
    starts: Any = None
    theta: Sequence[float] | None = None
    max_iter: int = 300

    def __post_init__(self) -> None:
        check_flag("reml", self.reml)

    @classmethod
    def take(cls, args: Sequence[Any], kwargs: dict[str, Any], call: str) -> FitOptions:
        """The options given to ``call`` as ``args`` (reml, evaluator, starts by
        position) and keyword arguments, or as one record, ``options=``; those are
        removed from ``kwargs``, which keeps the call's other options."""
        names = [f.name for f in fields(cls)]
        if "options" in kwargs:
            options = kwargs.pop("options")
            if args or any(name in kwargs for name in names) or not isinstance(options, cls):
                raise TypeError(f"{call} takes a FitOptions as options=, or the fit options one by one, not both")
            return options
        if len(args) > 3:
            raise TypeError(f"{call} takes at most 3 fit options by position (reml, evaluator, starts)")
        given = dict(zip(names, args, strict=False))
        for name in names:
            if name in kwargs:
                if name in given:
                    raise TypeError(f"{call} got multiple values for argument '{name}'")
                given[name] = kwargs.pop(name)
        return cls(**given)


def unknown_options(kwargs: Mapping[str, Any], call: str, known: Sequence[str] = ()) -> TypeError:
    """The refusal of keyword arguments ``call`` does not take, with R's spelling or a
    close name suggested."""
    name = next(iter(kwargs))
    if call == "lmm()" and name in _SOURCE_OPTIONS:
        return TypeError(f"lmm() got options of a batched source for a data frame: {', '.join(kwargs)}")
    valid = [f.name for f in fields(FitOptions)] + list(known) + ["weights", "offset", "subset"]
    hint = ""
    if name in _R_NAMES:
        hint = f"; R's {name}= is {_R_NAMES[name]}= here" if _R_NAMES[name] else f"; {name}= has no meaning here"
    else:
        close = difflib.get_close_matches(name, valid, n=1)
        if close:
            hint = f"; did you mean {close[0]}=?"
    return TypeError(f"{call} got an unexpected keyword argument '{name}'{hint}")


def run_core(
    core: LmmCore, options: FitOptions, response: str, fe_names: Sequence[str]
) -> tuple[Mapping[str, Any], int]:
    """The core's result (its fit, or its solution at ``options.theta``) and the number
    of starts (0 for a given theta). ``response`` and ``fe_names`` name what the core's
    refusals are about."""
    if options.theta is not None:
        with core_refusals(response, fe_names):
            return evaluate_at(core, options.theta, options.reml), 0
    starts = options.starts
    model: dict[str, Any] = {}
    if starts is not None:
        flat = flatten_starts(starts, core.n_theta)
    elif hasattr(core, "start"):  # several factors: a start from each factor alone
        flat, h0 = core.start(bool(options.reml))
        if h0 is not None:
            model["h0"] = h0
    else:
        flat = list(core.default_theta())
    with core_refusals(response, fe_names):
        result = core.fit(flat, reml=bool(options.reml), max_iter=int(options.max_iter), **model)
    return result, len(flat) // core.n_theta


def flatten_starts(starts: Any, n_theta: int) -> list[float]:
    arr = np.asarray(starts, dtype=float)
    if arr.ndim == 0:
        arr = arr.reshape(1)
    flat = [float(v) for v in arr.ravel()]
    if not flat or len(flat) % n_theta:
        raise ValueError(f"starts must be one or more theta vectors of length {n_theta}, got {len(flat)} values")
    return flat


def evaluate_at(core: LmmCore, theta: Sequence[float], reml: bool) -> dict[str, Any]:
    """The core's solution at ``theta``, with the optimiser's report of a fit that did
    not move: one evaluation, and the largest |gradient entry| there."""
    theta_l = [float(v) for v in np.asarray(theta, dtype=float).ravel()]
    result: dict[str, Any] = dict(core.solution(theta_l, reml=bool(reml)))
    result.update(
        converged=False,
        iterations=0,
        fev=1,
        grad_inf_norm=float(np.max(np.abs(result["grad"]))),
        message="theta given by the caller (not optimised)",
    )
    return result
