"""Every result of a fit as JSON-ready Python values (``to_dict()``, what ``--json``
prints), for a linear model (:func:`fit_to_dict`) and a GLMM (:func:`glmm_to_dict`);
the random effects by factor, in one shape for both (:func:`random_effects_json`)."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from ..support.labels import json_label
from .report import _finite, _given_offset

__all__ = ["fit_to_dict", "glmm_to_dict", "random_effects_json"]


def random_effects_json(fit: Any) -> dict[str, Any]:
    """Each grouping factor's conditional modes and covariances as JSON-ready values."""
    cond = fit.cond_cov
    return {
        name: {
            "levels": [json_label(v) for v in ranef.index],
            "names": [str(c) for c in ranef.columns],
            "values": [[float(v) for v in row] for row in ranef.to_numpy()],
            "cond_cov": [[[float(v) for v in row] for row in mat] for mat in cond[name]],
        }
        for name, ranef in fit.ranef.items()
    }


def fit_to_dict(fit: Any) -> dict[str, Any]:
    """Every result of ``fit`` as JSON-ready Python values."""
    fe = fit.fixef
    se = fit.se
    tv = fit.tvalues
    table = fit.coef_table
    cov_re = fit.cov_re.to_numpy()
    corr = fit.corr_re.to_numpy()
    opt = fit.optimizer
    return {
        "formula": fit.formula,
        "data": getattr(fit, "data_name", None),
        "method": fit.method,
        "reml": fit.reml,
        "nobs": fit.nobs,
        "n_dropped": fit.n_dropped,
        "weights": None if not fit._design.weighted else fit._design.spec.weights_column or "array",
        "n_zero_weight": fit.n_zero_weight,
        "offset": _given_offset(fit),
        "group": fit.group_name,
        "ngroups": fit.ngroups,
        "criterion": fit.criterion,
        "loglik": fit.loglik,
        "aic": fit.aic,
        "bic": fit.bic,
        "df": fit.n_params,
        "singular": fit.is_singular,
        "theta": [float(v) for v in fit.theta],
        "sigma": fit.sigma,
        "fixed_effects": {
            name: {
                "estimate": float(fe[name]),
                "std_error": float(se[name]),
                "t_value": _finite(float(tv[name])),
                "df": _finite(float(table["df"].iloc[k])),
                "p_value": _finite(float(table["Pr(>|t|)"].iloc[k])),
            }
            for k, name in enumerate(fit.fe_names)
        },
        "dropped_columns": fit.dropped_columns,
        "cov_fixed": [[float(v) for v in row] for row in fit.cov_fixef.to_numpy()],
        "random": {
            "names": fit.re_names,
            "terms": [{"group": grp, "names": cols} for grp, cols in fit.re_terms],
            "variance": [float(cov_re[i, i]) for i in range(len(fit.re_names))],
            "std_dev": [float(math.sqrt(max(cov_re[i, i], 0.0))) for i in range(len(fit.re_names))],
            "corr": [[_finite(v) for v in row] for row in corr],
            "cov": [[float(v) for v in row] for row in cov_re],
        },
        "varcorr": [
            {k: (_finite(float(v)) if isinstance(v, (float, np.floating)) else v) for k, v in rec.items()}
            for rec in fit.varcorr.to_dict(orient="records")
        ],
        "random_effects": random_effects_json(fit),
        "optimizer": {
            "converged": opt["converged"],
            "iterations": opt["iterations"],
            "fev": opt["fev"],
            "grad_inf_norm": opt["grad_inf_norm"],
            "message": opt["message"],
            "starts": opt["starts"],
            "evaluator": opt["evaluator"],
            "n_classes": opt["n_classes"],
        },
        "seconds": {"fit": opt["seconds"], "total": opt["total_seconds"]},
    }


def glmm_to_dict(fit: Any) -> dict[str, Any]:
    """Every result of ``fit`` as JSON-ready Python values."""
    table = fit.coef_table
    return {
        "formula": fit.formula,
        "data": fit.data_name,
        "family": fit.family,
        "link": fit.link,
        "nagq": fit.nagq,
        "nobs": fit.nobs,
        "n_dropped": fit.n_dropped,
        "weights": fit._weights_column,
        "offset": fit._offset_column,
        "ngroups": fit.ngroups,
        "loglik": fit.loglik,
        "m2loglik": fit.m2loglik,
        "aic": fit.aic,
        "bic": fit.bic,
        "deviance": fit.deviance,
        "df": fit.df,
        "df_resid": fit.df_resid,
        "singular": fit.is_singular,
        "theta": [float(v) for v in fit.theta],
        "fixed_effects": {
            name: {
                "estimate": float(row["Estimate"]),
                "std_error": float(row["Std. Error"]),
                "z_value": _finite(row["z value"]),
                "p_value": _finite(row["Pr(>|z|)"]),
            }
            for name, row in table.iterrows()
        },
        "vcov_source": fit.vcov_source,
        "cov_fixed": [[float(v) for v in row] for row in fit.vcov.to_numpy()],
        "dropped_columns": fit.dropped_columns,
        "varcorr": [
            {k: (_finite(v) if isinstance(v, (float, np.floating)) else v) for k, v in rec.items()}
            for rec in fit.varcorr.to_dict(orient="records")
        ],
        "random_effects": random_effects_json(fit),
        "overdispersion": fit.overdispersion,
        "optimizer": {k: v for k, v in fit.optimizer.items() if k not in ("seconds", "total_seconds")},
        "seconds": {"fit": fit.optimizer["seconds"], "total": fit.optimizer["total_seconds"]},
    }
