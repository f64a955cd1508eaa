"""The text of a formula as brackets and quotes shape it: every character outside
quotes with its depth of brackets, the pieces between top-level operators, and the
bracket that closes another (the reading of lme4's formulas in
:mod:`quorvelkit.formula.parsing` and of R's expressions in :mod:`quorvelkit.model.data_arguments`
stand on these). Unbalanced brackets and unterminated quotes are a
:class:`~quorvelkit.support.errors.FormulaError`."""

from __future__ import annotations

from collections.abc import Iterator

from ..support.errors import FormulaError

__all__ = ["scan", "split_top", "has_top_bar", "closing"]


def scan(text: str) -> Iterator[tuple[int, str, int]]:
    """Yield (index, char, depth) for characters outside quotes; depth counts brackets."""
    depth = 0
    quote = None
    escaped = False
    for i, ch in enumerate(text):
        if quote is not None:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True  # a backslash in quotes escapes the next character
            elif ch == quote:
                quote = None
            continue
        if ch in "'\"`":
            quote = ch
            yield i, ch, depth
            continue
        if ch in "([{":
            yield i, ch, depth
            depth += 1
            continue
        if ch in ")]}":
            depth -= 1
            if depth < 0:
                raise FormulaError(f"unbalanced parentheses in formula {text!r}")
            yield i, ch, depth
            continue
        yield i, ch, depth
    if quote is not None:
        raise FormulaError(f"unterminated quote in formula {text!r}")
    if depth != 0:
        raise FormulaError(f"unbalanced parentheses in formula {text!r}")


def split_top(text: str, ops: str) -> list[tuple[str, str]]:
    """Split at top-level operator characters; returns (operator before, piece) pairs."""
    pieces: list[tuple[str, str]] = []
    start = 0
    op = ""
    for i, ch, depth in scan(text):
        if depth == 0 and ch in ops:
            pieces.append((op, text[start:i]))
            op = ch
            start = i + 1
    pieces.append((op, text[start:]))
    return pieces


def has_top_bar(inner: str) -> bool:
    return any(ch == "|" and depth == 0 for _, ch, depth in scan(inner))


def closing(text: str, open_index: int) -> int:
    """Index of the bracket closing the one at ``open_index``."""
    target = None
    for i, ch, depth in scan(text):
        if i == open_index:
            target = depth
        elif target is not None and ch == ")" and depth == target:
            return i
    return -1
