"""Random-effects terms on several grouping factors: how a formula's bars become terms
and factors (lme4's expansion of ``||`` and ``/``), lme4's order of the terms and its
names of theta against lme4 itself (tests/data/crossed/terms_reference.json, made by
make_terms_reference.R there), and the crossed core's inputs against a construction
from the data's columns. Refusals of bad input: test_messages."""

import json
from functools import cache
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from quorvelkit import FormulaError
from quorvelkit.formula.parsing import parse_formula
from quorvelkit.model.design import build_design, core_factors, theta_layout_of

DATA = Path(__file__).resolve().parent.parent / "data"


@cache
def _reference() -> dict:
    return json.loads((DATA / "crossed" / "terms_reference.json").read_text())


def _data(name: str) -> pd.DataFrame:
    path = DATA / ("sleepstudy_data.csv" if name == "sleepstudy" else f"crossed/{name}.csv")
    return pd.read_csv(path)


def _design(case: str):
    ref = _reference()[case]
    return ref, build_design(parse_formula(ref["formula"]), _data(ref["data"]))


def _bar(text: str, group: str) -> str:
    return f"{text}|{group}".replace(" ", "")


def _by_factor(ref: dict, values: list) -> dict[str, list]:
    """Per-term values in lme4's order of terms, regrouped factor by factor (lme4's
    factors), each factor's terms in formula order: the crossed core's layout."""
    pending: dict[str, list] = {}
    for bar, v in zip(ref["terms"], values, strict=True):
        pending.setdefault(bar.replace(" ", ""), []).append(v)
    key = [b.replace(" ", "") for b in ref["bars"]]
    return {f: [pending[k].pop(0) for k in key if k.rsplit("|", 1)[1] == f.replace(" ", "")] for f in ref["factors"]}


CASES = sorted(_reference())

# (formula, its terms in formula order as (left side, factor, columns), factor by
# factor); the nesting cases as lme4's findbars writes them
TERMS = [
    ("y ~ x + (1 | g)", [("1", "g", ("g",))]),
    ("y ~ x + (1 | factor(g)) + (0 + x | C(g))", [("1", "g", ("g",)), ("0 + x", "g", ("g",))]),
    ("y ~ (1 | `a b`) + (1 | `a b`:c)", [("1", "a b", ("a b",)), ("1", "a b:c", ("a b", "c"))]),
    ("y ~ (1 | a) + (1 | b) + (x | a)", [("1", "a", ("a",)), ("x", "a", ("a",)), ("1", "b", ("b",))]),
    ("y ~ (1 | a/b)", [("1", "b:a", ("b", "a")), ("1", "a", ("a",))]),
    ("y ~ (1 | a/b/c/d)", [("1", "d:(c:(b:a))", ("d", "c", "b", "a")), ("1", "c:(b:a)", ("c", "b", "a")),
                           ("1", "b:a", ("b", "a")), ("1", "a", ("a",))]),
    ("y ~ (1 | a/(b:c))", [("1", "(b:c):a", ("b", "c", "a")), ("1", "a", ("a",))]),
    ("y ~ (x || a/b)", [("1", "b:a", ("b", "a")), ("0 + x", "b:a", ("b", "a")), ("1", "a", ("a",)),
                        ("0 + x", "a", ("a",))]),
    ("y ~ (1 | a:b) + (1 | b:a)", [("1", "a:b", ("a", "b")), ("1", "b:a", ("b", "a"))]),
]  # fmt: skip


@pytest.mark.parametrize("formula,terms", TERMS, ids=[t[0] for t in TERMS])
def test_bars_become_terms_factor_by_factor(formula, terms):
    parsed = parse_formula(formula)
    assert [(t.text, t.group_name, t.group) for t in parsed.random_terms] == terms
    # the factors' columns, each once, are the formula's grouping columns
    assert set(parsed.group) == {c for _, _, cols in terms for c in cols}
    assert parsed.factor_names == list(dict.fromkeys(name for _, name, _ in terms))
    assert {c: parsed.roles(c) for c in parsed.group} == {c: {"group"} for c in parsed.group}


@pytest.mark.parametrize(
    "group", ["a:b/c", "(a)/b", "a/(b/c)", "a:(b/c)", "a + b", "a/", "a:", ":a", "a//b", "a b", "C(a:b)", "log(a)"]
)
def test_grouping_expressions_that_cannot_be_read(group):
    with pytest.raises(FormulaError, match="grouping factor"):
        parse_formula(f"y ~ x + (1 | {group})")


@pytest.mark.parametrize("case", CASES)
def test_terms_theta_and_core_factors_as_lme4_has_them(case):
    ref, design = _design(case)
    parsed, layout = design.parsed, theta_layout_of(design)
    by_position = sorted(parsed.random_terms, key=lambda t: t.position)
    assert [_bar(t.text, t.group_name) for t in by_position] == [b.replace(" ", "") for b in ref["bars"]]
    lme4_terms = [by_position[k] for k in layout.term_order]
    assert [_bar(t.text, t.group_name) for t in lme4_terms] == [b.replace(" ", "") for b in ref["terms"]]
    factors = design.spec.factors
    assert [factors[i].name for i in layout.factor_order] == ref["factors"]
    levels = {f.name: len(lv) for f, lv in zip(factors, design.factor_levels, strict=True)}
    assert [levels[t.group_name] for t in lme4_terms] == ref["n_levels"]
    assert list(layout.names) == ref["theta_names"]
    assert design.n == ref["n"]
    # the crossed core's inputs against a construction from the data's columns
    data = _data(ref["data"])
    used = data.dropna(subset=[c for c in data.columns if c in design.parsed.columns]).reset_index(drop=True)
    factors = core_factors(design)
    assert len(factors) == len(ref["factors"])
    # each factor's terms, formula order, with lme4's names of their columns
    columns = _by_factor(ref, ref["columns"])
    for (codes, n_levels, z, blocks), name in zip(factors, ref["factors"], strict=True):
        labels = np.asarray(ref["labels"][name], dtype=object)
        # codes 0..m-1, one per distinct lme4 label: the same partition of the rows
        assert codes.dtype == np.int64 and z.dtype == np.float64 and z.flags.c_contiguous
        assert n_levels == len(set(labels)) and set(codes.tolist()) == set(range(n_levels))
        pairs = set(zip(codes.tolist(), labels.tolist(), strict=True))
        assert len(pairs) == n_levels
        expected = columns[name]
        assert blocks == [len(cols) for cols in expected]
        direct = np.column_stack(
            [np.ones(len(used)) if c == "(Intercept)" else used[c].to_numpy(float) for cols in expected for c in cols]
        )
        np.testing.assert_array_equal(z, direct)


def test_one_factor_keeps_its_layout_and_arrays(sleep):
    design = build_design(parse_formula("Reaction ~ Days + (Days | Subject)"), sleep)
    assert theta_layout_of(design).factor_order == (0,)
    ((codes, m, z, blocks),) = core_factors(design)
    assert codes is design.codes and m == design.m and blocks == design.blocks
    assert np.shares_memory(z, design.z) and z.shape == design.z.shape


def test_label_text_joins_the_columns_of_an_interaction_in_lme4s_order(data):
    # b:a of a/b pastes b's label before a's, as lme4's labels (terms_reference) do;
    # a row without a label in one factor only is dropped
    d = pd.DataFrame(
        {"y": np.arange(12.0) ** 1.5, "a": ["p", "q", "r"] * 4, "b": [1, 2] * 6, "c": ["u", "v", "w", None] * 3}
    )
    design = build_design(parse_formula("y ~ (1 | a/b) + (1 | c)"), d)
    assert design.n == 9 and design.n_dropped == 3
    assert [f.name for f in design.spec.factors] == ["b:a", "a", "c"]
    keep = d["c"].notna().to_numpy()
    for f, lv, codes in zip(design.spec.factors, design.factor_levels, design.rows.factor_codes, strict=True):
        expected = d.loc[keep, list(f.columns)].astype(str).agg(":".join, axis=1).to_numpy()
        assert [str(v) for v in lv[codes]] == list(expected)
