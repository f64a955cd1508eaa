"""What a crossed core built from products (``CrossedCore.from_products``) asks of
Python: its products, in the layout of :mod:`quorvelkit.cores.product_layout` in the
core's order of factors, with a fixed effect held at a value (:func:`fixed_at`, which
``CrossedCore.fixed_at`` calls by this module's name)."""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["fixed_at"]


def fixed_at(products: dict, j: int, b: float) -> dict:
    """The products of the same rows with fixed effect ``j`` held at ``b``: the response
    y - x_j b on the other columns. With A = [X | y] (as the products hold them,
    shifted) the new columns are A M; when column j is the shift's constant column the
    rows are first taken back as given, A = A~ (I + e_j w'), w = (shift_x, shift_y) / a."""
    p = int(products["p"])
    p1, np_ = p + 1, p  # np_: the new columns, the other p - 1 and the response
    col = int(products["shift_column"])
    sx = np.asarray(products["shift_x"], dtype=float)
    drop_constant = col >= 0 and j == col
    mm = np.zeros((p1, np_))
    others = [i for i in range(p) if i != j]
    for c, i in enumerate(others):
        mm[i, c] = 1.0
    mm[p, np_ - 1] = 1.0
    mm[j, np_ - 1] = -b
    if drop_constant:
        a = float(products["shift_value"])
        w = np.zeros(p1)
        w[others] = sx[others] / a
        w[p] = float(products["shift_y"]) / a
        mm[j] = mm[j] + _sum_over(w[None, :], mm)[0]
    g = np.zeros((p1, p1))
    g[:p, :p] = products["xtx"]
    g[:p, p] = g[p, :p] = products["xty"]
    g[p, p] = float(products["yty"])
    g2 = _sum_over(mm.T, _sum_over(g, mm))
    g2 = np.triu(g2) + np.triu(g2, 1).T
    pn = np_ - 1
    out = dict(products)
    out["p"] = pn
    out["xtx"] = np.ascontiguousarray(g2[:pn, :pn])
    out["xty"] = np.ascontiguousarray(g2[:pn, pn])
    out["yty"] = float(g2[pn, pn])
    ztx, zty = [], []
    for x_part, y_part in zip(products["ztx"], products["zty"], strict=True):
        za = np.concatenate([np.asarray(x_part), np.asarray(y_part)[:, :, None]], axis=2)
        zm = _sum_over(za, mm)
        ztx.append(np.ascontiguousarray(zm[:, :, :pn]))
        zty.append(np.ascontiguousarray(zm[:, :, pn]))
    out["ztx"], out["zty"] = ztx, zty
    if col >= 0 and not drop_constant:
        out["shift_x"] = np.ascontiguousarray(sx[others])
        out["shift_column"] = col - (1 if j < col else 0)
        out["shift_y"] = float(products["shift_y"]) - b * float(sx[j])
    else:
        out.update(shift_column=-1, shift_value=0.0, shift_y=0.0, shift_x=np.zeros(pn))
    return out


def _sum_over(a: Any, m: np.ndarray) -> np.ndarray:
    """a @ m over a's last axis, summed term by term in order (fixed bits, no BLAS)."""
    a = np.asarray(a, dtype=float)
    out = np.zeros(a.shape[:-1] + (m.shape[1],))
    for t in range(m.shape[0]):
        out = out + a[..., t : t + 1] * m[t]
    return out
