"""Predictions of a fitted GLMM, on the link or the response scale, with Wald confidence
intervals (:func:`glmm_predict`, :meth:`quorvelkit.GlmmFit.predict`'s body).

The link scale's variance of a row, v = Var(eta^0 - eta0), at the estimated variance
parameters, with C = Cov(beta^) (the fit's :attr:`~quorvelkit.GlmmFit.vcov`):

- population level (``re=False``): v = x0'C x0;
- a level of the fit: eta^0 = x0'beta^ + z0'b^ with b^ the level's mode. Linearising the
  modes in beta (Kass & Steffey 1989, JASA 84:717; TMB's ``sdreport`` over beta),
  db^/dbeta = -K Z_i'W_i X_i with W the Laplace approximation's weights at the modes
  (the observed information, or the expected one for a ``laplace="fisher"`` fit) and K =
  (Z_i'W_i Z_i + Sigma^-1)^-1, the fit's conditional covariance
  (:attr:`~quorvelkit.GlmmFit.cond_cov`). So, as in Henderson's equations of a linear
  model (:meth:`quorvelkit.LmmFit.predict`), with u = X_i'W_i Z_i K z0,
  v = z0'K z0 + (x0 - u)'C (x0 - u) = x0'C x0 + z0'K z0 + u'C u - 2 x0'C u.
  theta and the dispersion are held at their estimates in the modes: glmmTMB's
  ``predict(re.form = NULL, se.fit = TRUE)`` also moves the modes with them, through
  its joint Hessian, and differs from v by their share (its standard errors by 1% to 13%
  on Salamanders' and sleepstudy's fits of tests/data/glmm/make_predict_reference.R);
- a level the fit has not (``allow_new_levels``): its effects are a fresh draw, v =
  x0'C x0 + z0'Sigma z0.

On the response scale the interval of a family's mean mu = linkinv(eta) is the link
scale's interval mapped through linkinv, which is monotone: its bounds swap where it
decreases (the inverse link). A zero-inflated or truncated fit's mean is a mixture's
((1 - pi) mu with pi the probability of a structural zero; a hurdle's (1 - pi) mu / (1 -
p0(mu))), a function of eta, the dispersion and the zero-inflation's logit together: its
interval is the delta method's on the response scale, m -+ z sqrt(g'V g) (glmmTMB's
``se.fit`` of ``type = "response"``), V the covariance of every fixed parameter from the
fit's Hessian and g the mean's gradient in them (a symmetric interval, which can reach
below zero).

A prediction interval (of a new observation) is refused: a GLMM's response is not its
mean plus a normal error, and neither glmmTMB nor lme4 defines one.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

import quorvelkit._quorvelkit as _core

from ..families import family as fam
from ..formula.checks import check_flag, check_level
from ..support.frames import to_frame
from .predict import _materialize
from .pvalues import normal_quantile

# The fit is a GlmmFit, typed Any here: the class calls this module, which does not
# import it back.
GlmmFit = Any

__all__ = ["glmm_predict", "working_weights"]

# The step of the central differences of a mean in its parameters.
_MEAN_STEP = 1e-6


def glmm_predict(
    fit: GlmmFit,
    newdata: Any,
    type: str,
    re: bool,
    allow_new_levels: bool,
    interval: str | None,
    level: float,
    se_fit: bool,
) -> pd.Series | pd.DataFrame:
    """:meth:`quorvelkit.GlmmFit.predict` (the module's docstring says what is computed)."""
    if type not in ("link", "response"):
        raise ValueError(f"type must be 'link' or 'response', got {type!r}")
    if interval == "prediction":
        raise ValueError(
            "interval='prediction' (of a new observation) is not defined for a GLMM, whose response is not its mean "
            "plus a normal error; use interval='confidence' for the mean's interval"
        )
    if interval not in (None, "confidence"):
        raise ValueError(f"interval must be 'confidence' or None, got {interval!r}")
    check_flag("allow_new_levels", allow_new_levels)
    check_flag("se_fit", se_fit)
    check_level(level)
    re = bool(re)
    index, ok, x, z, idx, eta = _rows(fit, newdata, re, allow_new_levels)
    zi_rows = _zi_rows(fit, newdata, ok) if type == "response" else None
    mixture = type == "response" and (len(fit._zi_beta) > 0 or fit.family.startswith("truncated"))
    # The fit's own probabilities where it has them (a constant one, the fit's rows), so
    # that the means are the fitted values to the last bit.
    if zi_rows is None or fit.zi is not None:
        pi = fit.zi
    elif newdata is None:
        pi = fit._zi_probability
    else:
        pi = 1.0 / (1.0 + np.exp(-(zi_rows @ fit._zi_beta)))
    if type == "link":
        values = eta
    else:
        values = fam.response_moments(fit.family, fam.linkinv(eta, fit.link), fit.phi, pi, fit.power)[0]
    if interval is None and not se_fit:
        predicted: pd.Series = fit._predicted(index, ok, values)
        return predicted
    a, var_b = _link_parts(fit, x, z, idx, re)
    var_link = np.einsum("ij,jk,ik->i", a, fit.cov_fixef.to_numpy(), a) + var_b
    if mixture:
        var = _mixture_variance(fit, eta, a, var_b, zi_rows)
    elif type == "response":  # glmmTMB's se.fit of a mean: the delta method's
        var = var_link * _mu_eta(eta, fit.link) ** 2
    else:
        var = var_link
    out = pd.DataFrame(np.nan, index=index, columns=["fit"])
    out.loc[ok, "fit"] = values
    if se_fit:
        out.loc[ok, "se.fit"] = np.sqrt(np.maximum(var, 0.0))
    if interval is not None:
        zq = float(normal_quantile(0.5 + level / 2))
        if type == "link" or mixture:
            half = zq * np.sqrt(np.maximum(var, 0.0))
            lwr, upr = values - half, values + half
        else:  # the link scale's bounds mapped through the inverse link, in order
            half = zq * np.sqrt(np.maximum(var_link, 0.0))
            lo, hi = fam.linkinv(eta - half, fit.link), fam.linkinv(eta + half, fit.link)
            lwr, upr = np.minimum(lo, hi), np.maximum(lo, hi)
        out.loc[ok, "lwr"] = lwr
        out.loc[ok, "upr"] = upr
    return out


def _rows(
    fit: GlmmFit, newdata: Any, re: bool, allow_new_levels: bool
) -> tuple[pd.Index, np.ndarray, np.ndarray, np.ndarray, list[np.ndarray], np.ndarray]:
    """The rows of ``newdata`` (the fit's when None): index, the mask of those with every
    predictor, their X and Z (the core's columns), each factor's level (the core's order;
    -1 for a new one or with ``re=False``) and the linear predictor."""
    d = fit._design
    if newdata is not None:
        index, ok, x, z, idx, eta = fit._new_rows(newdata, re, allow_new_levels)
        return index, ok, x, z, idx, eta
    rows = d.need_rows("predict() without newdata")
    if re:
        codes = rows.factor_codes or (rows.codes,)
        idx = [np.asarray(codes[i], dtype=np.int64) for i in fit._layout.factor_order]
        eta = fit.linear_predictor.to_numpy()
    else:
        idx = [np.full(d.n, -1, np.int64) for _ in fit._levels]
        eta = d.x @ fit.fixef.to_numpy() + (0.0 if d.offset is None else d.offset)
    return d.row_index, np.ones(d.n, bool), rows.x, rows.z, idx, eta


def _zi_rows(fit: GlmmFit, newdata: Any, ok: np.ndarray) -> np.ndarray | None:
    """The zero-inflation's design of the rows ``ok`` of ``newdata`` (the fit's rows when
    None): a column of ones for a constant probability, None without zero-inflation."""
    if not len(fit._zi_beta):
        return None
    response = fit._design.response
    if fit.zi is not None:
        return np.ones((int(np.count_nonzero(ok)), 1))
    if newdata is None:
        return np.asarray(response.zi_design, dtype=float)
    spec = response.zi_spec
    frame = to_frame(newdata)
    absent = sorted(c for c in spec.required_variables if c not in frame.columns)
    if absent:
        raise ValueError(
            f"newdata lacks the zero-inflation formula's column(s) {', '.join(absent)}, which predictions on the "
            "response scale need"
        )
    sub = frame.loc[ok].reset_index(drop=True)
    design = _materialize(spec, sub, fit._design.spec.categorical)
    bad = ~np.isfinite(design).all(axis=1)
    if bad.any():
        raise ValueError(f"the zero-inflation formula's columns of newdata are missing in {int(bad.sum())} row(s)")
    return design


def _factor_sigma(fit: GlmmFit, k: int) -> np.ndarray:
    """Sigma of the k-th factor (core order) in the core's columns of that factor."""
    _, at = fit._factor_columns(k)
    lam = fit._factor_lambda(k, fit.lambda_matrix)
    sigma = np.zeros((len(at), len(at)))
    sigma[np.ix_(at, at)] = lam @ lam.T
    return sigma


def _link_parts(
    fit: GlmmFit, x: np.ndarray, z: np.ndarray, idx: list[np.ndarray], re: bool
) -> tuple[np.ndarray, np.ndarray]:
    """Each row's gradient of eta^0 in beta (x0 - u: u = X_i'W_i Z_i K z0 at a level of
    the fit, 0 elsewhere) and the variance of its random part (z0'K z0 at a level of the
    fit, z0'Sigma z0 at a new one with ``re``, 0 at the population level)."""
    a = np.array(x, dtype=float)
    var_b = np.zeros(len(x))
    if not re:
        return a, var_b
    spans = [fit._design.spec.factor_columns()[i] for i in fit._layout.factor_order]
    known_any = np.zeros(len(x), bool)
    for k, (span, codes) in enumerate(zip(spans, idx, strict=True)):
        zk = np.asarray(z[:, span], dtype=float)
        new = codes < 0
        if new.any():
            var_b[new] += np.einsum("ia,ab,ib->i", zk[new], _factor_sigma(fit, k), zk[new])
        known_any |= ~new
    if not known_any.any():
        return a, var_b
    if fit._several:
        raise ValueError(
            "standard errors and confidence intervals of predictions at the fit's levels are for models of one "
            "grouping factor; pass re=False for the population level's, or allow_new_levels with new levels"
        )
    known = idx[0] >= 0
    g = idx[0][known]
    cond = fit._factor_cond_covs()[0][g]
    kz = np.einsum("iab,ib->ia", cond, z[known])
    u = np.einsum("iac,ia->ic", _weighted_cross_products(fit)[g], kz)
    a[known] -= u
    var_b[known] += np.einsum("ia,ia->i", z[known], kz)
    return a, var_b


def _weighted_cross_products(fit: GlmmFit) -> np.ndarray:
    """Z_i'W_i X_i of every level of the one factor, shape (m, q, p), W the fit's
    :func:`working_weights`."""
    d = fit._design
    rows = d.need_rows("confidence intervals at the fit's levels")
    w = working_weights(fit)
    q, p = rows.z.shape[1], rows.x.shape[1]
    out = np.empty((d.m, q, p))
    zw = rows.z * w[:, None]
    for a in range(q):
        for c in range(p):
            out[:, a, c] = np.bincount(rows.codes, weights=zw[:, a] * rows.x[:, c], minlength=d.m)
    return out


def working_weights(fit: GlmmFit) -> np.ndarray:
    """The weights W of the fit's Laplace approximation at the modes, row by row, as its
    core takes them: the observed information -d^2 loglik / d eta^2, or for a
    ``laplace="fisher"`` fit the expected one, at the fit's phi, Tweedie power and
    zero-inflation probabilities (the family table's own derivatives)."""
    d = fit._design
    rows = d.need_rows("the working weights")
    eta = fit.linear_predictor.to_numpy()
    n = len(eta)

    def each(value: Any) -> np.ndarray:
        return np.ascontiguousarray(np.broadcast_to(np.asarray(np.nan if value is None else value, dtype=float), (n,)))

    weights: np.ndarray = _core.family_laplace_weights(
        fit.family,
        fit.link,
        fit.laplace == "observed",
        np.ascontiguousarray(rows.y, dtype=float),
        np.ascontiguousarray(eta),
        np.ascontiguousarray(fit._prior, dtype=float),
        each(fit.phi if fit.phi is not None else 1.0),
        each(fit.power if fit.power is not None else 1.5),
        each(fit._zi_probability),
    )
    return weights


def _mu_eta(eta: np.ndarray, link: str) -> np.ndarray:
    """d mu / d eta under ``link`` (the link table's, R's mu.eta)."""
    return np.asarray(_core.family_mu_eta(link, np.ascontiguousarray(eta, dtype=float)).reshape(np.shape(eta)))


def _mixture_variance(
    fit: GlmmFit, eta: np.ndarray, a: np.ndarray, var_b: np.ndarray, zi_rows: np.ndarray | None
) -> np.ndarray:
    """The delta method's variance of a zero-inflated or truncated fit's mean m(eta,
    log phi, logit pi): g'V g + m_eta^2 var_b, V the covariance of (beta, log phi, the
    zero-inflation's coefficients) from the fit's Hessian and g = (m_eta a, m_logphi,
    m_logit w0) with w0 the row's zero-inflation design."""
    hessian = fit._res.get("hessian")
    if hessian is None:
        raise ValueError("the response scale's intervals of this fit need its Hessian over every parameter")
    nt = len(fit.theta)
    cov = 2.0 * np.linalg.inv(np.asarray(hessian, dtype=float))[nt:, nt:]
    family, link, phi = fit.family, fit.link, fit.phi
    zeta = fit._zi_beta
    logit = np.zeros(len(eta)) if zi_rows is None else zi_rows @ zeta
    log_phi = 0.0 if phi is None else math.log(phi)

    def mean(e: np.ndarray, t: float, lg: np.ndarray) -> np.ndarray:
        pi = None if zi_rows is None else 1.0 / (1.0 + np.exp(-lg))
        return fam.response_moments(family, fam.linkinv(e, link), None if phi is None else math.exp(t), pi)[0]

    h = _MEAN_STEP * np.maximum(np.abs(eta), 1.0)
    m_eta = (mean(eta + h, log_phi, logit) - mean(eta - h, log_phi, logit)) / (2.0 * h)
    parts = [m_eta[:, None] * a]
    if phi is not None:
        ht = _MEAN_STEP * max(abs(log_phi), 1.0)
        parts.append(((mean(eta, log_phi + ht, logit) - mean(eta, log_phi - ht, logit)) / (2.0 * ht))[:, None])
    if zi_rows is not None:
        hz = _MEAN_STEP * np.maximum(np.abs(logit), 1.0)
        m_logit = (mean(eta, log_phi, logit + hz) - mean(eta, log_phi, logit - hz)) / (2.0 * hz)
        parts.append(m_logit[:, None] * zi_rows)
    g = np.hstack(parts)
    out: np.ndarray = np.einsum("ij,jk,ik->i", g, cov, g) + m_eta**2 * var_b
    return out
