"""Command line: fit a linear or generalized linear mixed model to a CSV file and print
lme4's report.

    python -m quorvelkit                                  # the bundled sleepstudy example
    python -m quorvelkit "Reaction ~ Days + (1 | Subject)"  # another model of that example
    python -m quorvelkit DATA.csv "y ~ x + (x | g)"       # a formula in lme4's notation
    python -m quorvelkit DATA.csv --response y --fixed x1,x2 --random x1 --group g
    python -m quorvelkit DATA.csv "cbind(s, n - s) ~ x + (1 | g)" --family binomial
    options: --ml, --weights COLUMN, --evaluator NAME, --json, --drop-missing, --sep SEP,
             --decimal CHAR; --family NAME (R's spellings), --link NAME, --nagq K (GLMMs)

The data are read as pandas reads them for the API (text columns are factors), from a
CSV file that may be compressed (.gz, .bz2, .xz, .zip, .zst: by the file's extension).

Errors are one line on stderr and a non-zero exit status (1 for the data or the model,
2 for the command line itself).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import sys
import warnings
from collections.abc import Sequence
from typing import Any, NoReturn

import numpy as np
import pandas as pd

from .api.glmm import glmm
from .api.lmm import lmm
from .families.family import FAMILY_LINKS, parse_family
from .formula.checks import check_column_types, check_weights, require_columns
from .formula.expressions import quote_name
from .formula.parsing import parse_formula
from .model.design import referenced_columns
from .support.datasets import load_sleepstudy
from .support.errors import SourceError

DEFAULT_FORMULA = "Reaction ~ Days + (Days | Subject)"
EVALUATORS = ("auto", "blocks", "aggregated", "streaming")


class CliError(Exception):
    """An error reported as one line on stderr with exit status ``code``."""

    def __init__(self, message: str, code: int = 1) -> None:
        super().__init__(message)
        self.code = code


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line, no usage block
        raise CliError(f"{message} (see --help)", 2)


def _family_argument(text: str) -> str:
    """--family as given (glmm() reads a link inside it), once R's spellings of it are checked."""
    try:
        parse_family(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of ``python -m quorvelkit``."""
    p = _Parser(
        prog="python -m quorvelkit",
        description=(
            "Fit a linear mixed model and print lme4's report. "
            "With no arguments, fits the bundled sleepstudy example with "
            f"'{DEFAULT_FORMULA}'."
        ),
        epilog=(
            "Give either a FORMULA in lme4's notation (random-effects terms on one grouping factor or "
            "several, crossed or nested), e.g. "
            "'y ~ x1 + C(site) + (1 + x1 | g)', or the column options "
            "--response/--fixed/--random/--group. Text columns are factors; write "
            "factor(x) or C(x) for a factor coded by numbers. I(x^2) is a square. A "
            "formula may use column names, numbers, arithmetic and a fixed list of "
            "transforms (C, factor, I, log, exp, sqrt, center, scale, poly, bs, np.log, ...)."
        ),
    )
    p.add_argument(
        "data",
        nargs="?",
        metavar="DATA.csv",
        help="CSV file with a header row; .gz, .bz2, .xz, .zip and .zst files are decompressed",
    )
    p.add_argument("formula", nargs="?", metavar="FORMULA", help="model formula, e.g. 'y ~ x + (x | g)'")
    p.add_argument("--response", metavar="COL", help="response column (column options)")
    p.add_argument("--fixed", metavar="COLS", help="comma-separated fixed-effects columns")
    p.add_argument("--random", metavar="COLS", help="comma-separated random-effects columns")
    p.add_argument("--group", metavar="COL", help="grouping column (labels of any kind)")
    p.add_argument("--no-fixed-intercept", action="store_true", help="no fixed intercept")
    p.add_argument("--no-random-intercept", action="store_true", help="no random intercept")
    p.add_argument("--ml", action="store_true", help="maximum likelihood instead of REML")
    p.add_argument(
        "--weights",
        metavar="COLUMN",
        help="prior weights: the residual variance of a row is sigma^2 / weight (as lme4's weights); "
        "rows of weight zero are left out",
    )
    p.add_argument("--evaluator", default="auto", choices=EVALUATORS, help="the core's kernel (default auto)")
    p.add_argument(
        "--family",
        type=_family_argument,
        metavar="{" + ",".join(FAMILY_LINKS) + "}",
        help="fit a generalized linear mixed model of this family (as lme4's glmer; R's spellings, e.g. "
        "'binomial(link = \"probit\")'); the response may be cbind(successes, failures), 0/1, a two-level "
        "factor, or counts",
    )
    p.add_argument(
        "--link",
        metavar="NAME",
        help="the link of --family, by R's name (default: the first): "
        + "; ".join(f"{family}: {', '.join(links)}" for family, links in FAMILY_LINKS.items()),
    )
    p.add_argument(
        "--nagq",
        type=int,
        default=1,
        metavar="K",
        help="--family: quadrature points per random effect (1: Laplace, the default; 0: Laplace with the fixed "
        "effects inside the modes' iteration; up to 25: adaptive Gauss-Hermite, one grouping factor)",
    )
    p.add_argument(
        "--laplace",
        choices=("fisher", "observed"),
        help="--family: the information in Laplace's approximation (fisher: lme4's; observed: glmmTMB's; "
        "default: fisher for binomial and poisson, observed for the others)",
    )
    p.add_argument(
        "--zi",
        metavar="FORMULA",
        help="--family: zero-inflation as glmmTMB's ziformula, '~1' (a constant probability; a hurdle model for "
        "truncated_poisson)",
    )
    p.add_argument("--json", action="store_true", help="print the results as JSON")
    p.add_argument(
        "--sep",
        default=",",
        metavar="SEP",
        help="field separator of the CSV file (default ','; e.g. ';', or 'tab' for tabs)",
    )
    p.add_argument(
        "--decimal",
        default=".",
        metavar="CHAR",
        help="decimal mark of numbers in the file (default '.'; ',' for '1,5')",
    )
    p.add_argument(
        "--drop-missing",
        action="store_true",
        help="drop rows with missing values in the columns used (as lme4 does) instead of stopping",
    )
    return p


def _separator(text: str) -> str:
    """The ``--sep`` value as the character(s) pandas splits on."""
    if text.lower() in ("tab", "\\t", "\t"):
        return "\t"
    if text.lower() in ("space", " "):
        return " "
    if not text:
        raise CliError("--sep must not be empty", 2)
    return text


def _split_cols(text: str | None) -> list[str]:
    if text is None:
        return []
    return [c.strip() for c in text.split(",") if c.strip()]


def _line(frame: Any, pos: int) -> int:
    """CSV line number of data row ``pos`` (the header is line 1)."""
    return pos + 2


def _read_csv(path: str, sep: str = ",", decimal: str = ".") -> pd.DataFrame:
    if len(decimal) != 1:
        raise CliError(f"--decimal must be one character, got {decimal!r}", 2)
    if decimal == sep:
        raise CliError(f"--decimal and --sep must differ, both are {sep!r}", 2)
    try:
        # compression="infer": .gz, .bz2, .xz, .zip, .zst are decompressed by extension
        frame = pd.read_csv(path, sep=sep, decimal=decimal, compression="infer")
    except FileNotFoundError:
        raise CliError(f"no such file: {path}") from None
    except IsADirectoryError:
        raise CliError(f"{path} is a directory, not a CSV file") from None
    except PermissionError:
        raise CliError(f"cannot read {path}: permission denied") from None
    except pd.errors.EmptyDataError:
        raise CliError(f"{path} is empty") from None
    except UnicodeDecodeError:
        raise CliError(
            f"cannot read {path}: not a text (UTF-8) CSV file (compressed files are "
            f"recognised by their extension: .gz, .bz2, .xz, .zip, .zst)"
        ) from None
    except (OSError, EOFError) as exc:  # a damaged compressed file
        raise CliError(f"cannot read {path}: {exc}") from None
    except ImportError as exc:  # .zst without the zstandard package
        raise CliError(f"cannot read {path}: {exc}") from None
    except (pd.errors.ParserError, ValueError) as exc:
        first = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise CliError(f"cannot read {path} as CSV: {first}") from None
    if frame.shape[1] == 0:
        raise CliError(f"{path} has no columns")
    if len(frame) == 0:
        raise CliError(f"{path} has a header but no data rows")
    return frame


def _check_numeric(
    frame: pd.DataFrame, cols: Sequence[str], source: str, strict: Sequence[str] = (), response: Sequence[str] = ()
) -> None:
    """Columns in ``strict`` must be numeric (a number is needed there: the response,
    arithmetic, a numeric transform). The others may be text (a factor, as the API
    treats text) but not a mixture of numbers and text: the API's rule and words
    (:func:`~quorvelkit.formula.checks.check_column_types`), rows named by their line."""
    try:
        check_column_types(
            frame,
            [c for c in cols if c in strict],
            [c for c in cols if c not in strict],
            lambda k: f"line {_line(frame, k)} of {source}",
            response,
        )
    except SourceError as exc:
        text = str(exc)
        if re.search(r"'\s*[-+]?\d*,\d+\s*' in line", text):
            text += " (for decimal commas pass --decimal ',')"
        raise CliError(text) from None


def _check_missing(frame: pd.DataFrame, cols: Sequence[str], source: str) -> None:
    for c in cols:
        na = frame[c].isna().to_numpy()
        if na.any():
            pos = int(na.argmax())
            k = int(na.sum())
            raise CliError(
                f"column '{c}' in {source} has {k} missing value{'s' if k > 1 else ''} "
                f"(first on line {_line(frame, pos)}); fill them in, or pass --drop-missing "
                f"to drop incomplete rows as lme4 does"
            )


def _check_weights(frame: pd.DataFrame, column: str, source: str) -> None:
    """The weights column must hold finite, non-negative numbers in every row (rows of
    weight zero are left out of the fit); the error names the first other value and
    its line."""
    _check_numeric(frame, [column], source, strict=[column])
    values = pd.to_numeric(frame[column], errors="coerce").to_numpy(dtype=float)
    check_weights(values, lambda k: f"{source} on line {_line(frame, k)}", column)


def _column_formula(args: argparse.Namespace, frame: pd.DataFrame, source: str) -> tuple[str, list[str]]:
    if not args.response or not args.group:
        raise CliError("give a formula, e.g. 'y ~ x + (1 | g)', or the columns with --response and --group", 2)
    fixed = _split_cols(args.fixed)
    random = _split_cols(args.random)
    needed = [args.response, *fixed, *random, args.group]
    absent = [c for c in dict.fromkeys(needed) if c not in frame.columns]
    if absent:
        raise CliError(
            f"column{'s' if len(absent) > 1 else ''} {', '.join(repr(c) for c in absent)} "
            f"not found in {source} (columns: {', '.join(map(str, frame.columns))})"
        )
    # Text columns are factors, as in the API; only the response must be numbers.
    checked = list(dict.fromkeys([args.response, *fixed, *random]))
    _check_numeric(frame, checked, source, [args.response], [args.response])
    if not fixed and args.no_fixed_intercept:
        raise CliError("no fixed effects: give --fixed columns or keep the fixed intercept", 2)
    if not random and args.no_random_intercept:
        raise CliError("no random effects: give --random columns or keep the random intercept", 2)
    fx = ["0"] if args.no_fixed_intercept else ["1"]
    rx = ["0"] if args.no_random_intercept else ["1"]
    fx += [quote_name(c) for c in fixed]
    rx += [quote_name(c) for c in random]
    formula = f"{quote_name(args.response)} ~ {' + '.join(fx)} + ({' + '.join(rx)} | {quote_name(args.group)})"
    return formula, needed


def run(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (``sys.argv[1:]`` when ``None``); returns the
    exit status. Errors print one line on stderr."""
    try:
        return _run(argv)
    except CliError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return exc.code
    except BrokenPipeError:  # output piped into a program that stopped reading
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        print("error: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:  # never a traceback
        msg = " ".join(str(exc).split()) or type(exc).__name__
        print(f"error: {msg}", file=sys.stderr)
        return 1


def _run(argv: Sequence[str] | None) -> int:
    args = build_parser().parse_args(argv)
    if args.formula is None and args.data is not None and "~" in args.data:
        if not os.path.exists(args.data):  # a formula alone: fit the bundled example
            args.formula, args.data = args.data, None
    column_mode = (
        any(v is not None for v in (args.response, args.fixed, args.random, args.group))
        or args.no_fixed_intercept
        or args.no_random_intercept
    )
    if args.formula is not None and column_mode:
        raise CliError("give either a formula or the column options (--response, --group, ...), not both", 2)
    glmm_only = args.link is not None or args.nagq != 1 or args.laplace is not None or args.zi is not None
    if args.family is None and glmm_only:
        raise CliError(
            "--link, --nagq, --laplace and --zi apply to a generalized linear mixed model: give --family too", 2
        )
    if args.family is not None and (args.ml or args.evaluator != "auto"):
        raise CliError("--ml and --evaluator apply to linear mixed models, not to one with --family", 2)

    if args.data is None:
        frame = load_sleepstudy()
        source = "the bundled sleepstudy data"
        data_name = "sleepstudy (bundled example)"
    else:
        frame = _read_csv(args.data, _separator(args.sep), args.decimal)
        source = args.data
        data_name = args.data

    if column_mode:
        formula, used = _column_formula(args, frame, source)
    else:
        if args.formula is None and args.data is not None:
            raise CliError("give a formula, e.g. 'y ~ x + (1 | g)', or the columns with --response and --group", 2)
        formula = args.formula if args.formula is not None else DEFAULT_FORMULA
        # A GLMM's response (cbind(), a factor) is its family's to read (glmm() reads it):
        # its columns are checked for presence and missing values here, not for type.
        apart = args.family is not None
        parsed = parse_formula(formula, frame.columns, source, family_response=apart)  # checks; evaluates nothing
        lhs = [c for c, role in parsed.uses if role == "response"]
        if apart:
            require_columns(list(dict.fromkeys(c for c, r in parsed.uses if r != "response")), frame.columns, source)
            require_columns(lhs, frame.columns, source)
        else:
            require_columns(parsed.columns, frame.columns, source)
        used = referenced_columns(parsed, frame.columns, response=not apart)

        def roles(c: str) -> set[str]:
            return {r for u, r in parsed.uses if u == c and not (apart and r == "response")}

        if apart:
            used = [c for c in frame.columns if c in lhs] + used
        # A number is needed in the response and in arithmetic; a term by itself may be
        # text (a factor); inside C() or factor(), in comparisons and as the grouping
        # factor, any labels do.
        strict = [c for c in used if roles(c) & {"response", "numeric"}]
        checked = [c for c in used if roles(c) & {"response", "numeric", "term"}]
        response = [c for c in used if "response" in roles(c)]
        _check_numeric(frame, checked, source, strict, response)
    if args.weights is not None:
        if args.weights not in frame.columns:
            columns = ", ".join(map(str, frame.columns))
            raise CliError(f"the weights column {args.weights!r} is not in {source} (columns: {columns})")
        _check_weights(frame, args.weights, source)
    if not args.drop_missing:
        _check_missing(frame, list(dict.fromkeys(used)), source)

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if args.family is None:
            fit: Any = lmm(formula, frame, reml=not args.ml, evaluator=args.evaluator, weights=args.weights)
        else:
            fit = glmm(
                formula,
                frame,
                args.family,
                args.link,
                args.nagq,
                weights=args.weights,
                laplace=args.laplace,
                zi=args.zi,
            )
    fit.data_name = data_name
    notes = [" ".join(str(w.message).split()) for w in caught if not issubclass(w.category, DeprecationWarning)]
    if args.json:
        out = fit.to_dict()
        out["warnings"] = notes
        print(json.dumps(_sanitize(out), indent=2, allow_nan=False, default=_json_default))
    else:
        for note in notes:
            print(f"warning: {note}", file=sys.stderr)
        print(fit.summary_text())
    return 0


def _sanitize(v: Any) -> Any:
    """Replace non-finite floats (anywhere in nested lists and dicts) by None."""
    if isinstance(v, float):
        return v if math.isfinite(v) else None
    if isinstance(v, dict):
        return {k: _sanitize(x) for k, x in v.items()}
    if isinstance(v, (list, tuple)):
        return [_sanitize(x) for x in v]
    return v


def _json_default(v: Any) -> Any:
    if isinstance(v, np.integer):
        return int(v)
    if isinstance(v, np.floating):
        return float(v) if math.isfinite(v) else None
    if isinstance(v, np.bool_):
        return bool(v)
    return str(v)


def main() -> None:
    """Entry point: run with ``sys.argv`` and exit with its status."""
    sys.exit(run())


if __name__ == "__main__":
    main()
