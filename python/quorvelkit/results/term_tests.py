"""Tests of a linear mixed model's terms, each against the model without it (or, for a
random term with slopes, with the term reduced to its intercept): :func:`ranova`
(lmerTest's ``ranova``, likelihood-ratio tests of the random part) and :func:`drop1`
(lmerTest's ``drop1``, F tests of the fixed terms that marginality lets go, or
``stats::drop1(fit, test = "Chisq")``'s likelihood-ratio tests by ML refits).

Every reduced model is built from the fit's own design and rows (X without a term's
columns; Z without a random term's, or without its slopes) and fitted by the fit's
core classes, one refit per term. A model left with no random term is a linear model,
whose log-likelihood (REML or ML, as R's ``logLik.lm``) is in closed form.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ..formula.formula_text import split_top
from ..model.description import GroupingFactor
from ..model.design import Design, FitRows
from . import inference as _inference
from .pvalues import chi2_upper

__all__ = ["ranova", "drop1", "RANOVA_COLUMNS", "CHISQ_COLUMNS", "check_ddf"]

#: lmerTest's columns of ``ranova``.
RANOVA_COLUMNS = ["npar", "logLik", "AIC", "LRT", "Df", "Pr(>Chisq)"]
#: ``stats::drop1(fit, test = "Chisq")``'s columns.
CHISQ_COLUMNS = ["npar", "AIC", "LRT", "Pr(Chi)"]
#: The denominator df methods the t and F tests offer (lmerTest's ``ddf``, any case).
DDF_METHODS = ("satterthwaite", "kenward-roger")


def check_ddf(ddf: Any) -> str:
    """``ddf`` in lower case; ``ValueError`` for a method other than those offered."""
    if not isinstance(ddf, str) or ddf.lower() not in DDF_METHODS:
        raise ValueError(
            f"ddf must be 'satterthwaite' (Satterthwaite's method, lmerTest's default) or 'kenward-roger' "
            f"(Kenward and Roger's, pbkrtest's); got {ddf!r}"
        )
    return ddf.lower()


# ----------------------------------------------------------------- reduced models
@dataclass(frozen=True)
class Reduction:
    """One row of ``ranova``: the term ``term`` of factor ``factor`` (indices in
    :attr:`ModelSpec.factors` and among the factor's blocks) keeps its columns ``keep``
    (places within the term; none: the term is removed), behind an intercept added
    when ``add_intercept``."""

    name: str
    factor: int
    term: int
    keep: tuple[int, ...]
    add_intercept: bool = False


def split_sum(text: str) -> list[str]:
    """The summands of a bar's left side, split at the ``+`` outside brackets
    ("0 + I(a+b)" -> ["0", "I(a+b)"])."""
    return [piece.strip() for _, piece in split_top(text, "+")]


def _term_labels(design: Design, t: int, lhs: str) -> tuple[bool, list[tuple[str, list[int]]]]:
    """Whether random term ``t`` (in the order of Z's terms) has an intercept, and each
    of its other labels with its columns' places in the term. The columns are
    formulaic's (a factor's label has several); the labels are spelt as the formula
    writes them where they pair one to one with formulaic's terms."""
    intercept, found = False, []
    at = 0
    for s in design.spec.random_specs[t].structure:
        width = len(s.columns)
        if str(s.term) == "1":
            intercept = True
        else:
            found.append((design.parsed.display_names([str(s.term)])[0], list(range(at, at + width))))
        at += width
    written = [p for p in split_sum(lhs) if p not in ("0", "1", "-1", "")]
    if len(written) == len(found):
        found = [(w, cols) for w, (_, cols) in zip(written, found, strict=True)]
    return intercept, found


def reductions(design: Design) -> list[Reduction]:
    """lmerTest's reductions of the random terms (``reduce.terms = TRUE``), in formula
    order: a term of the intercept alone is removed ("(1 | g)"); a term with slopes loses
    each slope label in turn, keeping the rest and an intercept ("Days in (Days |
    Subject)": the term becomes (1 | Subject); (0 + x | g) becomes (1 | g), of as many
    parameters). A reduced term that is (1 | g) where the model has (1 | g) already is
    the term removed (R's formula keeps one of two equal terms)."""
    spec = design.spec
    out: list[tuple[int, list[Reduction]]] = []
    t = 0
    for i, f in enumerate(spec.factors):
        plain = any(not split_sum(lhs) or set(split_sum(lhs)) <= {"1"} for lhs in f.terms)
        for j, lhs in enumerate(f.terms):
            position = f.positions[j] if f.positions else j
            intercept, labels = _term_labels(design, t, lhs)
            t += 1
            if not labels:
                out.append((position, [Reduction(f"(1 | {f.name})", i, j, ())]))
                continue
            rows = []
            for label, cols in labels:
                keep = tuple(k for _, c in labels for k in c if k not in cols)
                if intercept:
                    keep = (0, *keep)
                removed = not keep and not intercept and plain
                rows.append(
                    Reduction(
                        f"{label} in ({lhs} | {f.name})", i, j, () if removed else keep, not intercept and not removed
                    )
                )
            out.append((position, rows))
    out.sort(key=lambda r: r[0])
    return [r for _, rows in out for r in rows]


def reduced_design(design: Design, x_keep: Sequence[int], reduction: Reduction | None = None) -> Design:
    """The design with the fixed-effects columns ``x_keep`` (of the kept ones) and the
    random part reduced as ``reduction`` says (``None``: as it is). A factor left with no
    term leaves the model, with its codes and levels."""
    rows = design.need_rows("the refit of a reduced model")
    spec = design.spec
    spans = spec.factor_columns()
    factors: list[GroupingFactor] = []
    z_cols: list[np.ndarray] = []
    z_names: list[str] = []
    kept_factors: list[int] = []
    for i, f in enumerate(spec.factors):
        terms, blocks, positions = [], [], []
        at = spans[i].start
        for j, b in enumerate(f.blocks):
            cols = list(range(at, at + b))
            at += b
            lhs = f.terms[j]
            added: list[np.ndarray] = []
            if reduction is not None and (reduction.factor, reduction.term) == (i, j):
                if not reduction.keep and not reduction.add_intercept:
                    continue
                cols = [cols[k] for k in reduction.keep]
                added = [np.ones(len(rows.y))] if reduction.add_intercept else []
                lhs = " + ".join(["1"] + [spec.re_names[c] for c in cols if spec.re_names[c] != "(Intercept)"])
            terms.append(lhs)
            blocks.append(len(added) + len(cols))
            positions.append(f.positions[j] if f.positions else j)
            z_cols += added + [rows.z[:, c] for c in cols]
            z_names += ["(Intercept)"] * len(added) + [spec.re_names[c] for c in cols]
        if blocks:
            factors.append(dataclasses.replace(f, terms=tuple(terms), blocks=tuple(blocks), positions=tuple(positions)))
            kept_factors.append(i)
    fe = design.fe_names
    new_spec = dataclasses.replace(spec, factors=tuple(factors), re_names=z_names, fe_all=[fe[j] for j in x_keep])
    codes = rows.factor_codes or (rows.codes,)
    levels = design.factor_levels or (design.levels,)
    f_codes = tuple(codes[i] for i in kept_factors)
    f_levels = tuple(levels[i] for i in kept_factors)
    z = np.ascontiguousarray(np.column_stack(z_cols)) if z_cols else np.empty((len(rows.y), 0))
    new_rows = FitRows(
        rows.y,
        np.ascontiguousarray(rows.x[:, list(x_keep)]),
        z,
        f_codes[0] if f_codes else np.zeros(len(rows.y), np.int64),
        rows.row_index,
        rows.weights,
        rows.offset,
        f_codes,
    )
    return Design(
        new_spec,
        f_levels[0] if f_levels else pd.Index([]),
        design.n,
        list(range(len(x_keep))),
        design.n_dropped,
        design.n_zero_weight,
        new_rows,
        factor_levels=f_levels,
    )


def fit_reduced(fit: Any, design: Design, reml: bool) -> tuple[float, int]:
    """The log-likelihood (REML or ML) and number of parameters of ``design`` fitted as
    the fit is (:meth:`quorvelkit.LmmFit._refit_design`, from lme4's start), or in closed
    form without random terms."""
    if not design.spec.factors:
        return linear_model_loglik(design, reml), len(design.fe_names) + 1
    design.need_rows("the refit of a reduced model")
    reduced = fit._refit_design(design, reml)
    return reduced.loglik, reduced.n_params


def linear_model_loglik(design: Design, reml: bool) -> float:
    """The log-likelihood of the linear model of ``design``'s fixed part (R's
    ``logLik.lm``, REML or ML): with prior weights w, residual sum of squares S of the
    weighted least-squares fit and R the triangular factor of W^1/2 X (rank p),
    l = (sum log w - N (log 2 pi + 1 - log N + log S)) / 2 with N = n (ML), and
    N = n - p less sum log |R_jj| (REML)."""
    rows = design.need_rows("the refit of a reduced model")
    y = design.core_y
    w = np.ones(len(y)) if rows.weights is None else rows.weights
    sw = np.sqrt(w)
    xw, yw = rows.x * sw[:, None], y * sw
    n, p = xw.shape
    if p:
        q, r = np.linalg.qr(xw)
        res = yw - q @ (q.T @ yw)
    else:
        r, res = np.empty((0, 0)), yw
    s = float(res @ res)
    big_n = n - p if reml else n
    val: float = 0.5 * (float(np.sum(np.log(w))) - big_n * (math.log(2 * math.pi) + 1 - math.log(big_n) + math.log(s)))
    if reml:
        val -= float(np.sum(np.log(np.abs(np.diag(r)))))
    return val


# ----------------------------------------------------------------- the tables
def ranova(fit: Any) -> pd.DataFrame:
    """lmerTest's ``ranova(fit)``: see :meth:`LmmFit.ranova`."""
    design = fit._design
    all_x = list(range(len(design.fe_names)))
    rows = [[fit.n_params, fit.loglik, fit.aic, np.nan, np.nan, np.nan]]
    names = ["<none>"]
    for red in reductions(design):
        ll, k = fit_reduced(fit, reduced_design(design, all_x, red), fit.reml)
        lrt = 2.0 * (fit.loglik - ll)
        df = fit.n_params - k
        p = chi2_upper(max(lrt, 0.0), df) if df > 0 else np.nan  # lmerTest leaves p out at Df 0
        rows.append([k, ll, -2.0 * ll + 2.0 * k, lrt, df, p])
        names.append(red.name)
    out = pd.DataFrame(rows, index=names, columns=RANOVA_COLUMNS)
    out["npar"] = out["npar"].astype(int)
    out.attrs["heading"] = "ANOVA-like table for random-effects: Single term deletions"
    return out


def fixed_terms(design: Design) -> dict[str, tuple[list[int], frozenset[str]]]:
    """The terms of the fixed part (the intercept excluded) in formula order: each
    term's places among the kept fixed-effects columns and its factors (variables)."""
    columns, factors_of = _inference._fixed_columns(design.spec.fixed_spec)
    place = {j: k for k, j in enumerate(design.kept_columns)}
    out: dict[str, tuple[list[int], frozenset[str]]] = {}
    for j, (term, _) in enumerate(columns):
        if not factors_of[term]:
            continue
        name = design.parsed.display_names([term])[0]
        cols, _ = out.setdefault(name, ([], frozenset(factors_of[term])))
        if j in place:
            cols.append(place[j])
    return out


def droppable(terms: dict[str, tuple[list[int], frozenset[str]]]) -> list[str]:
    """R's ``drop.scope``: the terms whose variables no other term holds all of
    (marginality: a main effect stays while an interaction of it does)."""
    return [t for t, (_, v) in terms.items() if not any(v < w for u, (_, w) in terms.items() if u != t)]


def drop1(fit: Any, test: str, ddf: str) -> pd.DataFrame:
    """See :meth:`LmmFit.drop1`."""
    if test not in ("F", "Chisq"):
        raise ValueError(f"test must be 'F' (lmerTest's F tests) or 'Chisq' (likelihood-ratio tests); got {test!r}")
    check_ddf(ddf)
    design = fit._design
    terms = fixed_terms(design)
    scope = droppable(terms)
    if test == "F":
        hyp = fit._type3_hypotheses()
        info = fit._df_info(ddf)
        table = _inference.anova_terms(info, {t: hyp[t] for t in scope}, fit.sigma2)
        table.attrs["heading"] = f"Single term deletions using {info.method}'s method"
        return table
    ml = fit.refit_ml() if getattr(fit, "reml", False) else fit  # a GLMM: its likelihood
    rows = [[np.nan, ml.aic, np.nan, np.nan]]
    p = len(design.fe_names)
    for t in scope:
        drop = set(terms[t][0])
        ll, k = fit_reduced(fit, reduced_design(design, [j for j in range(p) if j not in drop]), False)
        lrt = 2.0 * (ml.loglik - ll)
        df = ml.n_params - k
        rows.append([df, -2.0 * ll + 2.0 * k, lrt, chi2_upper(max(lrt, 0.0), df)])
    out = pd.DataFrame(rows, index=["<none>", *scope], columns=CHISQ_COLUMNS)
    out.attrs["heading"] = "Single term deletions"
    return out
