"""Reading a formula: lme4's notation of random terms and offsets, quoted names, and
nothing in a formula runs code (every expression is checked before anything evaluates
it). Formulas refused for what they ask: test_messages."""

import pytest

from quorvelkit import FormulaError, lmm
from quorvelkit.expressions import quote_name, unquote_name
from quorvelkit.parsing import parse_formula

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
