"""Satterthwaite's t and F tests of a fitted model's fixed effects, as lmerTest reports
them: the coefficient table's df and p-values, the type III F test of each term
(:func:`anova_terms`) and the tests of any contrast matrix (:func:`contrast`).

The degrees of freedom come from :mod:`quorvelkit.results.satterthwaite` (the covariance of
the variance parameters from analytic gradient differences, 1 + 2 n_theta evaluations,
computed once per fit). Type III tests are lmerTest's ``anova(fit)``: in a hierarchical
model, the F test of each term's coefficients in the parameterisation where every
factor is coded with sum-to-zero contrasts (R's ``contr.sum``). Fai and Cornelius's
denominator df of a multi-df hypothesis depend on the basis its rows are written in,
so :func:`type3_matrices` builds lmerTest's own basis from the model's terms, tested
on the fitted (treatment coded) coefficients without a refit.
"""

from __future__ import annotations

import itertools
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from .pvalues import format_numbers, format_pvalues, zap_small
from .report import SIGNIF_CODES, html_table, stars, table_lines

__all__ = [
    "ContrastResult",
    "FTestTable",
    "coefficient_tests",
    "design_type3",
    "anova_terms",
    "contrast",
    "contrast_matrix",
    "type3_matrices",
]

#: lmerTest's column names of an F test.
F_COLUMNS = ["Sum Sq", "Mean Sq", "NumDF", "DenDF", "F value", "Pr(>F)"]
#: lmerTest's column names of a t test of a contrast.
T_COLUMNS = ["Estimate", "Std. Error", "df", "t value", "Pr(>|t|)"]


@dataclass(frozen=True)
class ContrastResult:
    """The tests of a contrast matrix L (returned by :meth:`LmmFit.contrast`).

    Attributes:
        tests: one t test per row of L (lmerTest's ``contest(fit, L, joint = FALSE)``):
            columns "Estimate", "Std. Error", "df", "t value", "Pr(>|t|)".
        joint: the F test of L beta = 0 (``contest(fit, L)``): "Sum Sq", "Mean Sq",
            "NumDF" (the rank of L), "DenDF", "F value", "Pr(>F)".
        L: the contrast matrix tested, one column per fixed effect.
        method: the df's method, "Satterthwaite" or "Kenward-Roger".
    """

    tests: pd.DataFrame
    joint: pd.Series
    L: pd.DataFrame
    method: str = "Satterthwaite"

    def __repr__(self) -> str:
        return (
            f"t tests of each row of L ({self.method}'s df):\n"
            + self.tests.to_string(float_format=lambda v: f"{v:.6g}")
            + "\n\nF test of L beta = 0:\n"
            + self.joint.to_frame().T.to_string(index=False, float_format=lambda v: f"{v:.6g}")
        )


class FTestTable(pd.DataFrame):
    """The table :meth:`LmmFit.anova_terms` returns: a DataFrame (the exact values) that
    prints as R's ``print.anova`` prints lmerTest's ``anova(fit)``, under its heading."""

    @property
    def _constructor(self) -> type[FTestTable]:  # slices and copies stay FTestTables
        return FTestTable

    def _cells(self) -> tuple[list[str], list[list[str]], list[bool]]:
        """printCoefmat's cells with print.anova's digits (5): the sums of squares and
        df through zapsmall, F rounded to 4 decimals, p-values by format.pval to 4
        digits, significance stars when some p-value is below 0.1."""
        digits = 5

        def column(shown: Sequence[float], values: np.ndarray) -> list[str]:
            return [t if np.isfinite(v) else "" for t, v in zip(format_numbers(shown, digits), values, strict=True)]

        cols = []
        for name in F_COLUMNS[:4]:
            values = self[name].to_numpy(dtype=float)
            cols.append(column(zap_small(values, digits), values))
        f = self["F value"].to_numpy(dtype=float)
        cols.append(column([round(float(v), 4) if np.isfinite(v) else float(v) for v in f], f))
        p = self["Pr(>F)"].to_numpy(dtype=float)
        cols.append(format_pvalues(p, 4))
        starred = bool(np.any(p < 0.1))
        header = ["", *F_COLUMNS] + ([""] if starred else [])
        rows = [
            [str(label), *(c[i] for c in cols)] + ([stars(float(p[i]))] if starred else [])
            for i, label in enumerate(self.index)
        ]
        return header, rows, [True] + [False] * len(F_COLUMNS) + ([True] if starred else [])

    def __repr__(self) -> str:
        if list(self.columns) != F_COLUMNS:
            return super().__repr__()
        header, rows, left = self._cells()
        lines = [self.attrs["heading"]] if "heading" in self.attrs else []
        lines += table_lines((header, rows, left))
        if len(header) > len(F_COLUMNS) + 1:
            lines += ["---", SIGNIF_CODES]
        return "\n".join(lines)

    __str__ = __repr__

    def _repr_html_(self) -> str:  # notebooks: the same cells as the text
        if list(self.columns) != F_COLUMNS:
            return super()._repr_html_()  # type: ignore[misc,no-any-return]  # not in pandas-stubs
        heading = f"<p>{self.attrs['heading']}</p>" if "heading" in self.attrs else ""
        return heading + html_table(self._cells())


def coefficient_tests(info: Any, names: Sequence[str]) -> pd.DataFrame:
    """The coefficient table with the df and p-values of ``info``'s method (a
    :class:`~quorvelkit.results.satterthwaite.VarparInfo` or a
    :class:`~quorvelkit.results.kenward_roger.KRInfo`; lmerTest's ``coef(summary(fit,
    ddf = ...))``)."""
    t = info.t_tests(np.eye(len(names)))
    return pd.DataFrame(
        {
            "Estimate": t["estimate"],
            "Std. Error": t["se"],
            "df": t["df"],
            "t value": t["t"],
            "Pr(>|t|)": t["p"],
        },
        index=list(names),
    )


def contrast_matrix(L: Any, names: Sequence[str]) -> pd.DataFrame:
    """``L`` as a DataFrame with one column per fixed effect, checked: a vector is one
    row; a DataFrame whose columns are fixed-effect names is reordered by name; any
    other shape than (k, p), an empty L or a non-finite entry is a ``ValueError``."""
    p = len(names)
    if isinstance(L, pd.DataFrame) and not all(isinstance(c, (int, np.integer)) for c in L.columns):
        unknown = [c for c in L.columns if c not in names]
        if unknown:
            raise ValueError(f"L has columns that are not fixed effects of the model: {unknown}; they are {names}")
        L = L.reindex(columns=list(names), fill_value=0.0)
    if isinstance(L, pd.Series) and not all(isinstance(c, (int, np.integer)) for c in L.index):
        L = L.reindex(list(names), fill_value=0.0).to_frame().T
    try:
        arr = np.asarray(L, dtype=float)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"L must be a numeric matrix with {p} columns (one per fixed effect): {exc}") from None
    if arr.ndim == 1:
        arr = arr.reshape(1, -1)
    if arr.ndim != 2 or arr.shape[1] != p or arr.shape[0] == 0:
        raise ValueError(
            f"L must have one column per fixed effect ({p}: {', '.join(names)}) and at least one row; "
            f"got shape {np.shape(L)}"
        )
    if not np.all(np.isfinite(arr)):
        raise ValueError("L has missing or non-finite entries")
    index = list(L.index) if isinstance(L, pd.DataFrame) else [f"row {i + 1}" for i in range(arr.shape[0])]
    return pd.DataFrame(arr, index=index, columns=list(names))


def _f_row(info: Any, L: np.ndarray, sigma2: float) -> list[float]:
    f = info.f_test(L)
    # lmerTest's mean square is the Wald statistic over q before Kenward and Roger's
    # scaling of F (Satterthwaite's F is not scaled).
    wald = f["F"] / f.get("scaling", 1.0)
    return [wald * f["num_df"] * sigma2, wald * sigma2, f["num_df"], f["den_df"], f["F"], f["p"]]


def contrast(info: Any, L: pd.DataFrame, sigma2: float) -> ContrastResult:
    """t tests of each row of ``L`` and the joint F test (see :class:`ContrastResult`)
    by ``info``'s method."""
    t = info.t_tests(L.to_numpy())
    tests = pd.DataFrame(
        dict(zip(T_COLUMNS, [t["estimate"], t["se"], t["df"], t["t"], t["p"]], strict=True)), index=L.index
    )
    joint = pd.Series(_f_row(info, L.to_numpy(), sigma2), index=F_COLUMNS, name="L beta = 0")
    return ContrastResult(tests=tests, joint=joint, L=L, method=info.method)


# ----------------------------------------------------------------- type III hypotheses
def _levels(spec: Any, name: str) -> list[Any] | None:
    """The levels of a categorical factor coded with default treatment contrasts, or
    None for a numeric factor; ``ValueError`` for other contrasts."""
    kind, state = spec.encoder_state.get(name, (None, {}))
    if getattr(kind, "value", None) != "categorical":
        return None
    contrasts = state.get("contrasts")
    coding = getattr(contrasts, "contrasts", None)
    levels = list(getattr(contrasts, "levels", None) or state.get("categories"))
    base = getattr(coding, "base", None)
    default = type(coding).__name__ == "TreatmentContrasts" and (str(base).endswith("UNSET") or base == levels[0])
    if coding is not None and not default:
        raise ValueError(
            f"type III tests need the factor '{name}' coded with the default treatment contrasts; "
            f"it is coded with {coding!r}"
        )
    return levels


# A column of a model matrix as a function of the data: its term, and the factors it
# multiplies, each a numeric factor (level None) or the indicator of one level of a
# categorical factor (the level's index). Treatment coding's column of level j is that
# level's indicator, so every fixed-effects column is such a product.
_Column = tuple[str, tuple[tuple[str, int | None], ...]]


def _fixed_columns(spec: Any) -> tuple[list[_Column], dict[str, list[str]]]:
    """The columns of the fixed-effects matrix in its order, and the factors of each term
    (the intercept's: none)."""
    columns: list[_Column] = []
    factors_of: dict[str, list[str]] = {}
    for structure in spec.structure:
        term = str(structure.term)
        names = factors_of.setdefault(term, [])
        for scoped in structure.scoped_terms:
            factors = [(str(f.factor), bool(f.reduced)) for f in scoped.factors]
            choices: list[list[int | None]] = []
            for name, reduced in factors:
                levels = _levels(spec, name)
                choices.append([None] if levels is None else list(range(int(reduced), len(levels))))
                if name not in names:
                    names.append(name)
            # formulaic's columns vary the first factor fastest.
            for combo in itertools.product(*reversed(choices)):
                columns.append((term, tuple(zip([n for n, _ in factors], reversed(combo), strict=True))))
    return columns, factors_of


def _cell_matrix(spec: Any, columns: Sequence[_Column], cells: dict[frozenset[str], list[str]]) -> np.ndarray:
    """Each column in the basis of cell indicators: for the numeric factors N of a
    column, the products of N with the indicator of one cell of the categorical factors
    ``cells[N]`` (the columns' functions are linearly independent exactly when these
    vectors are)."""
    offsets, sizes, start = {}, {}, 0
    for numeric, names in cells.items():
        sizes[numeric] = [len(_levels(spec, n) or ()) for n in names]
        offsets[numeric] = start
        start += int(np.prod(sizes[numeric], dtype=np.int64))
    out = np.zeros((start, len(columns)))
    for j, (_, factors) in enumerate(columns):
        numeric = frozenset(n for n, lev in factors if lev is None)
        at = dict((n, lev) for n, lev in factors if lev is not None)
        block = np.zeros(sizes[numeric])
        block[tuple(at.get(n, slice(None)) for n in cells[numeric])] = 1.0
        out[offsets[numeric] : offsets[numeric] + block.size, j] = block.ravel()
    return out


def _residuals(a: np.ndarray, y: np.ndarray) -> np.ndarray:
    """The residuals of the columns of ``y`` from the span of ``a``'s (R's ``lm.fit``)."""
    return np.asarray(y - a @ np.linalg.lstsq(a, y, rcond=None)[0])


def design_type3(design: Any, gram_of_core: Callable[[], np.ndarray] | None = None) -> dict[str, np.ndarray]:
    """:func:`type3_matrices` of a fitted design: X'X (unweighted) from its rows, else
    from ``gram_of_core`` where the fit is unweighted, else none (the type III basis)."""
    d = design

    def gram() -> np.ndarray | None:
        if d.rows is not None:
            return np.asarray(d.rows.x.T @ d.rows.x)
        return None if d.weighted or gram_of_core is None else gram_of_core()

    return type3_matrices(d.spec.fixed_spec, d.kept_columns, lambda t: d.parsed.display_names([t])[0], gram)


def type3_matrices(
    spec: Any, kept_columns: Sequence[int], rename: Any, gram: Callable[[], np.ndarray | None] | None = None
) -> dict[str, np.ndarray]:
    """The hypothesis matrix of each term of the fixed part (the intercept excluded), in
    the basis lmerTest 3.1's ``anova(fit, type = 3)`` tests, so that the denominator df
    of a multi-df term (Fai and Cornelius's, which depends on the basis) are lmerTest's.

    Type III, from the general form of estimable functions (Goodnight 1980, "Tests of
    hypotheses in fixed effects linear models", Commun. Stat. A 9(2)): the
    over-parameterised matrix X_o holds, per term, the indicators of all levels of its
    categorical factors (times its numeric ones), and X_o = X M for the model's
    treatment-coded X. Starting from L = M' (one row per column of X_o, one column per
    coefficient), the columns of each term, highest order first, are replaced by their
    residuals from the columns of the terms that contain it (as lmerTest decides
    containment, below). A term's hypothesis is its columns of L, read at the rows of
    X_o's columns that X keeps, zero rows dropped. M is found by least squares on the
    cell indicators, exactly: the columns are functions of the factors, not of the data.

    A model of one term (lmerTest's ``anova`` then tests type I hypotheses) takes rows
    of the unit upper-triangular factor U of X'X = U' D U (Doolittle's), given its
    unweighted cross-products by ``gram()``; without them (``gram`` None or returning
    None) it takes the type III basis (the same F and NumDF). ``rename`` maps
    formulaic's term names to the model's.
    """
    columns, factors_of = _fixed_columns(spec)
    p = len(columns)
    if len(list(kept_columns)) != p:
        raise ValueError("type III tests are not available for a model whose fixed-effects matrix is rank deficient")
    of_term: dict[str, list[int]] = {}
    for j, (term, _) in enumerate(columns):
        of_term.setdefault(term, []).append(j)
    terms = [t for t in factors_of if factors_of[t]]
    xtx = gram() if gram is not None and len(terms) <= 1 else None
    if xtx is not None:
        r = np.linalg.cholesky(np.asarray(xtx, dtype=float)).T
        u = r / np.diag(r)[:, None]
        return {rename(t): u[of_term[t]] for t in terms}
    over: list[_Column] = []
    for term, names in factors_of.items():
        choices = [[None] if (lv := _levels(spec, n)) is None else list(range(len(lv))) for n in names]
        over += [(term, tuple(zip(names, reversed(c), strict=True))) for c in itertools.product(*reversed(choices))]
    index = {(t, frozenset(f)): i for i, (t, f) in enumerate(over)}
    kept = [index.get((t, frozenset(f))) for t, f in columns]
    if any(i is None for i in kept):
        bad = next(t for (t, _), i in zip(columns, kept, strict=True) if i is None)
        raise ValueError(
            f"type III tests need the marginal terms of '{rename(bad)}' in the model (a hierarchical model): "
            "they are not all present"
        )
    cells: dict[frozenset[str], list[str]] = {}
    for _, factors in columns + over:
        names = cells.setdefault(frozenset(n for n, lev in factors if lev is None), [])
        names += [n for n, lev in factors if lev is not None and n not in names]
    x, x_over = _cell_matrix(spec, columns, cells), _cell_matrix(spec, over, cells)
    m = np.linalg.lstsq(x, x_over, rcond=None)[0]
    if not np.allclose(x @ m, x_over, rtol=0.0, atol=1e-9):
        raise ValueError("type III tests need every term's indicators in the span of the model's columns")
    L = m.T.copy()
    # lmerTest's containment: term a is contained in term b when b's coded factors
    # hold all of a's and more, with the same numeric ones among them. A factor of a
    # term is coded (R's terms "factors" entry 1, not 2) when the term is a main effect
    # or dropping the factor leaves a term of the model: x is not contained in x:A
    # without A in the model.
    present = {frozenset(factors_of[t]) for t in terms}
    coded = {
        t: {v for v in factors_of[t] if len(factors_of[t]) == 1 or frozenset(factors_of[t]) - {v} in present}
        for t in terms
    }
    numeric = {t: {v for v in coded[t] if _levels(spec, v) is None} for t in terms}
    for term in sorted(terms, key=lambda t: -len(factors_of[t])):  # stable: highest order first
        outer = [t for t in terms if coded[term] < coded[t] and numeric[term] == numeric[t]]
        if outer:
            cols = [j for t in outer for j in of_term[t]]
            L[:, of_term[term]] = _residuals(L[:, cols], L[:, of_term[term]])
    # L's entries are ratios of small integers (the cells' counts of a term's levels);
    # what least squares leaves of a zero is rounding.
    L[np.abs(L) < 1e-10] = 0.0
    out: dict[str, np.ndarray] = {}
    for term in terms:
        h = L[np.asarray(kept, dtype=int)][:, of_term[term]].T
        out[rename(term)] = h[np.any(h != 0.0, axis=1)]
    return out


def anova_terms(info: Any, hypotheses: dict[str, np.ndarray], sigma2: float) -> pd.DataFrame:
    """lmerTest's type III table: one F test per term, by ``info``'s method."""
    rows = [_f_row(info, L, sigma2) for L in hypotheses.values()]
    table = FTestTable(rows, index=list(hypotheses), columns=F_COLUMNS)
    table.attrs["heading"] = f"Type III Analysis of Variance Table with {info.method}'s method"
    return table
