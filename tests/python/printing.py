"""Comparing our printed reports with R's, line by line."""

import re


def printed_alike(ours: str, theirs: str) -> bool:
    """Two printed lines hold the same words and numbers in the same form (notation and
    decimals), the numbers equal up to a unit in their last printed digit: lmerTest's
    and our df of a term can differ from the fifth significant digit. R's curly quotes
    count as straight ones."""
    a, b = ours.split(), theirs.replace("‘", "'").replace("’", "'").split()
    if len(a) != len(b):
        return False
    for x, y in zip(a, b, strict=True):
        try:
            fx, fy = float(x), float(y)
        except ValueError:
            if x != y:
                return False
            continue
        mantissa, _, exponent = y.partition("e")
        unit = 10.0 ** (int(exponent or 0) - len(mantissa.partition(".")[2]))  # of the last digit
        if re.sub(r"\d", "9", x) != re.sub(r"\d", "9", y) or abs(fx - fy) > 1.01 * unit:
            return False
    return True
