"""The site's figures, drawn at build time from real calls of the installed module.

Each figure is written as SVG into ``docs/_generated/`` when the build starts, and the pages
show it with the ``figure`` directive and its alt text. Every number drawn comes from
``tallyforge`` itself: the final amounts from ``py_get_totals``, the base of each tier from
``py_reckon_lines`` on the lines below it. The only numbers worked out here are the exact
values before cutting and the order in which the leftover quanta are handed out, and the
build fails unless the cut values plus the quanta so handed out are exactly the amounts the
module returned: a figure cannot drift from what the module does.
"""

from __future__ import annotations

from dataclasses import dataclass
from decimal import ROUND_DOWN, Context, Decimal
from pathlib import Path

import tallyforge
from sphinx.application import Sphinx
from tallyforge import Account, Category, LineType

EXACT = Context(prec=60)
ORDINALS = ["1st", "2nd", "3rd"] + [f"{n}th" for n in range(4, 30)]


def line(id: int, amount: str, priority: int = 0, percentage: str = "0", back_into: bool = False,
         kind: LineType = LineType.AddOn, description: str = "") -> dict:
    return {
        "id": id, "priority": priority, "kind": kind, "amount": amount, "description": description,
        "frozen_value": None, "percentage": percentage, "category": Category.Payment,
        "destination_user_id": None, "destination_account": Account.Escrow,
        "back_into_percentage": back_into,
    }


# The bills drawn. One tier: the ties among equal amounts. Three tiers: priority first.
ONE_TIER = [line(1, "1.005"), line(2, "0.335"), line(3, "0.335"), line(4, "0.339")]
THREE_TIERS = [
    line(1, "10.005"), line(2, "4.335"), line(3, "2.507"), line(4, "0.999"),
    line(5, "0", 1, "8.25", description="tax"),
    line(6, "0.30", 2, "2.9", back_into=True, description="card fee"),
]
RESTAURANT = [
    line(1, "49.99", description="main"), line(2, "12.345", description="wine"),
    line(4, "-5.00", description="voucher"),
    line(5, "0", 1, "8.25", description="tax"),
    line(6, "1.00", 1, "10", description="service"),
    line(7, "0.30", 2, "2.9", back_into=True, description="card fee"),
]


@dataclass
class Row:
    line: dict
    exact: Decimal
    cut: Decimal
    final: Decimal
    quanta: list[int]  # the ordinal numbers of the quanta this line received


def cut(value: Decimal, q: int) -> Decimal:
    if -value.as_tuple().exponent <= q:
        return value
    return value.quantize(Decimal(1).scaleb(-q), rounding=ROUND_DOWN)


def explain(lines: list[dict], q: int) -> tuple[list[Row], Decimal]:
    """Each line's exact value, its cut value and the quanta it receives, checked against
    the module's own result; and the bill's total."""
    totals = tallyforge.py_get_totals(lines, q)
    rows = []
    for ln in lines:
        below = [x for x in lines if x["priority"] < ln["priority"]]
        base = Decimal(tallyforge.py_reckon_lines(below, q))
        amount, rate = Decimal(ln["amount"]), Decimal(ln["percentage"]) / 100
        if ln["back_into_percentage"]:
            grown = base + amount
            exact = EXACT.subtract(EXACT.divide(grown, 1 - rate), grown) + amount
        else:
            exact = EXACT.multiply(base, rate) + amount
        rows.append(Row(ln, exact, cut(exact, q), Decimal(totals["subtotals"][ln["id"]]), []))
    total = Decimal(totals["total"])
    difference = total - sum(r.cut for r in rows)
    quantum = Decimal(1).scaleb(-q)
    step = quantum if difference > 0 else -quantum
    # Served first: the highest tier (lowest for a negative difference), then the smallest
    # amount, then the smallest id; never a line of the other sign or a zero.
    candidates = [r for r in rows if (r.cut > 0 if difference > 0 else r.cut < 0)]
    if difference > 0:
        candidates.sort(key=lambda r: (-r.line["priority"], r.cut, r.line["id"]))
    else:
        candidates.sort(key=lambda r: (r.line["priority"], r.cut, r.line["id"]))
    given = 0
    while difference:
        for r in candidates:
            if not difference:
                break
            given += 1
            r.quanta.append(given)
            difference -= step
    for r in rows:
        expected = r.cut + len(r.quanta) * step
        if expected != r.final:
            raise RuntimeError(f"figure: line {r.line['id']} is drawn as {expected}, the module gives {r.final}")
    return rows, total


# ---------------------------------------------------------------------------
# Drawing


def _pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    plt.rcParams.update({
        "svg.hashsalt": "tallyforge",  # the same ids in every build
        "svg.fonttype": "none",  # text stays text: selectable, searchable, small
        "font.family": "DejaVu Sans",
        "font.size": 10,
    })
    return plt


LOST, GAINED, KEPT = "#d9a0a0", "#2f7d4f", "#b9c7d9"


def draw_rounding(path: Path) -> None:
    plt = _pyplot()
    panels = [
        ("One tier, 2.014 cut to 2.01: two cents to hand out", ONE_TIER),
        ("Three tiers: the cents go to the highest tier first", THREE_TIERS),
    ]
    fig, axes = plt.subplots(2, 1, figsize=(9.5, 7.6), gridspec_kw={"height_ratios": [4, 6]})
    for ax, (title, lines) in zip(axes, panels):
        rows, total = explain(lines, 2)
        labels = []
        for k, r in enumerate(rows):
            y = len(rows) - 1 - k
            lost = float((r.exact - r.cut) * 100)  # in cents
            ax.barh(y, -lost, color=LOST, height=0.55)
            for j, n in enumerate(r.quanta):
                ax.barh(y, 1, left=j, color=GAINED, height=0.55)
                ax.text(j + 0.5, y, ORDINALS[n - 1], ha="center", va="center", color="white",
                        fontweight="bold")
            name = r.line["description"] or "item"
            labels.append(f"id {r.line['id']}, tier {r.line['priority']} ({name}):  "
                          f"{_fmt(r.exact)} \u2192 {r.cut} \u2192 {r.final}")
        ax.set_yticks(range(len(rows)), labels[::-1])
        ax.axvline(0, color="black", linewidth=0.8)
        ax.set_xlim(-1.05, 2.2)
        ax.set_xticks([-1, -0.5, 0, 1, 2], ["1 cent", "\u00bd cent", "0", "+1 cent", "+2 cents"])
        ax.set_title(f"{title} (total {total})", loc="left", fontsize=10.5)
        ax.spines[["top", "right"]].set_visible(False)
    axes[1].set_xlabel("left of 0: what cutting to 2 places took off the exact value\n"
                       "right of 0: the leftover cents received, numbered in the order handed out")
    fig.text(0.01, 0.005, "Rule: highest tier first; within a tier the smallest amount, then the "
             "smallest id. A line never receives a cent of the other sign.", fontsize=9)
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(path, format="svg", metadata={"Date": None})
    plt.close(fig)


def _fmt(d: Decimal) -> str:
    """An exact value shortened for a label: at most five places, '...' when cut."""
    text = format(d, "f")
    whole, _, places = text.partition(".")
    return text if len(places) <= 5 else f"{whole}.{places[:5]}\u2026"


def _label(ln: dict, base: Decimal, final: str) -> str:
    name = ln["description"]
    if ln["percentage"] == "0":
        return f"{name}: {final}"
    fixed = "" if ln["amount"] == "0" else f"{ln['amount']} + "
    if ln["back_into_percentage"]:
        return f"{name}: {fixed}{ln['percentage']} %,\nbacked into the grown sum = {final}"
    return f"{name}: {fixed}{ln['percentage']} % of {base} = {final}"


def _spread(ys: list[float], gap: float) -> list[float]:
    """Label heights at least `gap` apart, in the order of the given heights."""
    order = sorted(range(len(ys)), key=lambda k: ys[k])
    out = list(ys)
    for a, b in zip(order, order[1:]):
        out[b] = max(out[b], out[a] + gap)
    return out


def draw_tiers(path: Path) -> None:
    plt = _pyplot()
    lines = RESTAURANT
    totals = tallyforge.py_get_totals(lines, 2)
    tiers = sorted({ln["priority"] for ln in lines})
    fig, ax = plt.subplots(figsize=(10, 5.6))
    colors = ["#4c72b0", "#55a868", "#ccb974", "#c44e52", "#8172b2", "#64b5cd", "#dd8452"]
    width = 0.5
    for t in tiers:
        base = Decimal(tallyforge.py_reckon_lines([x for x in lines if x["priority"] < t], 2))
        top = float(base)
        if t:
            ax.bar(t, float(base), width, color="#eeeeee", edgecolor="#999999", hatch="//")
            ax.text(t, float(base) / 2, f"base\n{base}\n(tiers below,\ncut to 2 places)",
                    ha="center", va="center", fontsize=9)
        marks = []
        for ln in [x for x in lines if x["priority"] == t]:
            final = totals["subtotals"][ln["id"]]
            amount = float(Decimal(final))
            color = colors[(ln["id"] - 1) % len(colors)]
            if amount >= 0:
                ax.bar(t, amount, width, bottom=top, color=color)
            else:
                ax.bar(t, -amount, width, bottom=top + amount, color="white", edgecolor=color, hatch="xx")
            marks.append((top + amount / 2, _label(ln, base, final)))
            top += amount
        heights = _spread([y for y, _ in marks], 4.2)
        for (y, text), ty in zip(marks, heights):
            ax.annotate(text, (t + width / 2, y), xytext=(t + width / 2 + 0.12, ty), va="center",
                        fontsize=8.5, arrowprops={"arrowstyle": "-", "color": "#999999"})
    final = len(tiers) + 0.4
    total = float(Decimal(totals["total"]))
    ax.bar(final, total, width, color="#333333")
    ax.text(final, total + 1.5, f"total {totals['total']}", ha="center")
    ax.set_xticks([*tiers, final], [f"tier {t}\n(priority {t})" for t in tiers] + ["bill"])
    ax.set_xlim(-0.4, final + 0.4)
    ax.set_ylim(0, total * 1.15)
    ax.set_ylabel("amount")
    ax.set_title("Each tier takes its percentages of everything the tiers below it came to",
                 loc="left", fontsize=10.5)
    ax.spines[["top", "right"]].set_visible(False)
    fig.tight_layout()
    fig.savefig(path, format="svg", metadata={"Date": None})
    plt.close(fig)


FIGURES = {"rounding.svg": draw_rounding, "tiers.svg": draw_tiers}


def generate(app: Sphinx) -> None:
    out = Path(app.srcdir) / "_generated"
    out.mkdir(exist_ok=True)
    for name, draw in FIGURES.items():
        draw(out / name)


def setup(app: Sphinx) -> dict:
    app.connect("builder-inited", generate)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
