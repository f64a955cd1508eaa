"""Estimated marginal means of a fitted model and their contrasts, with emmeans'
definitions (Lenth, R package emmeans; Searle, Speed and Milliken 1980).

A marginal mean is a linear function l'beta: the mean of the reference grid's rows
(:mod:`quorvelkit.results.reference_grid`) over the cells that share its levels of
``specs`` (and of ``by``), weighted equally or by the cells' counts in the data.
Contrasts are further linear functions C L of the means, within each ``by`` group.
Each table's estimate, standard error and df come from one provider, a function
L -> (L beta, sqrt(diag(L Cov(beta) L')), df) chosen by name (:data:`DDF_METHODS`);
p-values and intervals are adjusted within each ``by`` group
(:mod:`quorvelkit.results.multiplicity`).

On the response scale of a GLMM a mean is g^-1(l'beta) with the delta method's SE
|d mu / d eta| SE(eta) and the interval g^-1 of the link-scale interval; a contrast
under a log or logit link (rows summing to zero) is exp(C L beta), a ratio or an odds
ratio, tested on the link scale, as emmeans' ``type = "response"`` gives them.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
import pandas as pd

from . import multiplicity as mt
from .reference_grid import ReferenceGrid, reference_grid

__all__ = ["DDF_METHODS", "MarginalMeans", "Contrasts", "marginal_means"]

#: A provider of a table's inference: L (k, p) -> estimates, standard errors, df (each (k,)).
Provider = Callable[[np.ndarray], tuple[np.ndarray, np.ndarray, np.ndarray]]


def _asymptotic(fit: Any) -> Provider:
    """Wald z: the fit's estimates and covariance, df infinite."""
    beta, cov = fit.fixef.to_numpy(), fit.cov_fixef.to_numpy()

    def provide(L: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        return L @ beta, np.sqrt(np.einsum("ri,ij,rj->r", L, cov, L)), np.full(L.shape[0], math.inf)

    return provide


def _satterthwaite(fit: Any) -> Provider:
    """The fit's estimates and covariance with Satterthwaite's df of each row (as
    lmerTest's ``contest``; :mod:`quorvelkit.results.satterthwaite`)."""
    from .satterthwaite import t_tests

    if not hasattr(fit, "satterthwaite"):
        raise ValueError(f"Satterthwaite's df are not offered for a {type(fit).__name__}; use ddf='asymptotic'")
    wald, info = _asymptotic(fit), fit.satterthwaite()

    def provide(L: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        est, se, _ = wald(L)
        return est, se, np.asarray(t_tests(info, L)["df"], dtype=float)

    return provide


def _kenward_roger(fit: Any) -> Provider:
    """Kenward and Roger's adjusted covariance and df of each row (emmeans'
    ``lmer.df = "kenward-roger"``; :mod:`quorvelkit.results.kenward_roger`)."""
    if not hasattr(fit, "kenward_roger"):
        raise ValueError(f"Kenward-Roger's df are not offered for a {type(fit).__name__}; use ddf='satterthwaite'")
    info = fit.kenward_roger()

    def provide(L: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        t = info.t_tests(L)
        return t["estimate"], t["se"], np.asarray(t["df"], dtype=float)

    return provide


#: The methods of degrees of freedom by name: each takes the fit and gives its provider.
DDF_METHODS: dict[str, Callable[[Any], Provider]] = {
    "satterthwaite": _satterthwaite,
    "kenward-roger": _kenward_roger,
    "asymptotic": _asymptotic,
}


def _link_functions(link: str) -> tuple[Callable[[np.ndarray], np.ndarray], Callable[[np.ndarray], np.ndarray]]:
    """g^-1 and d mu / d eta of a link, as R's ``make.link`` gives them."""
    from scipy.special import expit, ndtr

    if link == "logit":
        return expit, lambda e: np.exp(-np.abs(e)) / (1.0 + np.exp(-np.abs(e))) ** 2
    if link == "log":
        return np.exp, np.exp
    if link == "probit":
        return ndtr, lambda e: np.exp(-0.5 * e * e) / math.sqrt(2.0 * math.pi)
    if link == "cloglog":
        return lambda e: -np.expm1(-np.exp(e)), lambda e: np.exp(e - np.exp(e))
    return (lambda e: e), np.ones_like


_RESPONSE_NAMES = {"binomial": "prob", "poisson": "rate"}


@dataclass
class _State:
    """What a table needs to be recomputed or contrasted: its linear functions, the
    provider, the link and family, and how its rows group."""

    L: np.ndarray
    offset: np.ndarray  # of each row, added to L beta
    provider: Provider
    link: str
    family: str
    group_rows: list[np.ndarray]
    labels: pd.DataFrame  # the rows' labels (specs and by columns, or contrast and by)
    by: list[str]
    level: float
    adjust: str
    response: bool
    notes: list[str] = field(default_factory=list)


def _table(
    state: _State,
    estimates: tuple[np.ndarray, np.ndarray, np.ndarray],
    family: mt.Family,
    tests: bool,
    ratio_name: str | None,
) -> tuple[pd.DataFrame, list[str]]:
    """The summary table of ``estimates`` (link scale) with intervals at ``state.level``
    adjusted by ``state.adjust`` and, with ``tests``, adjusted tests of zero."""
    est, se, df = estimates
    est = est + state.offset
    notes: list[str] = []
    z = bool(np.all(np.isinf(df)))
    cv, used, note = mt.critical_values(state.level, df, state.adjust, family)
    notes += [note] if note else []
    lo, hi = est - cv * se, est + cv * se
    out = state.labels.copy()
    name = "emmean" if ratio_name is None else ratio_name
    value, shown_se = est, se
    if ratio_name is not None:
        inverse, derivative = (np.exp, np.exp) if ratio_name in ("ratio", "odds.ratio") else _link_functions(state.link)
        value, shown_se = inverse(est), np.abs(derivative(est)) * se
        lo, hi = np.minimum(inverse(lo), inverse(hi)), np.maximum(inverse(lo), inverse(hi))
    elif tests:
        name = "estimate"
    out[name] = value
    out["SE"] = shown_se
    out["df"] = df
    lower, upper = ("asymp.LCL", "asymp.UCL") if z else ("lower.CL", "upper.CL")
    out[lower], out[upper] = lo, hi
    notes.append(f"Confidence level used: {state.level:g}")
    if used != "none":
        notes.append(f"Conf-level adjustment: {used} method {_family_text(used, family, 'estimates')}")
    if tests:
        if ratio_name in ("ratio", "odds.ratio"):
            out["null"] = 1.0
        t = est / se
        out["z.ratio" if z else "t.ratio"] = t
        p, used, note = mt.adjust_pvalues(t, df, state.adjust, family)
        out["p.value"] = p
        notes += [note] if note and note not in notes else []
        if used != "none":
            notes.append(f"P value adjustment: {used} method {_family_text(used, family, 'tests')}")
    return out.reset_index(drop=True), notes


def _family_text(method: str, family: mt.Family, what: str) -> str:
    """How emmeans' messages describe the family an adjustment is for."""
    if method == "tukey":
        return f"for comparing a family of {family.family_size} estimates"
    if method == "scheffe":
        return f"with rank {family.ranks[0]}"
    return f"for {family.n_tests} {what}"


class _Table:
    """A table of estimates (see :class:`MarginalMeans` and :class:`Contrasts`)."""

    _state: _State
    table: pd.DataFrame
    notes: list[str]

    def __repr__(self) -> str:
        shown = self.table.to_string(index=False, float_format=lambda v: f"{v:.6g}")
        return "\n".join([shown, "", *self.notes])

    def _repr_html_(self) -> str:
        notes = "".join(f"<br>{n}" for n in self.notes)
        return str(self.table.to_html(index=False, float_format=lambda v: f"{v:.6g}")) + f"<p>{notes}</p>"

    def to_frame(self) -> pd.DataFrame:
        """The table (a copy)."""
        return self.table.copy()


class MarginalMeans(_Table):
    """Estimated marginal means (returned by ``fit.emmeans``): :attr:`table` holds a
    row per combination of the ``specs`` and ``by`` levels (the first varying fastest,
    as emmeans orders them) with emmeans' columns: the levels, "emmean" (on the
    response scale of a GLMM "prob" for binomial, "rate" for Poisson), "SE", "df", and
    "lower.CL", "upper.CL" ("asymp.LCL", "asymp.UCL" when df are infinite). :attr:`notes`
    are emmeans' messages. :meth:`contrast` and :meth:`pairs` compare the means."""

    def __init__(self, state: _State, specs: list[str]) -> None:
        self._state = state
        self._specs = specs
        ratio = None
        if state.response and state.link != "identity":
            ratio = _RESPONSE_NAMES.get(state.family, "response")
        family = _family(state, state.L, pairs=False)
        self.table, notes = _table(state, state.provider(state.L), family, False, ratio)
        if ratio is not None:
            notes.append(f"Intervals are back-transformed from the {state.link} scale")
        elif state.link != "identity":
            notes.append(f"Results are given on the {state.link} (not the response) scale.")
        self.notes = state.notes + notes

    def summary(self, level: float | None = None, adjust: str | None = None) -> MarginalMeans:
        """The means with intervals at another ``level`` or adjusted by ``adjust``."""
        state = replace(
            self._state,
            level=self._state.level if level is None else float(level),
            adjust=self._state.adjust if adjust is None else adjust,
        )
        return MarginalMeans(state, self._specs)

    def contrast(
        self,
        method: str | Mapping[str, Sequence[float]] = "pairwise",
        *,
        adjust: str | None = None,
        level: float | None = None,
        type: str | None = None,
    ) -> Contrasts:
        """Contrasts of the means within each ``by`` group, emmeans' ``contrast(emm, method)``.

        Args:
            method: "pairwise" (level i - level j, i < j), "revpairwise" (j - i),
                "trt.vs.ctrl" (each level - the first), "consec" (each level - the
                previous), "poly" (orthogonal polynomials, integer-scaled), or a dict
                of name -> coefficients (one per mean of a group).
            adjust: the p-value adjustment (:data:`quorvelkit.results.multiplicity.ADJUSTMENTS`);
                by default emmeans' for the method: "tukey" for pairwise ones, "none"
                for "poly" and custom ones, "dunnettx" for "trt.vs.ctrl" and, where
                emmeans uses the multivariate t (not offered), "sidak" for "consec".
            level: the confidence level (the means').
            type: "link" or "response" (the means'): on the response scale of a log or
                logit link, contrasts (rows summing to zero) are ratios or odds ratios.
        """
        coef, names, default, pairs = _coefficients(method, self._level_labels())
        response = self._state.response if type is None else _check_type(type)
        return Contrasts(self._state, coef, names, adjust or default, pairs, level, response)

    def pairs(self, **kwargs: Any) -> Contrasts:
        """The pairwise comparisons (``contrast("pairwise", ...)``, emmeans' ``pairs``)."""
        return self.contrast("pairwise", **kwargs)

    def _level_labels(self) -> list[str]:
        """The labels of a group's means as emmeans writes them in contrasts: the
        levels of the specs joined by spaces, a variable of numeric levels prefixed
        with its name, a label holding -, +, / or * in parentheses."""
        first = self._state.labels.iloc[self._state.group_rows[0]]
        parts = []
        for name in self._specs:
            texts = [f"{v:.15g}" if isinstance(v, float) else str(v) for v in first[name]]
            numeric = all(_is_number(t) for t in texts)
            parts.append([name + t if numeric else t for t in texts])
        labels = [" ".join(p) for p in zip(*parts, strict=True)]
        return [f"({s})" if any(ch in s for ch in "-+/*") else s for s in labels]


def _is_number(text: str) -> bool:
    try:
        return not math.isnan(float(text))
    except ValueError:
        return False


def _check_type(type: str) -> bool:
    if type not in ("link", "response"):
        raise ValueError(f"type must be 'link' or 'response'; got {type!r}")
    return type == "response"


def _coefficients(
    method: str | Mapping[str, Sequence[float]], levels: list[str]
) -> tuple[np.ndarray, list[str], str, bool]:
    """The coefficients of a contrast family over ``levels`` (one row per contrast),
    its names, emmeans' default adjustment and whether it is a set of pairwise
    differences."""
    k = len(levels)
    eye = np.eye(k)
    if isinstance(method, Mapping):
        coef = np.array([np.asarray(v, dtype=float) for v in method.values()])
        if coef.ndim != 2 or coef.shape[1] != k:
            raise ValueError(f"each custom contrast needs {k} coefficients, one per mean: {levels}")
        return coef, [str(n) for n in method], "none", False
    if k < 2:
        raise ValueError("contrasts need at least two means in each group")
    if method == "pairwise":
        pairs = [(i, j) for i in range(k) for j in range(i + 1, k)]
    elif method == "revpairwise":
        pairs = [(i, j) for i in range(1, k) for j in range(i)]
    elif method == "trt.vs.ctrl":
        pairs = [(i, 0) for i in range(1, k)]
    elif method == "consec":
        pairs = [(i + 1, i) for i in range(k - 1)]
    elif method == "poly":
        coef, names = mt.poly_coefficients(k)
        return coef, names, "none", False
    else:
        raise ValueError(
            "method must be 'pairwise', 'revpairwise', 'trt.vs.ctrl', 'consec', 'poly' or a dict of coefficients; "
            f"got {method!r}"
        )
    coef = np.array([eye[i] - eye[j] for i, j in pairs])
    names = [f"{levels[i]} - {levels[j]}" for i, j in pairs]
    default = {"pairwise": "tukey", "revpairwise": "tukey", "trt.vs.ctrl": "dunnettx"}.get(method, "sidak")
    return coef, names, default, method in ("pairwise", "revpairwise")


def _family(state: _State, L: np.ndarray, pairs: bool, size: int | None = None) -> mt.Family:
    groups = state.group_rows
    ranks = [mt.matrix_rank(L[rows]) for rows in groups]
    return mt.Family(groups, size if size is not None else len(groups[0]), pairs, ranks)


class Contrasts(_Table):
    """Contrasts of marginal means (returned by :meth:`MarginalMeans.contrast`):
    :attr:`table` has a row per contrast and ``by`` group with emmeans' columns
    ("contrast", the ``by`` levels, "estimate" or on the response scale "ratio" /
    "odds.ratio", "SE", "df", the interval, "null" for ratios, "t.ratio" or
    "z.ratio", "p.value"); the intervals and p-values are adjusted within each group."""

    def __init__(
        self,
        means: _State,
        coef: np.ndarray,
        names: list[str],
        adjust: str,
        pairs: bool,
        level: float | None,
        response: bool,
    ) -> None:
        n = len(means.group_rows[0])
        L = np.vstack([coef @ means.L[rows] for rows in means.group_rows])
        offset = np.concatenate([coef @ means.offset[rows] for rows in means.group_rows])
        m = coef.shape[0]
        labels = pd.DataFrame({"contrast": names * len(means.group_rows)})
        for b in means.by:
            labels[b] = np.repeat([means.labels[b].iloc[rows[0]] for rows in means.group_rows], m)
        groups = [np.arange(g * m, (g + 1) * m) for g in range(len(means.group_rows))]
        state = replace(
            means,
            L=L,
            offset=offset,
            group_rows=groups,
            labels=labels,
            adjust=adjust,
            level=means.level if level is None else float(level),
            response=response,
            notes=[],
        )
        scaled = np.abs(coef.sum(axis=1)) / (1e-6 + np.abs(coef).max(axis=1))
        true_contrasts = bool(np.all(scaled < 1e-6))
        ratio = None
        if response and state.link in ("log", "logit") and true_contrasts:
            ratio = "odds.ratio" if state.link == "logit" else "ratio"
            labels["contrast"] = [s.replace(" - ", " / ") for s in labels["contrast"]]
        notes = [n for n in means.notes if n.startswith(("Results are averaged", "Degrees"))]
        if response and ratio is None and state.link != "identity":
            notes.append(f"Note: contrasts are still on the {state.link} scale")
        elif not response and state.link != "identity":
            scale = "log odds ratio" if state.link == "logit" and true_contrasts else state.link
            notes.append(f"Results are given on the {scale} (not the response) scale.")
        self._state = state
        family = _family(state, L, pairs, size=n)
        self.table, more = _table(state, state.provider(L), family, True, ratio)
        if ratio is not None:
            scale = "log odds ratio" if ratio == "odds.ratio" else "log"
            more += [
                f"Intervals are back-transformed from the {scale} scale",
                f"Tests are performed on the {scale} scale",
            ]
        self.notes = notes + more


def _parse_specs(specs: str | Sequence[str], by: str | Sequence[str] | None) -> tuple[list[str], list[str]]:
    """``specs`` and ``by`` as lists; a string may be a one-sided formula "~ A * B | C"."""
    by_list = [by] if isinstance(by, str) else list(by or [])
    if isinstance(specs, str):
        text = specs.strip().lstrip("~")
        if "|" in text:
            text, cond = text.split("|", 1)
            by_list += [v.strip() for v in cond.replace("*", "+").replace(":", "+").split("+") if v.strip()]
        names = [v.strip() for v in text.replace("*", "+").replace(":", "+").split("+") if v.strip()]
    else:
        names = list(specs)
    return names, by_list


def marginal_means(
    fit: Any,
    specs: str | Sequence[str],
    *,
    by: str | Sequence[str] | None = None,
    at: Mapping[str, Any] | None = None,
    weights: str = "equal",
    type: str = "link",
    ddf: str | None = None,
    level: float = 0.95,
    adjust: str = "none",
    gram: Any = None,
) -> MarginalMeans:
    """The marginal means of ``fit`` (the documentation is ``fit.emmeans``'s)."""
    names, by_list = _parse_specs(specs, by)
    grid = reference_grid(fit._design, at, gram, counts=weights == "proportional")
    wanted = names + by_list
    bad = [v for v in wanted if v not in grid.variables]
    if bad or not names or len(set(wanted)) != len(wanted):
        raise ValueError(f"specs and by must name distinct variables of the fixed part {grid.variables}; got {wanted}")
    if weights not in ("equal", "proportional"):
        raise ValueError(f"weights must be 'equal' or 'proportional'; got {weights!r}")
    if weights == "proportional" and grid.counts is None:
        raise ValueError(f"weights='proportional' needs the counts of the cells: {grid.why_no_counts}")
    if not 0.0 < float(level) < 1.0:
        raise ValueError(f"level must be between 0 and 1; got {level!r}")
    # A linear model's fit has t tests (Satterthwaite's); a GLMM's, a gaussian one too, z.
    linear = hasattr(fit, "satterthwaite")
    ddf = ddf or ("satterthwaite" if linear else "asymptotic")
    ddf = ddf.lower() if isinstance(ddf, str) else ddf
    if ddf not in DDF_METHODS:
        raise ValueError(f"ddf must be one of {', '.join(DDF_METHODS)}; got {ddf!r}")
    if ddf != "asymptotic" and not linear:
        raise ValueError("a GLMM's marginal means are asymptotic (z): use ddf='asymptotic'")
    L, offset, labels, group_rows = _average(grid, names, by_list, weights)
    averaged = [v for v in grid.variables if len(grid.values[v]) > 1 and v not in wanted]
    notes = [f"Results are averaged over the levels of: {', '.join(averaged)}"] if averaged else []
    notes += [f"Degrees-of-freedom method: {ddf}"] if linear else []
    state = _State(
        L,
        offset,
        DDF_METHODS[ddf](fit),
        getattr(fit, "link", "identity"),
        getattr(fit, "family", "gaussian"),
        group_rows,
        labels,
        by_list,
        float(level),
        adjust,
        _check_type(type),
        notes,
    )
    return MarginalMeans(state, names)


def _average(
    grid: ReferenceGrid, names: list[str], by: list[str], weights: str
) -> tuple[np.ndarray, np.ndarray, pd.DataFrame, list[np.ndarray]]:
    """The rows of the means of ``names`` within ``by`` (every combination, the first
    variable fastest), their labels and the rows of each ``by`` group. Equal weights
    average the cells alike; proportional ones weight each combination of the other
    variables by its count in the data (summed over the levels of ``names`` and ``by``)."""
    wanted = names + by
    cols = [grid.variables.index(v) for v in wanted]
    others = [j for j in range(len(grid.variables)) if j not in cols]
    w = np.ones(len(grid.codes))
    if weights == "proportional":
        assert grid.counts is not None
        keys = pd.Series([tuple(c) for c in grid.codes[:, others].tolist()])
        w = pd.Series(grid.counts).groupby(keys).transform("sum").to_numpy(dtype=float)
    sizes = [len(grid.values[v]) for v in wanted]
    combos = np.array(np.unravel_index(np.arange(int(np.prod(sizes))), sizes[::-1], order="C"))[::-1].T
    rows, offsets = [], []
    for combo in combos:
        at = np.all(grid.codes[:, cols] == combo, axis=1)
        ws = w[at]
        if ws.sum() <= 0:
            raise ValueError("a mean has no rows in the data to weight its cells by (weights='proportional')")
        rows.append(ws @ grid.x[at] / ws.sum())
        offsets.append(ws @ grid.offset[at] / ws.sum())
    labels = pd.DataFrame({v: [grid.values[v][int(c[j])] for c in combos] for j, v in enumerate(wanted)})
    n_spec = int(np.prod(sizes[: len(names)]))
    groups = [np.arange(g * n_spec, (g + 1) * n_spec) for g in range(len(combos) // n_spec)]
    return np.array(rows), np.array(offsets), labels, groups
