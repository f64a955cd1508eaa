"""Model formulas under their original module name: reading a formula in lme4's
notation (:mod:`quorvelkit.parsing`) and building the arrays the core takes from it and
a data frame (:mod:`quorvelkit.design`), importable from here as they always were
(pickled fits name ``quorvelkit.formula.Design`` and ``ParsedFormula``)."""

from .design import (
    Design,
    aliased_columns,
    build_design,
    check_columns,
    check_response_variation,
    join_labels,
    to_frame,
)
from .errors import EXACT_FIT, FormulaError, RankDeficiencyWarning, exact_fit_error
from .parsing import SUPPORTED, ParsedFormula, parse_formula

__all__ = [
    "FormulaError",
    "ParsedFormula",
    "Design",
    "RankDeficiencyWarning",
    "parse_formula",
    "build_design",
    "to_frame",
    "aliased_columns",
    "check_columns",
    "check_response_variation",
    "exact_fit_error",
    "join_labels",
    "EXACT_FIT",
    "SUPPORTED",
]
