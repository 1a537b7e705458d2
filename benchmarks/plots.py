"""The plots of BENCHMARKS.md, drawn from the figures of the same run
(build/bench/python-summary.json) into benchmarks/plots/ as SVG:

- functions.svg: each function's time per call for the module, the pure-Python baseline
  and the floor, on the cases of the targets table (log scale);
- scaling.svg: time per line of py_get_totals and per share of py_divide_amount against
  the size of the bill or split (log scales);
- threads.svg, from build/bench/threads.json: the throughput of threads on the free-threaded
  3.13 over one thread, and the price of that build per call.

report.py calls plot(summary) and links the files, with their alt text, from BENCHMARKS.md.
"""

from __future__ import annotations

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PLOTS = ROOT / "benchmarks" / "plots"
IMPLS = [("module", "tallyforge", "#2f6db5"), ("baseline", "pure Python (decimal)", "#d1793a"),
         ("floor", "floor (reads and builds only)", "#8c8c8c")]


def _pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    plt.rcParams.update({"svg.hashsalt": "tallyforge-bench", "svg.fonttype": "none",
                         "font.family": "DejaVu Sans", "font.size": 10})
    return plt


def _seconds(case: dict, impl: str, key: str = "median") -> float:
    return case["per_call"][impl][key]


def plot_functions(cases: list[dict], path: Path, mode: str) -> str:
    plt = _pyplot()
    table = cases[:8]
    fig, ax = plt.subplots(figsize=(10, 5.2))
    width = 0.27
    for k, (impl, label, color) in enumerate(IMPLS):
        xs = [i + (k - 1) * width for i in range(len(table))]
        ys = [_seconds(c, impl) * 1e6 for c in table]
        lo = [y - _seconds(c, impl, "q1") * 1e6 for c, y in zip(table, ys)]
        hi = [_seconds(c, impl, "q3") * 1e6 - y for c, y in zip(table, ys)]
        ax.bar(xs, ys, width, label=label, color=color, yerr=[lo, hi], capsize=2, ecolor="#444444")
    for i, c in enumerate(table):
        top = max(_seconds(c, impl) for impl, _, _ in IMPLS) * 1e6
        ax.text(i, top * 1.6, f"{c['vs_baseline']['median']:.1f}x", ha="center", fontsize=9,
                color=IMPLS[0][2], fontweight="bold")
    ax.set_yscale("log")
    ax.set_ylabel("time per call (microseconds, log scale)")
    ax.set_xticks(range(len(table)), [c["name"].replace(" ", "\n", 1) for c in table], fontsize=8.5)
    ax.set_ylim(top=ax.get_ylim()[1] * 4)
    ax.set_title(f"Time per call; above each case, the module's speed-up over pure Python ({mode})",
                 loc="left", fontsize=10.5)
    ax.legend(loc="upper left", fontsize=9)
    ax.spines[["top", "right"]].set_visible(False)
    fig.tight_layout()
    fig.savefig(path, format="svg", metadata={"Date": None})
    plt.close(fig)
    parts = [f"{c['name']}: module {_seconds(c, 'module') * 1e6:.3g} us, pure Python "
             f"{_seconds(c, 'baseline') * 1e6:.3g} us, floor {_seconds(c, 'floor') * 1e6:.3g} us "
             f"({c['vs_baseline']['median']:.1f}x)" for c in table]
    return "Bar chart, log scale, of the time per call of each benchmark case. " + "; ".join(parts) + "."


def plot_scaling(cases: list[dict], path: Path, mode: str) -> str:
    plt = _pyplot()
    series = {"bill": [], "split": []}
    for c in cases:
        m = re.fullmatch(r"get_totals (\d+) lines|divide into (\d+) shares", c["name"])
        if m and c["name"] != "get_totals 8 lines":
            series["split" if m.group(1) is None else "bill"].append((int(m.group(1) or m.group(2)), c))
    fig, axes = plt.subplots(1, 2, figsize=(10, 4.4))
    alt = []
    for ax, (kind, unit, title) in zip(axes, [("bill", "line", "py_get_totals: time per line"),
                                              ("split", "share", "py_divide_amount: time per share")]):
        points = sorted(series[kind], key=lambda x: x[0])
        sizes = [n for n, _ in points]
        for impl, label, color in IMPLS:
            ys = [_seconds(c, impl) / n * 1e6 for n, c in points]
            ax.plot(sizes, ys, marker="o", label=label, color=color)
        if points:
            alt.append(f"{title}, from {sizes[0]:,} to {sizes[-1]:,}: module "
                       + ", ".join(f"{_seconds(c, 'module') / n * 1e6:.3g}" for n, c in points)
                       + " us; pure Python "
                       + ", ".join(f"{_seconds(c, 'baseline') / n * 1e6:.3g}" for n, c in points) + " us")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel(f"{unit}s per call (log scale)")
        ax.set_ylabel(f"microseconds per {unit} (log scale)")
        ax.set_title(title, loc="left", fontsize=10.5)
        ax.grid(True, which="major", color="#dddddd")
        ax.spines[["top", "right"]].set_visible(False)
    axes[0].legend(fontsize=8.5)
    fig.suptitle(f"Cost per unit against size ({mode})", x=0.01, ha="left", fontsize=10.5)
    fig.tight_layout()
    fig.savefig(path, format="svg", metadata={"Date": None})
    plt.close(fig)
    return "Two line charts, log scales. " + "; ".join(alt) + "."


def plot(summary: dict) -> list[tuple[str, str, str]]:
    """Draws the plots; returns (file relative to the work tree, title, alt text) for each.
    Without matplotlib it draws nothing and says so."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("bench: matplotlib is not installed; no plots", flush=True)
        return []
    PLOTS.mkdir(parents=True, exist_ok=True)
    mode = "quick run" if summary.get("quick") else "full run"
    cases = summary["cases"]
    out = []
    for name, title, draw in [("functions.svg", "Each function against pure Python and the floor", plot_functions),
                              ("scaling.svg", "Time per line and per share against size", plot_scaling)]:
        alt = draw(cases, PLOTS / name, mode)
        out.append((f"benchmarks/plots/{name}", title, alt))
    return out


def plot_threads(data: dict, path: Path) -> str:
    """threads.svg: on 3.13t, each case's throughput at n threads over 1 thread (module and
    pure Python, medians with quartiles over the paired rounds), and the price of the
    free-threaded build per call (3.13t over 3.13, one thread)."""
    import statistics

    plt = _pyplot()
    scaling, price = data["scaling"], data["price"]
    rounds, counts = scaling["rounds"], scaling["counts"]
    names = scaling["cases"]
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.6), gridspec_kw={"width_ratios": [3, 2]})
    more = [n for n in counts if n > 1]
    width = 0.8 / (2 * len(more))
    alt = []
    k = 0
    for n in more:
        for impl, label, color in IMPLS[:2]:
            ratios = [[rd[f"{impl}/{name}/{n}"]["calls_per_s"] / rd[f"{impl}/{name}/1"]["calls_per_s"]
                       for rd in rounds] for name in names]
            meds = [statistics.median(r) for r in ratios]
            qs = [statistics.quantiles(r, n=4) if len(r) > 1 else [r[0]] * 3 for r in ratios]
            xs = [i + (k - (2 * len(more) - 1) / 2) * width for i in range(len(names))]
            left.bar(xs, meds, width, color=color, alpha=1.0 if n == 2 else 0.55,
                     label=f"{label}, {n} threads",
                     yerr=[[m - q[0] for m, q in zip(meds, qs)], [q[2] - m for m, q in zip(meds, qs)]],
                     capsize=2, ecolor="#444444")
            alt.append(f"{label} at {n} threads: " + ", ".join(f"{nm} {m:.2f}x" for nm, m in zip(names, meds)))
            k += 1
    left.axhline(2, color="#888888", linestyle=":", linewidth=1)
    left.axhline(1.8, color="#c23b22", linestyle="--", linewidth=1, label="target at 2 threads (1.8x)")
    left.axhline(1, color="#444444", linewidth=0.8)
    left.set_xticks(range(len(names)), [nm.replace(" ", "\n", 1) for nm in names], fontsize=8.5)
    left.set_ylabel("throughput over 1 thread (paired rounds)")
    load = statistics.median(rd["loadavg"][0] for rd in rounds)
    left.set_title(f"Thread scaling, GIL off (load average {load:.1f})", loc="left", fontsize=10.5)
    left.legend(fontsize=8, loc="upper right")
    left.spines[["top", "right"]].set_visible(False)

    prounds = price["rounds"]
    series = [("module", "module, 3.13t / 3.13", IMPLS[0][2], lambda c, rd: rd["3.13t"]["cases"][c]["module"] / rd["3.13"]["cases"][c]["module"]),
              ("baseline", "pure Python, 3.13t / 3.13", IMPLS[1][2], lambda c, rd: rd["3.13t"]["cases"][c]["baseline"] / rd["3.13"]["cases"][c]["baseline"])]
    if all("floor" in rd["3.13t"]["cases"][names[0]] for rd in prounds):
        series.append(("floor", "module / floor, both 3.13t", IMPLS[2][2],
                       lambda c, rd: rd["3.13t"]["cases"][c]["module"] / rd["3.13t"]["cases"][c]["floor"]))
    w = 0.8 / len(series)
    for j, (_, label, color, f) in enumerate(series):
        vals = [[f(c, rd) for rd in prounds] for c in names]
        meds = [statistics.median(v) for v in vals]
        qs = [statistics.quantiles(v, n=4) if len(v) > 1 else [v[0]] * 3 for v in vals]
        xs = [i + (j - (len(series) - 1) / 2) * w for i in range(len(names))]
        right.bar(xs, meds, w, color=color, label=label,
                  yerr=[[m - q[0] for m, q in zip(meds, qs)], [q[2] - m for m, q in zip(meds, qs)]],
                  capsize=2, ecolor="#444444")
        alt.append(f"{label}: " + ", ".join(f"{nm} {m:.2f}x" for nm, m in zip(names, meds)))
    right.axhline(1, color="#444444", linewidth=0.8)
    right.set_xticks(range(len(names)), [nm.split()[0] + ("\n" + nm.split()[1] if nm.split()[0] == "get_totals" else "")
                                         for nm in names], fontsize=8.5)
    right.set_ylabel("time per call, ratio (one thread)")
    right.set_title("Price of the free-threaded build", loc="left", fontsize=10.5)
    right.legend(fontsize=8, loc="upper left")
    right.spines[["top", "right"]].set_visible(False)
    mode = "quick run" if data.get("quick") else "full run"
    fig.suptitle(f"CPython {data['python']} free-threaded ({mode})", x=0.01, ha="left", fontsize=10.5)
    fig.tight_layout()
    fig.savefig(path, format="svg", metadata={"Date": None})
    plt.close(fig)
    return "Two bar charts. " + "; ".join(alt) + "."


def plot_threads_file(data: dict) -> tuple[str, str, str] | None:
    """Draws threads.svg; (file relative to the work tree, title, alt text), or None without
    matplotlib."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("bench: matplotlib is not installed; no plots", flush=True)
        return None
    PLOTS.mkdir(parents=True, exist_ok=True)
    alt = plot_threads(data, PLOTS / "threads.svg")
    return ("benchmarks/plots/threads.svg", "Thread scaling and the price of the free-threaded build", alt)
