"""Satterthwaite's t and F tests of a fitted model's fixed effects, as lmerTest reports
them: the coefficient table's df and p-values, the type III F test of each term
(:func:`anova_terms`) and the tests of any contrast matrix (:func:`contrast`).

The degrees of freedom come from :mod:`quorvelkit.satterthwaite` (the covariance of
the variance parameters from analytic gradient differences, 1 + 2 n_theta evaluations,
computed once per fit). Type III tests are the F tests of each term's coefficients in
the parameterisation where every factor is coded with sum-to-zero contrasts (R's
``contr.sum``), which is what lmerTest's ``anova(fit)`` computes: the sum-coded model
matrix is X T for an invertible T derived from the model's terms, so the hypothesis of
a term is the block of rows of T^-1 that belongs to it, tested on the fitted (treatment
coded) coefficients without a refit.
"""

from __future__ import annotations

import itertools
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from . import satterthwaite as st
from .pvalues import format_numbers, format_pvalues, zap_small
from .report import SIGNIF_CODES, _html_table, _stars, _table

__all__ = [
    "ContrastResult",
    "FTestTable",
    "coefficient_tests",
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
    """

    tests: pd.DataFrame
    joint: pd.Series
    L: pd.DataFrame

    def __repr__(self) -> str:
        return (
            "t tests of each row of L (Satterthwaite's df):\n"
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
        stars = bool(np.any(p < 0.1))
        header = ["", *F_COLUMNS] + ([""] if stars else [])
        rows = [
            [str(label), *(c[i] for c in cols)] + ([_stars(float(p[i]))] if stars else [])
            for i, label in enumerate(self.index)
        ]
        return header, rows, [True] + [False] * len(F_COLUMNS) + ([True] if stars else [])

    def __repr__(self) -> str:
        if list(self.columns) != F_COLUMNS:
            return super().__repr__()
        header, rows, left = self._cells()
        lines = [self.attrs["heading"]] if "heading" in self.attrs else []
        lines += _table(header, rows, left)
        if len(header) > len(F_COLUMNS) + 1:
            lines += ["---", SIGNIF_CODES]
        return "\n".join(lines)

    __str__ = __repr__

    def _repr_html_(self) -> str:  # notebooks: the same cells as the text
        if list(self.columns) != F_COLUMNS:
            return super()._repr_html_()  # type: ignore[misc,no-any-return]  # not in pandas-stubs
        heading = f"<p>{self.attrs['heading']}</p>" if "heading" in self.attrs else ""
        return heading + _html_table(*self._cells())


def coefficient_tests(info: st.VarparInfo, names: Sequence[str]) -> pd.DataFrame:
    """The coefficient table with Satterthwaite's df and p-values (lmerTest's
    ``coef(summary(fit))``)."""
    t = st.t_tests(info, np.eye(len(names)))
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


def _f_row(info: st.VarparInfo, L: np.ndarray, sigma2: float) -> list[float]:
    f = st.f_test(info, L)
    return [f["F"] * f["num_df"] * sigma2, f["F"] * sigma2, f["num_df"], f["den_df"], f["F"], f["p"]]


def contrast(info: st.VarparInfo, L: pd.DataFrame, sigma2: float) -> ContrastResult:
    """t tests of each row of ``L`` and the joint F test (see :class:`ContrastResult`)."""
    t = st.t_tests(info, L.to_numpy())
    tests = pd.DataFrame(
        dict(zip(T_COLUMNS, [t["estimate"], t["se"], t["df"], t["t"], t["p"]], strict=True)), index=L.index
    )
    joint = pd.Series(_f_row(info, L.to_numpy(), sigma2), index=F_COLUMNS, name="L beta = 0")
    return ContrastResult(tests=tests, joint=joint, L=L)


# ----------------------------------------------------------------- type III hypotheses
def _factor_key(scoped_factor: Any) -> tuple[str, bool]:
    return str(scoped_factor.factor), bool(scoped_factor.reduced)


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


def type3_matrices(spec: Any, kept_columns: Sequence[int], rename: Any) -> dict[str, np.ndarray]:
    """The hypothesis matrix of each term of the fixed part (the intercept excluded):
    the rows of T^-1 that hold the term's coefficients in the sum-to-zero coding, where
    X_sum = X T column by column.

    Every column of a term is a product of numeric factors, full dummy indicators and
    reduced (treatment-coded) factors; with K levels l_1..l_K, treatment coding has
    t_j = [level = l_j] (j = 2..K) and sum coding c_i = [level = l_i] - [level = l_K]
    (i = 1..K-1), so c_1 = 1 - sum_j t_j - t_K and c_i = t_i - t_K: expanding the
    product over the reduced factors expresses each sum-coded column as a combination
    of the column itself and the columns of its marginal terms, which a hierarchical
    model holds (formulaic codes a factor reduced only when they are present).
    ``rename`` maps formulaic's term names to the model's.
    """
    columns: dict[tuple[Any, ...], int] = {}
    scoped: list[tuple[str, tuple[tuple[str, bool], ...], list[tuple[Any, ...]]]] = []
    col = 0
    for structure in spec.structure:
        for term in structure.scoped_terms:
            factors = tuple(_factor_key(f) for f in term.factors)
            choices: list[list[Any]] = []
            for name, reduced in factors:
                levels = _levels(spec, name)
                if levels is None:
                    choices.append([None])
                else:
                    choices.append(list(range(1, len(levels))) if reduced else list(range(len(levels))))
            # formulaic's columns vary the first factor fastest.
            combos = [tuple(reversed(c)) for c in itertools.product(*reversed(choices))]
            scoped.append((str(structure.term), factors, combos))
            for combo in combos:
                columns[(factors, combo)] = col
                col += 1
    n_all = col
    T = np.zeros((n_all, n_all))
    owner: list[str] = []
    for term_name, factors, combos in scoped:
        reduced_at = [k for k, (name, red) in enumerate(factors) if red and _levels(spec, name) is not None]
        for combo in combos:
            target = columns[(factors, combo)]
            owner.append(term_name)
            # Sum-coded level index i (0-based) of each reduced factor sits where the
            # treatment column of level i + 1 sits.
            forms = []
            for k in reduced_at:
                levels = _levels(spec, factors[k][0])
                assert levels is not None
                big_k = len(levels)
                i = int(combo[k]) - 1
                form: dict[Any, float] = {}
                if i == 0:
                    form["const"] = 1.0
                    for j in range(1, big_k):
                        form[j] = form.get(j, 0.0) - 1.0
                else:
                    form[i] = form.get(i, 0.0) + 1.0
                form[big_k - 1] = form.get(big_k - 1, 0.0) - 1.0
                forms.append(form)
            for picks in itertools.product(*[list(f.items()) for f in forms]):
                coef = float(np.prod([v for _, v in picks])) if picks else 1.0
                if coef == 0.0:
                    continue
                pick_of = {k: picks[n][0] for n, k in enumerate(reduced_at)}
                sub_f, sub_c = [], []
                for k, f in enumerate(factors):
                    if pick_of.get(k) == "const":
                        continue  # this factor's constant part: the marginal term without it
                    sub_f.append(f)
                    sub_c.append(pick_of[k] if k in pick_of else combo[k])
                sub_factors, sub_combo = tuple(sub_f), tuple(sub_c)
                source = columns.get((sub_factors, sub_combo))
                if source is None:
                    raise ValueError(
                        f"type III tests need the marginal terms of '{rename(term_name)}' in the model "
                        "(a hierarchical model): they are not all present"
                    )
                T[source, target] += coef
    kept = list(kept_columns)
    if len(kept) != n_all:
        raise ValueError("type III tests are not available for a model whose fixed-effects matrix is rank deficient")
    Tinv = np.linalg.inv(T)
    out: dict[str, np.ndarray] = {}
    for term_name in dict.fromkeys(owner):
        if term_name in ("1", "Intercept"):
            continue
        rows = [i for i, o in enumerate(owner) if o == term_name]
        out[rename(term_name)] = Tinv[rows]
    return out


def anova_terms(info: st.VarparInfo, hypotheses: dict[str, np.ndarray], sigma2: float) -> pd.DataFrame:
    """lmerTest's type III table: one F test per term."""
    rows = [_f_row(info, L, sigma2) for L in hypotheses.values()]
    table = FTestTable(rows, index=list(hypotheses), columns=F_COLUMNS)
    table.attrs["heading"] = "Type III Analysis of Variance Table with Satterthwaite's method"
    return table
