"""The Markdown report of benchmarks/crossed_out_of_core.py, from its results."""

from __future__ import annotations

import math
import statistics


def chol_flops(n: float) -> float:
    """Multiply-adds of a dense Cholesky factorisation of order n (n^3 / 6 pairs; in
    flops, counting multiply and add, n^3 / 3)."""
    return n**3 / 3.0


def inverse_flops(n: float) -> float:
    """Flops of the inverse from the factor: the triangular inverse and its product
    with its transpose, n^3 / 3 each."""
    return 2.0 * n**3 / 3.0


def _median(fits: list[dict], key: str) -> float:
    return statistics.median(f[key] for f in fits)


def _route(fit: dict) -> str:
    return "Parquet" if fit["route"].startswith("qk.lmm(formula, path)") else "pandas"


def _primary(design: dict) -> list[dict]:
    """The fits the growth, the shares and the projection are taken from: the Parquet
    route's where it ran."""
    fits = design["fits"]
    return [f for f in fits if _route(f) == "Parquet"] or fits


def _start(fits: list[dict]) -> str:
    have = [f["start_seconds"] for f in fits if "start_seconds" in f]
    return f"{statistics.median(have):.1f} s" if have else "—"


def _cpu(fits: list[dict]) -> str:
    have = [f["cpu_seconds"] for f in fits if "cpu_seconds" in f]
    return f"{statistics.median(have):.0f} s" if have else "—"


def _load(runs: list[dict]) -> str:
    have = [f"{r['load_before']:.1f}-{r['load_after']:.1f}" for r in runs if "load_before" in r]
    return ", ".join(have) or "—"


def _slope(xs: list[float], ys: list[float]) -> float:
    """The least-squares slope of log y on log x: the exponent of the growth."""
    lx, ly = [math.log(v) for v in xs], [math.log(v) for v in ys]
    mx, my = sum(lx) / len(lx), sum(ly) / len(ly)
    den = sum((a - mx) ** 2 for a in lx)
    return sum((a - mx) * (b - my) for a, b in zip(lx, ly, strict=True)) / den if den else float("nan")


def report(res: dict) -> str:
    ds = res["designs"]
    routes = sorted({f["route"] for d in ds for f in d["fits"]})
    L = [
        "# Ratings-scale crossed fits",
        "",
        f"{res['date']}; {res['machine']}; 2 threads (RAYON_NUM_THREADS=2); every measurement a fresh process.",
        f"Command: `python benchmarks/crossed_out_of_core.py {res['command']}`. {res.get('note', '')}",
        "",
        f"`{res['formula']}` on users x items designs scaled from user_calls case 10 (users uniform, item "
        "popularity Zipf 1/k), one Parquet file each with row groups of 1M rows. Route that ran: "
        + "; ".join(routes)
        + ".",
        "",
        "## The fits",
        "",
        "Whole = the call, reading included; read = pyarrow into pandas (0 when the Parquet route ran); model = "
        "model matrices and products (whole - read - optimiser); start = the start from each factor alone (two "
        "factorisations of the joint system and the one-factor fits; part of the optimiser's time, timed again "
        "after the fit); per evaluation = optimiser time / evaluations (each a factorisation, most with the "
        "gradient); load = the machine's load average before and after (2 cores: above 2, other work shared them); "
        "criterion and criterion + gradient are one evaluation each on the fitted core at the optimum (best of 2); "
        "CPU = user + system seconds of the fitting process (both threads; 2 x whole when it had the 2 cores "
        "to itself); peak = the process's ru_maxrss.",
        "",
        "| rows | users x items | file | route | whole (runs) | read | model | start | optimiser | evals | per eval | "
        "criterion | criterion + gradient | CPU of the call | peak memory | load | converged |",
        "|---:|---|---:|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|",
    ]
    groups = [(d, r) for d in ds for r in sorted({_route(f) for f in d["fits"]})]
    for d, route in groups:
        fs = [f for f in d["fits"] if _route(f) == route]
        whole = _median(fs, "seconds")
        read, opt = _median(fs, "read_seconds"), _median(fs, "optimizer_seconds")
        ev = _median(fs, "evaluations")
        runs = ", ".join(f"{f['seconds']:.1f}" for f in fs)
        L.append(
            f"| {d['rows']:,} | {d['users']:,} x {d['items']:,} | {d['file_gb'] * 1e3:.0f} MB | {route} | "
            f"{whole:.1f} s ({runs}) | {read:.1f} s | {whole - read - opt:.1f} s | {_start(fs)} | "
            f"{opt:.1f} s | {ev:.0f} | {opt / ev:.2f} s | {_median(fs, 'deviance_seconds'):.2f} s | "
            f"{_median(fs, 'deviance_grad_seconds'):.2f} s | {_cpu(fs)} | {max(f['peak_mb'] for f in fs):,.0f} MB | "
            f"{_load(fs)} | {all(f['converged'] for f in fs)} |"
        )
    L += [
        "",
        "## Where an evaluation's time goes",
        "",
        "The dense kernels alone at each design's size: a core with the same number of items whose every user "
        "rates one item, so that the criterion is the Cholesky factorisation of the items' dense block and the "
        "criterion with its gradient adds that block's inverse. Rates count n^3/3 flops for the factorisation and "
        "2n^3/3 for the inverse. The shares compare runs made at different moments of a shared machine: above 100% "
        "is its noise.",
        "",
        "| items | factorisation | rate | + inverse | rate | kernel peak | load | share of the fit's criterion | "
        "share of criterion + gradient |",
        "|---:|---:|---:|---:|---:|---:|---|---:|---:|",
    ]
    for d in ds:
        k, fs = d["kernel"], _primary(d)
        n = k["items"] + 3
        chol, both = k["deviance_seconds"], k["deviance_grad_seconds"]
        L.append(
            f"| {k['items']:,} | {chol:.2f} s | {chol_flops(n) / chol / 1e9:.0f} GFLOP/s | {both - chol:.2f} s | "
            f"{inverse_flops(n) / (both - chol) / 1e9:.0f} GFLOP/s | {k['peak_mb']:,.0f} MB | {_load([k])} | "
            f"{chol / _median(fs, 'deviance_seconds'):.0%} | {both / _median(fs, 'deviance_grad_seconds'):.0%} |"
        )
    if len(ds) > 1:
        rows = [float(d["rows"]) for d in ds]
        items = [float(d["items"]) for d in ds]
        whole = [_median(_primary(d), "seconds") for d in ds]
        evals = [_median(_primary(d), "deviance_grad_seconds") for d in ds]
        peak = [max(f["peak_mb"] for f in _primary(d)) for d in ds]
        L += [
            "",
            "## Growth",
            "",
            "| rows | whole | x previous | criterion + gradient | x previous | peak memory | x previous |",
            "|---:|---:|---:|---:|---:|---:|---:|",
        ]
        for i, d in enumerate(ds):
            grow = [f"{v[i] / v[i - 1]:.2f}" if i else "" for v in (whole, evals, peak)]
            L.append(
                f"| {d['rows']:,} | {whole[i]:.1f} s | {grow[0]} | {evals[i]:.2f} s | {grow[1]} | "
                f"{peak[i]:,.0f} MB | {grow[2]} |"
            )
        L += [
            "",
            f"Fitted exponents: whole time ~ rows^{_slope(rows, whole):.2f} = items^{_slope(items, whole):.2f}; "
            f"criterion + gradient ~ items^{_slope(items, evals):.2f}; peak memory ~ items^{_slope(items, peak):.2f}.",
        ]
    L += fill_section(ds)
    L += projection_section(res)
    L.append("")
    return "\n".join(L)


def fill_section(ds: list[dict]) -> list[str]:
    L = [
        "",
        "## Sparse or dense: the fill of the items' block",
        "",
        "After the users are eliminated, items i and j are linked when a user rated both. Density = linked "
        "pairs / all pairs. Flops of the items' Cholesky factor (multiply-adds) from its symbolic factorisation: "
        "dense, in the core's order (most popular first) and in a static fill-reducing order (fewest neighbours "
        "first). Users' updates = the multiply-adds eliminating the users adds to the items' block, sum k_u(k_u+1)/2 "
        "over users rating k_u items.",
        "",
        "| rows | items | distinct pairs | rated once | rated only by one-item users | unlinked | density | "
        "linked to all | median links | dense flops | core's order | fill-reducing order | factor entries, ordered / "
        "dense | users' updates |",
        "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for d in ds:
        f = d["fill"]
        L.append(
            f"| {d['rows']:,} | {f['items_seen']:,} | {f['distinct_pairs']:,} | {f['items_rated_once']:,} | "
            f"{f['items_only_single_item_users']:,} | {f['isolated_items']:,} | {f['schur_density']:.3f} | "
            f"{f['items_linked_to_all']:,} | {f['median_degree']:,.0f} | {f['dense_flops']:.3g} | "
            f"{f['sparse_flops_natural'] / f['dense_flops']:.3f} | "
            f"{f['sparse_flops_ordered'] / f['dense_flops']:.3f} | "
            f"{f['factor_nnz_ordered'] / f['dense_factor_nnz']:.3f} | {f['user_elimination_updates']:.3g} |"
        )
    top = ds[-1]["fill"]
    n = top["items_seen"]
    saved = 1.0 - top["sparse_flops_ordered"] / top["dense_flops"]
    # no order stores fewer entries than the pattern's own lower triangle
    bound = (top["schur_density"] * n * (n - 1) / 2 + n) / top["dense_factor_nnz"]
    L += [
        "",
        f"At {ds[-1]['rows']:,} rows a sparse factorisation in the fill-reducing order would save {saved:.1%} of the "
        f"dense factorisation's flops and {1.0 - top['factor_nnz_ordered'] / top['dense_factor_nnz']:.1%} of its "
        f"storage; no order can store less than the pattern itself, {bound:.0%} of the dense factor. Any saving comes "
        "before the cost of sparse kernels (indexed updates at a fraction of the dense kernels' rate) and of a "
        "selected inversion on that pattern for the gradient. Items rated once (or only by users who rate nothing "
        "else) would add no fill and could leave the dense block; these designs have "
        f"{top['items_rated_once']:,} and {top['items_only_single_item_users']:,}. "
        + (
            f"The factor fills to {top['factor_nnz_ordered'] / top['dense_factor_nnz']:.1%} of the dense one even "
            "in the fill-reducing order: the dense kernel is the right one at this size."
            if saved < 0.1
            else "A sparse factorisation in that order would pay here."
        ),
    ]
    return L


def projection_section(res: dict) -> list[str]:
    t, d = res["target"], res["designs"][-1]
    k, fs = d["kernel"], _primary(d)
    n0, n1 = k["items"] + 3, t["items"] + 3
    chol_rate = chol_flops(n0) / k["deviance_seconds"]
    inv_rate = inverse_flops(n0) / (k["deviance_grad_seconds"] - k["deviance_seconds"])
    per_eval = chol_flops(n1) / chol_rate + inverse_flops(n1) / inv_rate
    evals = _median(fs, "evaluations")
    rest = _median(fs, "optimizer_seconds") / evals - k["deviance_grad_seconds"]  # users' part, per evaluation
    # the users' updates, sum k_u^2 / 2, grow as rows^2 / users
    rest *= (t["rows"] / d["rows"]) ** 2 * d["users"] / t["users"]
    model = (_median(fs, "seconds") - _median(fs, "optimizer_seconds")) * t["rows"] / d["rows"]
    seconds = evals * (per_eval + max(rest, 0.0)) + model
    block_gib = 8.0 * n1 * n1 / 2**30
    pairs = d["fill"]["distinct_pairs"] * t["rows"] / d["rows"]
    # the fitting process's memory besides the dense block and its inverse
    other_gib = max(f["peak_mb"] for f in fs) / 1024 - 2.0 * 8.0 * n0 * n0 / 2**30
    return [
        "",
        f"## On paper: {t['rows'] / 1e6:.0f}M ratings, {t['users']:,} users x {t['items']:,} items",
        "",
        f"Model: the items' block is dense (n = {n1:,}); an evaluation with the gradient costs its factorisation "
        f"(n^3/3 flops at the {chol_rate / 1e9:.0f} GFLOP/s measured at {k['items']:,} items) and its inverse "
        f"(2n^3/3 at {inv_rate / 1e9:.0f} GFLOP/s), plus the rest of an evaluation measured at {d['rows']:,} rows "
        "(the users' elimination and updates) scaled by rows^2 / users; as many evaluations as at "
        f"{d['rows']:,} rows ({evals:.0f}); model matrices and products scale with the rows.",
        "",
        f"- time: {per_eval:,.0f} s of dense kernels per evaluation, about {seconds:,.0f} s "
        f"({seconds / 3600:.1f} h) for the fit, against the published {t['seconds']:,.0f} s "
        f"({seconds / t['seconds']:.1f} times as long, on 2 cores);",
        f"- memory: the dense block is {block_gib:.1f} GiB and the gradient's inverse another {block_gib:.1f} GiB "
        f"(the inverse is formed in a copy), {2 * block_gib:.0f} GiB with the products (about {pairs / 1e6:.0f}M "
        f"distinct pairs, {16 * pairs / 2**30:.1f} GiB at 16 bytes a pair), against the published {t['gib']:.0f} GiB; "
        f"the rest of the fitting process ({other_gib:.1f} GiB at {d['rows']:,} rows on the {_route(fs[0])} route: "
        "the products and the factor's layout, and on the pandas route the rows, the frame and the model matrices) "
        f"scaled by the rows adds {other_gib * t['rows'] / d['rows']:.0f} GiB.",
    ]
