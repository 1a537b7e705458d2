"""The plots of BENCHMARKS.md, drawn from the figures of the same run
(build/bench/python-summary.json) into benchmarks/plots/ as SVG:

- functions.svg: each function's time per call for the module, the pure-Python baseline
  and the floor, on the cases of the targets table (log scale);
- scaling.svg: time per line of py_get_totals and per share of py_divide_amount against
  the size of the bill or split (log scales).

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
