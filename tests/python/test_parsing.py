"""Reading a formula: lme4's notation of random terms and offsets, quoted names, and
nothing in a formula runs code (every expression is checked before anything evaluates
it), and the size of what it asks for is bounded before anything parses it. Formulas
refused for what they ask: test_messages."""

import itertools
import re

import pandas as pd
import pytest

from quorvelkit import FormulaError, SourceError, lmm
from quorvelkit.formula.expressions import quote_name, unquote_name
from quorvelkit.formula.formula_limits import check_random_columns
from quorvelkit.formula.parsing import parse_formula

HOSTILE = [  # (term, a fragment the error names); "{m}" is a file the term would create
    ("I(0 * np.ctypeslib.ctypes.CDLL(None).system(b'touch {m}'))", "np.ctypeslib.ctypes.CDLL(None).system"),
    ("I(open('{m}', 'w'))", "unknown function 'open'"), ("{{open('{m}', 'w')}}", "unknown function 'open'"),
    ("I(__import__('os').system('touch {m}'))", "'__import__('os').system'"),
    ("I(exec(\"open('{m}', 'w')\"))", "unknown function 'exec'"),
    ("I(np.log(Time).__class__)", "the attribute 'np.log(Time).__class__'"),
    ("I((lambda: open('{m}', 'w'))())", "lambda"), ("I([open('{m}', 'w') for k in 'a'])", "comprehension"),
    ("C(Diet, levels=open('{m}', 'w'))", "unknown function 'open'"),
    ("I(Time if open('{m}', 'w') else Time)", "conditional"),
    ("I(np.save('{m}', Time))", "unknown function 'np.save'"), ("I(Time[0])", "subscript"),
    ("I(np.log)", "'np.log' without calling it"), ("poly(Time, **dict(degree=2))", "unpacking"),
    ("center(Time, _state=[1])", "keyword argument '_state'"), ("I(9^9^9^9)", "constant expression"),
    ("I(Time^(2^12))", "exponent above 1024"), ("I('x' * 10**9)", "string 'x'"), ("I(Time and Time)", "'and'/'or'"),
    ("I(offset(Time))", "offset() is a term of the fixed part of its own"),
]  # fmt: skip


@pytest.mark.parametrize("where", ["fixed", "response", "random", "unknown column"])
@pytest.mark.parametrize("term,fragment", HOSTILE, ids=[h[0] for h in HOSTILE])
def test_formulas_that_would_run_code_are_refused(data, tmp_path, term, fragment, where):
    chick = data("chickweight")
    marker = tmp_path / "marker"
    t = term.format(m=marker)
    formula = {
        "fixed": f"weight ~ Time + {t} + (1 | Chick)",
        "response": f"{t} ~ Time + (1 | Chick)",
        "random": f"weight ~ Time + (1 + {t} | Chick)",
        # the column check must not evaluate anything either
        "unknown column": f"weight ~ nope + {t} + (1 | Chick)",
    }[where]
    with pytest.raises(FormulaError) as err:  # a ValueError, raised as the formula is read
        lmm(formula, chick)
    assert fragment in str(err.value) and "\n" not in str(err.value)
    assert not marker.exists()
    with pytest.raises(FormulaError):  # refused when the formula is read, before any data
        parse_formula(formula)


@pytest.mark.parametrize(
    "name", ["plain", "Solar.R", "a b", "a`b", "a\\`b", "`", "\\", "1st", "x) + I(open('m')) + (y"]
)
def test_column_names_round_trip_through_quoting(name):
    quoted = quote_name(name)
    assert unquote_name(quoted) == name
    parsed = parse_formula(f"{quoted} ~ {quoted} + (1 | {quoted})")
    assert parsed.columns == [name] and parsed.group == (name,)


@pytest.mark.parametrize(
    "formula,terms,offsets",
    [
        ("y ~ x + (1 | g)", [("1", "1")], []),
        ("y ~ x + (x || g)", [("1", "1"), ("0 + x", "0 + x")], []),
        ("y ~ x + (0 + x || g)", [("0 + x", "0 + x")], []),
        ("y ~ x + (x + I(x^2) || g)", [("1", "1"), ("0 + x", "0 + x"), ("0 + I(x ^ 2)", "0 + {I(x ** 2)}")], []),
        ("y ~ x + (x * C(f) || g)", [("1", "1"), ("0 + x", "0 + x"), ("0 + C(f)", "0 + {C(f)}"),
                                     ("0 + x:C(f)", "0 + x:{C(f)}")], []),
        ("y ~ x + (0 + {x + 1} + `a b` + np.log(x) || g)", [("0 + {x + 1}", "0 + {x + 1}"), ("0 + `a b`", "0 + `a b`"),
                                                             ("0 + np.log(x)", "0 + {np.log(x)}")], []),
        ("y ~ (1 | g) + x + (0 + x | factor(g))", [("1", "1"), ("0 + x", "0 + x")], []),
        ("y ~ x + (x | g) + (0 + z || g)", [("x", "x"), ("0 + z", "0 + z")], []),
        ("y ~ x + offset(o) + offset(log(n)^2) + (1 | g)", [("1", "1")], ["I(o)", "I(log(n) ** 2)"]),
    ],
)  # fmt: skip
def test_random_terms_and_offsets(formula, terms, offsets):
    # lme4's expansion of ||: the intercept, then 0 + each term of the left side (a
    # factor stays one term); several bars on one grouping factor are terms in turn
    parsed = parse_formula(formula)
    assert [(t.text, t.model_text) for t in parsed.random_terms] == terms
    assert list(parsed.offsets) == offsets and parsed.group == ("g",)
    assert "offset" not in parsed.fixed and "|" not in parsed.fixed
    assert parsed.roles("o") == ({"numeric"} if offsets else set())


def _sum(n, term="x"):
    return " + ".join([term] * n)


def _names(n, quote=False):
    return " + ".join(f"`c {k}`" if quote else f"c{k}" for k in range(n))


# (formula over a limit, a fragment of the refusal, the same formula within it)
TOO_LARGE = [
    (f"y ~ {_names(999)} + (1 | g)", "names 1001 columns", f"y ~ {_names(998)} + (1 | g)"),
    (f"y ~ {_names(20000, quote=True)} + (1 | g)", "names 20002 columns", None),
    (f"y ~ C(x, levels={list(range(10000))}) + (1 | g)", "more than 20000",
     f"y ~ C(x, levels={list(range(9980))}) + (1 | g)"),
    (f"y ~ 1 + {_sum(10000, '1')} + (1 | g)", "more than 20000", None),
    (f"y ~ I({_sum(150000)}) + (1 | g)", "more than 20000", None),
    (f"y ~ I({_sum(102)}) + (1 | g)", "more than 100 operators", f"y ~ I({_sum(101)}) + (1 | g)"),
    (f"y ~ I({'- ' * 101}x) + (1 | g)", "more than 100 operators", f"y ~ I({'- ' * 100}x) + (1 | g)"),
    # operators are bounded in code only: brackets of the formula itself are read as its
    # top level is (a wide random term is refused for its columns, not its "+"s)
    *[(f"y ~ {code} + (1 | g)", "more than 100 operators", f"y ~ ({_names(150)}):z + ({_names(150)} | g)")
      for code in (f"log({_sum(102)})", f"{{{_sum(102)}}}", f"(I(({_sum(102)})))")],
    (f"y ~ I({'(' * 32}x{')' * 32}) + (1 | g)", "33 deep", f"y ~ I({'(' * 31}x{')' * 31}) + (1 | g)"),
    (f"y ~ {'*'.join('abcdefghij')} + (1 | g)", "more than 1000 terms", f"y ~ {'*'.join('abcdefghi')} + (1 | g)"),
    (f"y ~ ({_names(20)})^3 + (1 | g)", "more than 1000 terms", f"y ~ ({_names(20)})^2 + (1 | g)"),
    (f"y ~ ({_names(20)}):({_names(51)}) + (1 | g)", "more than 1000 terms",
     f"y ~ ({_names(20)}):({_names(49)}) + (1 | g)"),
]  # fmt: skip


@pytest.mark.parametrize("formula,fragment,within", TOO_LARGE, ids=[t[1] + f" ({len(t[0])})" for t in TOO_LARGE])
def test_formula_size_is_bounded_before_it_is_parsed(formula, fragment, within):
    # refused with the limit it is over, never a RecursionError or minutes of parsing;
    # the same formula within the limit is read (by formulaic as well)
    with pytest.raises(FormulaError, match="the formula is too large") as err:
        parse_formula(formula)
    assert fragment in str(err.value)
    if within is not None:
        parse_formula(within)


@pytest.mark.parametrize(
    "left,power,order",
    [("a + b", 40, 2), ("a + b + c", 2, 2), (_names(9), 9, 9), ("(a + b)^2 + c", 3, 3), ("a + log(b)", 5, 2)],
)
def test_powers_are_the_interactions_of_up_to_that_many_terms(left, power, order):
    # R's meaning, read in time polynomial in the formula: formulaic's own expansion of
    # a power takes len(terms)^power products, and would never finish these
    from formulaic import Formula

    factors = list(dict.fromkeys(re.findall(r"log\(b\)|\w+", left.replace("^2", ""))))
    want = {frozenset(c) for k in range(1, order + 1) for c in itertools.combinations(factors, k)}
    for op in ("^", "**"):
        parsed = parse_formula(f"y ~ ({left}){op}{power} + (1 | g)")
        got = {frozenset(str(f) for f in term.factors) for term in Formula(parsed.model_fixed) if str(term) != "1"}
        assert got == want


def test_missing_columns_of_a_large_formula_come_first(data):
    # a formula over a limit that names columns the data lacks says which: the first
    # five and how many
    chick = data("chickweight")
    formula = f"weight ~ Time + {_names(100000, quote=True)} + (1 | Chick)"
    with pytest.raises(SourceError, match=r"^columns 'c 0', 'c 1', 'c 2', 'c 3', 'c 4' and 99995 more not found in"):
        lmm(formula, chick)
    # every column there: the limit is the answer
    wide = pd.concat([chick, pd.DataFrame(1.0, index=chick.index, columns=[f"c{k}" for k in range(1001)])], axis=1)
    with pytest.raises(FormulaError, match="names 1004 columns"):
        lmm(f"weight ~ Time + {_names(1001)} + (1 | Chick)", wide)
    with pytest.raises(SourceError, match=r"^columns 'c0', 'c1', 'c2', 'c3', 'c4' and 995 more not found in the data"):
        lmm(f"weight ~ Time + {_names(1000)} + (1 | Chick)", chick)  # within the limits: the usual check


@pytest.mark.parametrize("blocks,refused", [([100], None), ([3, 100, 1], None), ([101], 0), ([2, 1, 180], 2)])
def test_random_effects_terms_are_bounded(blocks, refused):
    terms = [f"t{k}" for k in range(len(blocks))]
    if refused is None:
        check_random_columns(terms, "g", blocks)
        return
    with pytest.raises(FormulaError, match=rf"\(t{refused} \| g\) has {blocks[refused]} columns.*at most 100"):
        check_random_columns(terms, "g", blocks)
