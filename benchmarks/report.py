"""Gathers what `make bench` measured into BENCHMARKS.md and checks the targets.

Reads build/bench: python-summary.json (timings), cg/ (callgrind dumps),
memory.jsonl (resident memory), alloc.json (heap allocations of the Decimal
operations), parallel.json (throughput with sub-interpreters and threads),
threads.json and threads-refcounts.json (threads on the free-threaded 3.13, and
its price per call) and core*.json (the core against libmpdec; core-before*.json
when an earlier revision was built beside it). Prints the targets, met or
missed, and writes BENCHMARKS.md at the top of the work tree. Exits non-zero
when TALLYFORGE_BENCH_STRICT=1 and a target is missed.

    report.py              the whole file from what build/bench holds
    report.py --threads    only the thread section (with its targets, its plot and the
                           description of the run) from threads.json, into the file as the
                           last full run left it
"""

from __future__ import annotations

import datetime
import glob
import json
import os
import platform
import re
import statistics
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "bench"
MB = 1 << 20

# (case, least speed-up over the baseline, most time over the floor)
PYTHON_TARGETS = [
    ("get_totals 8 lines", 12, 1.3),
    ("reckon_lines 8 lines", 12, 1.5),
    ("get_totals 500 lines", 10, 1.5),
    ("get_totals 5000 lines", 10, 1.5),
    ("divide 1000.00 / 7", 8, None),
    ("divide 1234567.89 / 1000", 3, None),
    ("tip_fee_lines international", 2.5, None),
    ("deliverable_lines escrow + 3", 4, None),
]
# (benchmark name, label, least speed-up over libmpdec, name in the instruction counts)
CORE_OPS = [
    ("Parse", "parse", 1.0, "parse"),
    ("Text/0", "text form, money", 1.5, "text"),
    ("Text/1", "text form, 29 digits", 1.5, "text_long"),
    ("Add", "add", 1.0, "add"),
    ("MulExact", "multiply, exact", 1.0, "mul_exact"),
    ("MulRounding", "multiply, rounding", 1.5, "mul_rounding"),
    ("DivExact", "divide, exact", 1.0, "div_exact"),
    ("DivNonTerminating", "divide, non-terminating", 1.0, "div_nonterminating"),
    ("Compare", "compare", 1.0, "compare"),
    ("Quantize", "quantize to 2 places", 1.0, "quantize"),
]


def quartiles(xs: list[float]) -> tuple[float, float, float]:
    if len(xs) == 1:
        return xs[0], xs[0], xs[0]
    q = statistics.quantiles(xs, n=4)
    return q[0], statistics.median(xs), q[2]


def fmt_time(seconds: float) -> str:
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3g} ms"
    return f"{seconds * 1e6:.3g} us"


def with_spread(s: dict, f=fmt_time) -> str:
    return f"{f(s['median'])} [{f(s['q1'])}, {f(s['q3'])}]"


def ratio(x: float) -> str:
    return f"{x:.2f}x"


class Report:
    def __init__(self) -> None:
        self.lines: list[str] = []
        self.targets: list[tuple[str, str, str, bool | None]] = []  # what, wanted, got, met

    def add(self, text: str = "") -> None:
        self.lines.append(text)

    def target(self, what: str, wanted: str, got: str, met: bool | None) -> None:
        self.targets.append((what, wanted, got, met))


def load_python() -> dict | None:
    path = OUT / "python-summary.json"
    return json.loads(path.read_text()) if path.exists() else None


def callgrind_counts(directory: str = "cg") -> dict[str, float]:
    """Instructions per call by dump label ("case [impl]")."""
    counts = {}
    for path in glob.glob(str(OUT / directory / "cg.out.*")):
        label = summary = None
        with open(path) as f:
            for line in f:
                if line.startswith("desc: Trigger: Client Request: "):
                    label = line.split(": ", 3)[3].strip()
                elif line.startswith("summary: "):
                    summary = int(line.split()[1])
                    break
        if label and summary is not None:
            m = re.fullmatch(r"(.*) x(\d+)", label)
            if m:
                counts[m.group(1)] = summary / int(m.group(2))
    return counts


def core_results(pattern: str) -> dict[str, list[float]]:
    """Per-repetition CPU times (ns) by benchmark name, over all matching files."""
    runs: dict[str, list[float]] = {}
    for path in sorted(glob.glob(str(OUT / pattern))):
        for b in json.loads(Path(path).read_text())["benchmarks"]:
            if b.get("run_type") == "iteration" and not b.get("error_occurred"):
                runs.setdefault(b["run_name"], []).append(b["cpu_time"])
    return runs


def machine_lines(py: dict | None) -> list[str]:
    cpu = py["machine"]["cpu_model_name"] if py else platform.processor()
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            mem = f"{int(f.readline().split()[1]) / MB:.0f} GiB"
    except OSError:
        pass
    try:
        gcc = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.split("\n")[0]
    except OSError:
        gcc = "?"
    return [
        f"- Machine: {cpu}, {os.cpu_count()} cores, {mem} memory, Linux {platform.release()}"
        " (shared with other builds: figures are medians of interleaved rounds, with quartiles)",
        f"- Interpreter: CPython {py['machine']['python_version'] if py else platform.python_version()}"
        f" ({sys.executable if not py else 'the venv of make bench'})",
        f"- Host compiler: {gcc}",
        f"- Date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC",
    ]


def python_section(r: Report, py: dict, counts: dict[str, float], plots: list[tuple[str, str, str]]) -> None:
    cases = {c["name"]: c for c in py["cases"]}
    r.add("## Python-level calls")
    r.add()
    r.add(
        f"Each case timed in {py['rounds']} interleaved rounds of module, pure-Python baseline "
        "and floor (benchmarks/bench.py) in this run"
        f"{' (quick mode)' if py.get('quick') else ''}; per-call medians with quartiles in brackets. Ratios are "
        "taken within each round: *vs Python* is baseline time / module time (higher is better), "
        "*/ floor* is module time / floor time (lower is better). Instructions per call are "
        "callgrind counts (benchmarks/bench.py callgrind)."
    )
    r.add()
    r.add(
        "The pure-Python baseline (benchmarks/baseline.py) is written as a competent Python "
        "developer would write it for speed on the standard decimal module: a line without a "
        "percentage is taken as its amount, lines are told apart by their ids when no two "
        "share one, a split is worked out on whole quanta, and the decimal module's C "
        "operations do the arithmetic without inspecting digit tuples. It is checked to return "
        "exactly the module's texts on every case timed (and by tests/python/test_baseline.py). "
        "On the 8-line bill it executes about half the instructions of the first, plainer "
        "baseline (242,000 against 475,000 per call), so the ratios below are lower than "
        "those first reported; the targets are unchanged."
    )
    r.add()
    for path, title, alt in plots:
        if path.endswith("functions.svg"):
            r.add(f"![{alt}]({path} \"{title}\")")
            r.add()
    r.add("| case | module | pure Python | floor | module vs Python | module / floor |"
          " instr. module | instr. Python | instr. floor |")
    r.add("|---|---|---|---|---|---|---|---|---|")
    for name, c in cases.items():
        pc = c["per_call"]
        ins = [counts.get(f"{name} [{impl}]") for impl in ("module", "baseline", "floor")]
        r.add(
            f"| {name} | {with_spread(pc['module'])} | {with_spread(pc['baseline'])} | "
            f"{with_spread(pc['floor'])} | {with_spread(c['vs_baseline'], ratio)} | "
            f"{with_spread(c['vs_floor'], ratio)} | "
            + " | ".join(f"{x:,.0f}" if x is not None else "-" for x in ins)
            + " |"
        )
    r.add()

    r.add("### Scaling")
    r.add()
    for path, title, alt in plots:
        if path.endswith("scaling.svg"):
            r.add(f"![{alt}]({path} \"{title}\")")
            r.add()
    r.add("| series | size | module per unit | pure Python per unit | floor per unit |")
    r.add("|---|---|---|---|---|")
    series = []
    for name, c in cases.items():
        m = re.fullmatch(r"get_totals (\d+) lines|divide into (\d+) shares", name)
        if m and name != "get_totals 8 lines":  # the 8-line bill is shaped differently
            series.append((m.group(1) is None, int(m.group(1) or m.group(2)), c))
    for is_split, n, c in sorted(series, key=lambda x: x[:2]):
        pc = c["per_call"]
        r.add(
            f"| {'split, per share' if is_split else 'bill, per line'} | {n:,} | "
            + " | ".join(fmt_time(pc[i]["median"] / n) for i in ("module", "baseline", "floor"))
            + " |"
        )
    r.add()

    for name, least, most in PYTHON_TARGETS:
        c = cases.get(name)
        if c is None:
            r.target(f"{name}: vs Python", f">= {least}x", "not measured", None)
            continue
        vs = c["vs_baseline"]["median"]
        r.target(f"{name}: speed-up over pure Python", f">= {least}x", ratio(vs), vs >= least)
        if most is not None:
            fl = c["vs_floor"]["median"]
            r.target(f"{name}: time over the floor", f"<= {most}x", ratio(fl), fl <= most)
    small, large = cases.get("get_totals 1000 lines"), cases.get("get_totals 100000 lines")
    if small and large:
        growth = (large["per_call"]["module"]["median"] / 100_000) / (
            small["per_call"]["module"]["median"] / 1_000
        )
        got = ratio(growth)
        small_ins = counts.get("get_totals 1000 lines [module]")
        large_ins = counts.get("get_totals 100000 lines [module]")
        if small_ins and large_ins:
            got += f" (instructions per line: {(large_ins / 100_000) / (small_ins / 1_000):.2f}x)"
        r.target("py_get_totals time per line, 100 000 lines / 1 000 lines", "<= 1.3x",
                 got, growth <= 1.3)
    else:
        r.target("py_get_totals time per line, 100 000 lines / 1 000 lines", "<= 1.3x",
                 "not measured (quick mode)", None)


def why_missed(r: Report, py: dict, counts: dict[str, float]) -> None:
    """For each Python-level target this run missed, the measurement that says where the
    remaining time goes, from the same run's figures."""
    cases = {c["name"]: c for c in py["cases"]}
    missed = {what for what, _, _, met in r.targets if met is False}
    notes: list[str] = []

    def med(name: str, impl: str) -> float:
        return cases[name]["per_call"][impl]["median"]

    def ins(name: str, impl: str) -> float | None:
        return counts.get(f"{name} [{impl}]")

    for name in ("get_totals 8 lines", "reckon_lines 8 lines"):
        if f"{name}: time over the floor" in missed:
            m, f = ins(name, "module"), ins(name, "floor")
            share = f" ({m:,.0f} against {f:,.0f} instructions, {m / f:.2f}x)" if m and f else ""
            notes.append(
                f"- **{name}, time over the floor.** The floor only reads the arguments and builds "
                f"a result of the same shape{share}. What the module spends beyond it is the "
                "computation itself: parsing every amount and percentage, the tier sums and "
                "products, quantizing, the exact check that the amounts add up, and formatting "
                "the texts. On a bill this small that work is of the same order as reading it."
            )
    for name, _, _ in PYTHON_TARGETS:
        if name == "tip_fee_lines international" or f"{name}: speed-up over pure Python" not in missed:
            continue
        floor_vs = med(name, "baseline") / med(name, "floor")
        m, b = ins(name, "module"), ins(name, "baseline")
        counted = f" ({b / m:.2f}x in instructions: {b:,.0f} against {m:,.0f})" if m and b else ""
        if floor_vs > 1:
            bound = (f"The floor, which reads the same arguments and computes nothing, is "
                     f"{floor_vs:.2f}x faster than the baseline, the most any implementation "
                     f"reading these arguments could reach; the module runs at "
                     f"{cases[name]['vs_floor']['median']:.2f}x the floor's time.")
        else:
            bound = ("The floor is no bound here: it writes every share's text anew, while the "
                     "module and the baseline write the two texts a split has and repeat them "
                     "in the list, so both spend most of the call building that list.")
        notes.append(
            f"- **{name}, speed-up over pure Python.** Measured against the faster baseline "
            f"described above{counted}. {bound}"
        )
    if "tip_fee_lines international: speed-up over pure Python" in missed:
        n = "tip_fee_lines international"
        floor_vs = med(n, "baseline") / med(n, "floor")
        notes.append(
            f"- **{n}, speed-up over pure Python.** The floor, which computes nothing, is itself "
            f"only {floor_vs:.2f}x faster than the pure-Python version, and the module runs at "
            f"{cases[n]['vs_floor']['median']:.2f}x the floor. Every field of the fee schedule and of "
            "each service plan (15 + 9 per plan) must be read and type-checked before anything is "
            "computed, while the pure-Python version reads the handful it uses; the result is "
            "four line dictionaries of eleven keys. No implementation that validates its input "
            "can get past the floor's ratio."
        )
    scaling = "py_get_totals time per line, 100 000 lines / 1 000 lines"
    if scaling in missed and "get_totals 1000 lines" in cases and "get_totals 100000 lines" in cases:
        def per_line(impl: str) -> float:
            return (med("get_totals 100000 lines", impl) / 100_000) / (med("get_totals 1000 lines", impl) / 1_000)
        small, large = ins("get_totals 1000 lines", "module"), ins("get_totals 100000 lines", "module")
        grow = f"; instructions per line grow {(large / 100_000) / (small / 1_000):.2f}x" if small and large else ""
        notes.append(
            f"- **{scaling}.** The floor's own time per line grows {per_line('floor'):.2f}x from "
            f"1 000 to 100 000 lines (the module's {per_line('module'):.2f}x){grow}: the work per "
            "line stays flat, and the growth is the cost of reading 100 000 dictionaries spread "
            "over memory that no longer fits in the caches, which any reader of these arguments pays."
        )
    if notes:
        r.add("## Why the missed targets are missed")
        r.add()
        r.lines += notes
        r.add()


def core_section(r: Report) -> None:
    runs = core_results("core.[0-9]*.json")
    if not runs:
        r.add("## Decimal core against libmpdec")
        r.add()
        r.add("Not measured in this run (benchmarks/core/run-core did not produce results).")
        r.add()
        for _, label, least, _ in CORE_OPS:
            r.target(f"Decimal {label} vs libmpdec", f">= {least}x", "not measured", None)
        return
    before = core_results("core-before.[0-9]*.json")
    r.add("## Decimal core against libmpdec")
    r.add()
    r.add(
        "Google Benchmark in the Debian sid chroot (benchmarks/core/bench_core.cpp, g++ -O3), "
        "libmpdec at precision 28, half-even; nanoseconds per operation over 1024 varied "
        "operands, repetitions randomly interleaved. *Speed-up* is libmpdec time / tallyforge "
        "time per repetition (higher is better)."
        + (" *Before* is the core of the revision given to run-core, built and run in "
           "alternation with the current one." if before else "")
    )
    r.add()
    instr: dict[tuple[str, str], int] = {}
    ipath = OUT / "core-instr.jsonl"
    if ipath.exists():
        for line in ipath.read_text().splitlines():
            if line.strip():
                row = json.loads(line)
                instr[(row["op"], row["impl"])] = row["per_call"]
    if instr:
        r.add(
            "Instructions per operation (callgrind, benchmarks/core/count_core.cpp: 100 000 "
            "operations less none, the loop around them included) do not move with the load "
            "of the machine; *fewer* is libmpdec's count / tallyforge's."
        )
        r.add()
    head = "| operation | tallyforge ns | libmpdec ns | speed-up |"
    sep = "|---|---|---|---|"
    if instr:
        head += " instr. tallyforge | instr. libmpdec | fewer |"
        sep += "---|---|---|"
    if before:
        head += " before ns | before / now |"
        sep += "---|---|"
    r.add(head)
    r.add(sep)
    for key, label, least, iname in CORE_OPS:
        name, _, arg = key.partition("/")
        suffix = f"/{arg}" if arg else ""
        ours = runs.get(f"{name}_tallyforge{suffix}", [])
        theirs = runs.get(f"{name}_libmpdec{suffix}", [])
        if not ours or not theirs:
            r.target(f"Decimal {label} vs libmpdec", f">= {least}x", "not measured", None)
            continue
        sp = quartiles([t / o for o, t in zip(ours, theirs)])
        row = (f"| {label} | {statistics.median(ours):.1f} | {statistics.median(theirs):.1f} | "
               f"{sp[1]:.2f}x [{sp[0]:.2f}, {sp[2]:.2f}] |")
        if instr:
            io, it = instr.get((iname, "tallyforge")), instr.get((iname, "libmpdec"))
            row += (f" {io:,} | {it:,} | {it / io:.2f}x |" if io and it else " - | - | - |")
        old = before.get(f"{name}_tallyforge{suffix}", [])
        if before:
            if old:
                bq = quartiles([b / o for o, b in zip(ours, old)])
                row += f" {statistics.median(old):.1f} | {bq[1]:.2f}x [{bq[0]:.2f}, {bq[2]:.2f}] |"
            else:
                row += " - | - |"
        r.add(row)
        r.target(f"Decimal {label} vs libmpdec", f">= {least}x", ratio(sp[1]), sp[1] >= least)
    for arg, label in (("0", "money"), ("1", "29 digits")):
        chars = runs.get(f"TextChars_tallyforge<Decimal>/{arg}")
        theirs = runs.get(f"Text_libmpdec/{arg}")
        if chars and theirs:
            # Against libmpdec's text, which comes in memory it allocates.
            sp = quartiles([t / o for o, t in zip(chars, theirs)])
            ins = instr.get(("text_chars", "tallyforge")) if arg == "0" else None
            their_ins = instr.get(("text", "libmpdec")) if arg == "0" else None
            r.add(f"| text form into a buffer (to_chars), {label} | {statistics.median(chars):.1f} |"
                  f" {statistics.median(theirs):.1f} | {sp[1]:.2f}x [{sp[0]:.2f}, {sp[2]:.2f}] |"
                  + ((f" {ins:,} | {their_ins:,} | {their_ins / ins:.2f}x |"
                      if ins and their_ins else " - | - | - |") if instr else "")
                  + (" - | - |" if before else ""))
            r.target(f"Decimal text form into a buffer (to_chars), {label} vs libmpdec", ">= 1.5x",
                     ratio(sp[1]), sp[1] >= 1.5)
    r.add()
    if any(what == "Decimal text form, money vs libmpdec" and met is False
           for what, _, _, met in r.targets):
        r.add("The text form of a money amount as a `std::string` misses its target because of "
              "the string, not the formatting: the same digits written into a caller's buffer "
              "(`to_chars`, the row above) meet it, and the difference between the two rows is the "
              "construction of the `std::string`. The module's hot paths write texts with "
              "`to_chars` straight into the Python string.")
        r.add()


def alloc_section(r: Report) -> None:
    path = OUT / "alloc.json"
    r.add("## Heap allocations of Decimal operations")
    r.add()
    if not path.exists():
        r.add("Not measured in this run.")
        r.target("no heap allocation in Decimal operations", "0 per call", "not measured", None)
        r.add()
        return
    allocs = json.loads(path.read_text())
    r.add("Allocations per call over 200 000 calls on varied operands "
          "(benchmarks/core/alloc_check.cpp, replacing the global allocation functions).")
    r.add()
    r.add("| operation | allocations per call |")
    r.add("|---|---|")
    for op, n in allocs.items():
        r.add(f"| {op} | {n:g} |")
    r.add()
    r.add("A text longer than std::string's inline buffer is the formatted text itself; "
          "to_chars writes the same text into the caller's buffer without allocating.")
    r.add()
    ops = {k: v for k, v in allocs.items() if "std::string" not in k}
    worst = max(ops.values())
    r.target("no heap allocation in Decimal operations", "0 per call",
             f"{worst:g} per call at most", worst == 0)


def memory_section(r: Report) -> None:
    path = OUT / "memory.jsonl"
    r.add("## Resident memory over many calls")
    r.add()
    if not path.exists():
        r.add("Not measured in this run.")
        r.target("resident memory flat over a million calls", "<= 1 MB", "not measured", None)
        r.add()
        return
    rows = [json.loads(line) for line in path.read_text().splitlines() if line.strip()]
    r.add("Resident set size after a warm-up and after all calls, each function in a process "
          "of its own (benchmarks/bench.py memory).")
    r.add()
    r.add("| function | calls | before | after | growth |")
    r.add("|---|---|---|---|---|")
    for row in rows:
        growth = row["rss_after"] - row["rss_before"]
        r.add(f"| {row['function']} | {row['calls']:,} | {row['rss_before'] / MB:.1f} MB | "
              f"{row['rss_after'] / MB:.1f} MB | {growth / 1024:+.0f} KiB |")
        r.target(f"{row['function']}: resident growth over {row['calls']:,} calls", "<= 1 MB",
                 f"{growth / 1024:+.0f} KiB", growth <= MB if row["calls"] >= 1_000_000 else None)
    r.add()


def run_description(py: dict | None, counts: dict[str, float]) -> str:
    """Which run each part of the figures comes from: the steps of benchmarks/run can be run
    one by one (bench.py time, callgrind, memory), each in full or quick mode."""
    parts = []
    if py:
        parts.append(f"timings {'quick' if py.get('quick') else 'full'} ({py['rounds']} rounds"
                     f"{', without the 100 000-line bill and the 65 535-share split' if py.get('quick') else ''})")
    if counts:
        full = "get_totals 100000 lines [module]" in counts
        parts.append(f"instruction counts {'full' if full else 'quick (without the largest sizes)'}")
    path = OUT / "memory.jsonl"
    if path.exists():
        rows = [json.loads(line) for line in path.read_text().splitlines() if line.strip()]
        if rows:
            parts.append(f"memory check over {rows[0]['calls']:,} calls"
                         f"{' (quick: the target needs 1,000,000)' if rows[0]['calls'] < 1_000_000 else ''}")
    parallel = OUT / "parallel.json"
    if parallel.exists():
        rounds = len(json.loads(parallel.read_text()).get("rounds", []))
        parts.append(f"parallel throughput over {rounds} rounds")
    threads = OUT / "threads.json"
    if threads.exists():
        t = json.loads(threads.read_text())
        parts.append(f"thread scaling on 3.13t over {len(t['scaling']['rounds'])} rounds"
                     f"{' (quick)' if t.get('quick') else ''}, the price per call over "
                     f"{len(t['price']['rounds'])}")
    return "; ".join(parts) or "nothing measured"


def before_section(r: Report, counts: dict[str, float]) -> None:
    """The module's instruction counts against those of an earlier build, when its dumps are
    in build/bench/cg-before (the same `bench.py callgrind` run against that build)."""
    before = callgrind_counts("cg-before")
    rows = [(k[: -len(" [module]")], before[k], counts[k]) for k in sorted(before) if k.endswith(" [module]") and k in counts]
    if not rows:
        return
    label = (OUT / "cg-before" / "LABEL").read_text().strip() if (OUT / "cg-before" / "LABEL").exists() else "an earlier build"
    r.add("## Instructions per call against an earlier build")
    r.add()
    r.add(f"The module's callgrind counts in this run against those of {label} "
          "(build/bench/cg-before), on the same cases.")
    r.add()
    r.add("| case | before | now | change |")
    r.add("|---|---|---|---|")
    worst = -1.0
    for name, b, n in rows:
        change = n / b - 1
        worst = max(worst, change)
        r.add(f"| {name} | {b:,.0f} | {n:,.0f} | {100 * change:+.2f} % |")
    r.add()
    r.target(f"instructions per call against {label}, every case", "<= +3 %", f"{100 * worst:+.2f} % at most", worst <= 0.03)


def parallel_section(r: Report) -> None:
    path = OUT / "parallel.json"
    r.add("## Parallel throughput: sub-interpreters and threads")
    r.add()
    if not path.exists():
        r.add("Not measured in this run.")
        r.add()
        return
    data = json.loads(path.read_text())
    rounds, counts = data["rounds"], data["counts"]
    r.add(f"py_get_totals on the 8-line bill, python {data['python']} (Debian sid chroot), "
          f"{data['cores']} cores for the process, {len(rounds)} interleaved rounds "
          "(benchmarks/parallel.py). Each worker runs one task at a time: "
          f"{data['calls']['module']:,} calls of the module or {data['calls']['python']:,} of "
          "the pure-Python `decimal` baseline. Speed-up: the throughput at n workers over the "
          "throughput at 1 worker in the same round (paired), median and quartiles over the "
          "rounds. CPU/wall: the workers' CPU time over their wall time inside the tasks at "
          "n workers; below 100 % a worker waited for a core or for the GIL.")
    r.add()
    r.add("| pool | task | workers | calls/s (median) | speed-up over 1 worker | CPU/wall |")
    r.add("|---|---|---|---|---|---|")
    scaling = {}
    for name in ("interpreters", "threads"):
        for kind in ("module", "python"):
            for n in counts:
                key = f"{name}/{kind}/{n}"
                tput = statistics.median(rd[key]["calls_per_s"] for rd in rounds)
                busy = statistics.median(rd[key]["task_cpu"] / rd[key]["task_wall"] for rd in rounds)
                if n == 1:
                    speed = "1"
                else:
                    ratios = [rd[key]["calls_per_s"] / rd[f"{name}/{kind}/1"]["calls_per_s"] for rd in rounds]
                    q1, med, q3 = quartiles(ratios)
                    scaling[name, kind, n] = (med, ratios)
                    speed = f"{med:.2f}x ({q1:.2f} to {q3:.2f})"
                pool = "InterpreterPoolExecutor" if name == "interpreters" else "ThreadPoolExecutor"
                what = "module" if kind == "module" else "pure Python"
                r.add(f"| {pool} | {what} | {n} | {tput:,.0f} | {speed} | {100 * busy:.0f} % |")
    r.add()
    med, _ = scaling["interpreters", "module", 2]
    py_med, _ = scaling["interpreters", "python", 2]
    paired = [m - p for m, p in zip(scaling["interpreters", "module", 2][1], scaling["interpreters", "python", 2][1])]
    r.target("2 sub-interpreters over 1: py_get_totals throughput (median)", ">= 1.8x", f"{med:.2f}x", med >= 1.8)
    if med < 1.8:
        # Where the time goes: a worker that computes for all of its wall time at 1 and at 2
        # workers scales by 2 less the pool's dispatch; CPU time short of wall time is time
        # spent waiting for a core.
        busy = {n: statistics.median(rd[f"interpreters/module/{n}"]["task_cpu"] / rd[f"interpreters/module/{n}"]["task_wall"] for rd in rounds) for n in (1, 2)}
        per_call = {n: statistics.median(rd[f"interpreters/module/{n}"]["task_cpu"] / data["calls"]["module"] for rd in rounds) for n in (1, 2)}
        inside = {n: statistics.median(rd[f"interpreters/module/{n}"]["task_wall"] / rd[f"interpreters/module/{n}"]["elapsed"] for rd in rounds) for n in (1, 2)}
        r.add(f"Where the time of the 2-interpreter case goes: inside the tasks the workers were on a core "
              f"{100 * busy[2]:.0f} % of their wall time at 2 workers and {100 * busy[1]:.0f} % at 1, "
              f"so the rest they waited for a core taken by other processes: together the workers had "
              f"{2 * busy[2]:.2f} cores' worth at 2 workers and {busy[1]:.2f} at 1, and the speed-up can be "
              f"no more than the ratio of these, {2 * busy[2] / busy[1]:.2f}x; CPU time per call was "
              f"{per_call[1] * 1e6:.2f} us at 1 worker and {per_call[2] * 1e6:.2f} us at 2 "
              f"({100 * (per_call[2] / per_call[1] - 1):+.0f} %: what two workers computing at once cost "
              "each other, in shared caches and memory, beyond waiting); the tasks took "
              f"{100 * inside[1]:.0f} % and "
              f"{100 * inside[2]:.0f} % of each measurement, the rest being the pool's dispatch and "
              "pickling. The pure-Python task's speed-up in the same rounds bounds what the machine "
              "gave at the time.")
        r.add()
    r.target("the module's 2-interpreter speed-up against the pure-Python task's, same rounds",
             ">= the pure-Python task's", f"{med:.2f}x against {py_med:.2f}x (median difference {statistics.median(paired):+.2f})",
             statistics.median(paired) >= 0)


# The cases of the thread scaling (benchmarks/threads.py), in its order.
THREAD_CASES = ("get_totals 8 lines", "get_totals 500 lines", "divide 1000.00 / 7",
                "tip_fee_lines international", "deliverable_lines escrow + 3")
THREADS_TITLE = "## Threads on the free-threaded build (3.13t)"
THREADS_TARGET = "3.13t, "  # how the targets of that section begin
ON_CORE = 0.9  # a measurement's threads had cores: CPU time at least this share of wall time
MIN_ON_CORE = 3  # rounds with cores that the idle-machine target needs


def threads_section(r: Report, plot: tuple[str, str, str] | None) -> None:
    path = OUT / "threads.json"
    r.add(THREADS_TITLE)
    r.add()
    if not path.exists():
        r.add("Not measured in this run.")
        r.add()
        for name in THREAD_CASES:
            r.target(f"{THREADS_TARGET}{name}: 2 threads over 1", ">= 1.8x", "not measured", None)
        return
    data = json.loads(path.read_text())
    scaling, price = data["scaling"], data["price"]
    rounds, counts = scaling["rounds"], scaling["counts"]
    loads = [rd["loadavg"][0] for rd in rounds] + [rd["loadavg_after"][0] for rd in rounds]
    names = scaling["cases"]
    r.add(
        f"CPython {data['python']} built free-threaded (scripts/build-python ft), the GIL off in every "
        f"measurement, {scaling['cores']} cores for the process; {len(rounds)} interleaved rounds "
        f"(benchmarks/threads.py{', quick mode' if data.get('quick') else ''}). A task is a loop of "
        "calls of one function, the module's or the pure-Python baseline's, on inputs the thread "
        "built itself, as a request handler's parsed input is: only the value objects, the "
        "interned key names and the function objects are shared between threads. Each "
        "measurement starts the same task in n threads at once; throughput is all their calls "
        "over the time from the first start to the last end. Every round measures every case, "
        "implementation and thread count once, in a shuffled order. *Over 1 thread*: throughput "
        "at n threads over throughput at 1 thread in the same round (paired), median and "
        "quartiles over the rounds. *CPU/wall*: the threads' CPU time over their wall time "
        "inside the tasks; below 100 % a thread waited for a core. *CPU per call*: a thread's "
        "CPU time per call at n threads over that at 1; above 1, the threads slowed each other "
        "down (memory that both write), while waiting for a core costs no CPU time. The load "
        f"average over one minute, read before and after each round, was {statistics.median(loads):.2f} "
        f"(from {min(loads):.2f} to {max(loads):.2f}) on this {os.cpu_count()}-core machine; "
        "two threads of this benchmark alone make about 2 of it."
    )
    r.add()
    if plot:
        r.add(f"![{plot[2]}]({plot[0]} \"{plot[1]}\")")
        r.add()
    attempts = [m["attempts"] for rd in rounds for k, m in rd.items() if isinstance(m, dict) and "attempts" in m]
    ceiling = scaling.get("ceiling")
    r.add(
        "On a machine that other processes keep busy the threads wait for cores, and the "
        "throughput at 2 threads says more about that than about the module. Three things "
        "separate the two. A measurement whose threads had cores less than "
        f"{100 * ON_CORE:.0f} % of the time was taken again, up to {max(attempts, default=1)} times in all "
        f"({sum(a > 1 for a in attempts)} of {len(attempts)} were). *With cores*: the speed-up over "
        f"the rounds in which every thread had a core (CPU/wall at least {100 * ON_CORE:.0f} % at 1 "
        "and at n threads), with how many rounds those were; the target for an idle machine is "
        f"judged on them, given at least {MIN_ON_CORE}. "
        + ("*Of the ceiling*: the speed-up as a share of the machine's ceiling in the same round "
           "(the row *ceiling*: a loop of arithmetic on each thread's own integers, which shares "
           "nothing and gains from a second thread what the cores give at the time); 100 % is "
           "all of it." if ceiling else "")
    )
    r.add()
    r.add("| case | threads | module over 1 thread | pure Python over 1 thread | module − pure Python | "
          "of the ceiling: module, pure Python | with cores: module | module calls/s | "
          "CPU/wall module, Python | CPU per call module, Python |")
    r.add("|---|---|---|---|---|---|---|---|---|---|")

    def over_one(impl: str, name: str, n: int, where=lambda rd: True) -> list[float]:
        return [rd[f"{impl}/{name}/{n}"]["calls_per_s"] / rd[f"{impl}/{name}/1"]["calls_per_s"]
                for rd in rounds if where(rd)]

    def on_cores(impl: str, name: str, n: int):
        return lambda rd: min(rd[f"{impl}/{name}/1"]["cpu_per_wall"], rd[f"{impl}/{name}/{n}"]["cpu_per_wall"]) >= ON_CORE

    def med(impl: str, name: str, n: int, key: str) -> float:
        return statistics.median(rd[f"{impl}/{name}/{n}"][key] for rd in rounds)

    def cpu_growth(impl: str, name: str, n: int) -> float:
        return statistics.median(rd[f"{impl}/{name}/{n}"]["cpu_per_call"] / rd[f"{impl}/{name}/1"]["cpu_per_call"]
                                 for rd in rounds)

    def spread(xs: list[float]) -> str:
        if not xs:
            return "none of the rounds"
        q = quartiles(xs)
        return f"{q[1]:.2f}x [{q[0]:.2f}, {q[2]:.2f}] ({len(xs)} of {len(rounds)})"

    def of_ceiling(impl: str, name: str, n: int) -> list[float]:
        if not ceiling:
            return []
        return [a / b for a, b in zip(over_one(impl, name, n), over_one("ceiling", ceiling, n))]

    def percent(xs: list[float]) -> str:
        if not xs:
            return "-"
        q = quartiles(xs)
        return f"{100 * q[1]:.0f} % [{100 * q[0]:.0f}, {100 * q[2]:.0f}]"

    for n in counts[1:] if ceiling else []:
        cq = quartiles(over_one("ceiling", ceiling, n))
        r.add(f"| ceiling: {ceiling} | {n} | {cq[1]:.2f}x [{cq[0]:.2f}, {cq[2]:.2f}] | | | | "
              f"{spread(over_one('ceiling', ceiling, n, on_cores('ceiling', ceiling, n)))} | "
              f"{med('ceiling', ceiling, n, 'calls_per_s'):,.0f} | {100 * med('ceiling', ceiling, n, 'cpu_per_wall'):.0f} % | "
              f"{cpu_growth('ceiling', ceiling, n):.2f} |")
    missed = []
    for name in names:
        for n in counts:
            m_calls = med("module", name, n, "calls_per_s")
            busy = f"{100 * med('module', name, n, 'cpu_per_wall'):.0f} %, {100 * med('baseline', name, n, 'cpu_per_wall'):.0f} %"
            if n == 1:
                r.add(f"| {name} | 1 | 1 | 1 | | | | {m_calls:,.0f} | {busy} | 1, 1 |")
                continue
            mq, pq = quartiles(over_one("module", name, n)), quartiles(over_one("baseline", name, n))
            diff = quartiles([a - b for a, b in zip(over_one("module", name, n), over_one("baseline", name, n))])
            m_cores = over_one("module", name, n, on_cores("module", name, n))
            m_ceiling = of_ceiling("module", name, n)
            r.add(f"| {name} | {n} | {mq[1]:.2f}x [{mq[0]:.2f}, {mq[2]:.2f}] | {pq[1]:.2f}x [{pq[0]:.2f}, {pq[2]:.2f}] | "
                  f"{diff[1]:+.2f} [{diff[0]:+.2f}, {diff[2]:+.2f}] | "
                  f"{percent(m_ceiling)}; {percent(of_ceiling('baseline', name, n))} | {spread(m_cores)} | "
                  f"{m_calls:,.0f} | {busy} | "
                  f"{cpu_growth('module', name, n):.2f}, {cpu_growth('baseline', name, n):.2f} |")
            if n != 2:
                continue
            load = statistics.median(rd["loadavg"][0] for rd in rounds)
            context = (f"{f'{100 * statistics.median(m_ceiling):.0f} % of the ceiling; ' if m_ceiling else ''}"
                       f"all rounds {mq[1]:.2f}x, load {load:.2f}")
            what = f"{THREADS_TARGET}{name}: 2 threads over 1 (on an idle machine)"
            with_cores = f"{spread(m_cores)} rounds with cores" if m_cores else "no round with cores"
            if len(m_cores) >= MIN_ON_CORE:
                got = statistics.median(m_cores)
                r.target(what, ">= 1.8x", f"{with_cores}; {context}", got >= 1.8)
                if got < 1.8:
                    missed.append(name)
            else:
                r.target(what, ">= 1.8x", f"{with_cores}; {context}", None)
                missed.append(name)
            r.target(f"{THREADS_TARGET}{name}: the module's 2-thread scaling against pure Python's, same rounds",
                     ">= pure Python's", f"{mq[1]:.2f}x against {pq[1]:.2f}x (median difference {diff[1]:+.2f})",
                     diff[1] >= 0)
    r.add()
    if missed:
        # Where the throughput of a case short of 1.8x went: two threads that are on cores all
        # the time and do not slow each other down make 2x, less the start and end of a task.
        parts = []
        for name in missed:
            busy = {n: med("module", name, n, "cpu_per_wall") for n in (1, 2)}
            bound = 2 * busy[2] / busy[1]
            parts.append(f"{name}: on a core {100 * busy[2]:.0f} % of the time at 2 threads and "
                         f"{100 * busy[1]:.0f} % at 1 (medians), which bounds the speed-up at {bound:.2f}x; CPU per "
                         f"call {cpu_growth('module', name, 2):.2f} times that at 1 thread "
                         f"(pure Python {cpu_growth('baseline', name, 2):.2f})")
        r.add("Where the throughput short of 1.8x went: " + "; ".join(parts) + ". Time a thread spends "
              "waiting for a core taken by another process is the machine's, not the module's; CPU "
              "time per call that grows with the second thread is what the threads cost each other "
              "(or, on a virtual machine, what the host's other guests cost the two cores).")
        r.add()
    threads_price(r, data)
    threads_refcounts(r)


def threads_price(r: Report, data: dict) -> None:
    price = data["price"]
    rounds, versions = price["rounds"], price["versions"]
    names = list(rounds[0]["3.13t"]["cases"])
    has_floor = all("floor" in rd["3.13t"]["cases"][n] for rd in rounds for n in names)
    r.add("### The price of the free-threaded build")
    r.add()
    r.add(
        f"One thread's time per call on CPython {versions['3.13t']} free-threaded against "
        f"{versions['3.13']} (the default build of make bench's venv), {len(rounds)} rounds, each "
        "running one process of either interpreter in alternating order; a process times the "
        "module, the pure-Python baseline and the floor (benchmarks/floor, built for that "
        "interpreter), each case interleaved three times, the median kept. Ratios are taken "
        "within a round; medians and quartiles over the rounds (lower is cheaper). Both "
        "interpreters are built with -O3 and without profile-guided or link-time optimisation; "
        "the default build is the host's shared-library build, the free-threaded one links "
        "libpython statically. The pure-Python column is the interpreter's own price, the "
        "measure for the module's."
    )
    r.add()
    head = "| case | module 3.13 | module 3.13t | module 3.13t / 3.13 | pure Python 3.13t / 3.13 |"
    line = "|---|---|---|---|---|"
    if has_floor:
        head += " floor 3.13t | module / floor, 3.13t | module / floor, 3.13 |"
        line += "---|---|---|"
    r.add(head)
    r.add(line)
    for name in names:
        def per(label: str, impl: str) -> list[float]:
            return [rd[label]["cases"][name][impl] for rd in rounds]

        ft, dflt = per("3.13t", "module"), per("3.13", "module")
        mq = quartiles([a / b for a, b in zip(ft, dflt)])
        pq = quartiles([a / b for a, b in zip(per("3.13t", "baseline"), per("3.13", "baseline"))])
        row = (f"| {name} | {fmt_time(statistics.median(dflt))} | {fmt_time(statistics.median(ft))} | "
               f"{mq[1]:.2f}x [{mq[0]:.2f}, {mq[2]:.2f}] | {pq[1]:.2f}x [{pq[0]:.2f}, {pq[2]:.2f}] |")
        if has_floor:
            fq = quartiles([a / b for a, b in zip(ft, per("3.13t", "floor"))])
            dq = quartiles([a / b for a, b in zip(dflt, per("3.13", "floor"))]) \
                if all("floor" in rd["3.13"]["cases"][name] for rd in rounds) else None
            row += (f" {fmt_time(statistics.median(per('3.13t', 'floor')))} | {fq[1]:.2f}x [{fq[0]:.2f}, {fq[2]:.2f}] | "
                    + (f"{dq[1]:.2f}x [{dq[0]:.2f}, {dq[2]:.2f}] |" if dq else "- |"))
        r.add(row)
    r.add()


def threads_refcounts(r: Report) -> None:
    path = OUT / "threads-refcounts.json"
    if not path.exists():
        return
    data = json.loads(path.read_text())
    counts = data["counts"]
    names = list(dict.fromkeys(k.rsplit(" [", 1)[0] for k in counts))
    r.add("### What threads share: reference counts")
    r.add()
    r.add(
        "A thread slows another down where both write the same memory. On a free-threaded build "
        "taking or dropping a reference to an object that another thread created is an atomic "
        "operation on the object's count, and the objects every thread shares (the value objects "
        "of LineType, Account and Category, the function objects, the decimal module's types and "
        "contexts) are created by the importing thread. Counted under callgrind in a worker "
        "thread on inputs it made, as in the scaling (benchmarks/threads.py refcounts, "
        f"{data['calls']} calls per case, CPython {data['python']}): the drops of such references "
        "per call (`_Py_DecRefShared`; the takes, inlined, are as many) and the critical "
        "sections (locks of an object; the module locks each input dict it reads, its own thread's, "
        "so uncontended)."
    )
    r.add()
    r.add("| case | module: shared drops | floor | pure Python | module: critical sections | module: instructions |")
    r.add("|---|---|---|---|---|---|")
    for name in names:
        c = {impl: counts.get(f"{name} [{impl}]") for impl in ("module", "floor", "baseline")}
        cells = [f"{c[i]['shared_decrefs']:,.0f}" if c[i] else "-" for i in ("module", "floor", "baseline")]
        m = c["module"]
        r.add(f"| {name} | " + " | ".join(cells) + " | "
              + (f"{m['critical_sections']:,.0f} | {m['instructions']:,.0f} |" if m else "- | - |"))
    r.add()
    r.add(
        "Where the module's calls could take such references, they take none: to the value "
        "objects it reads (the interpreter's set keeps them alive), when it stores them into "
        "a result's line dicts (the dict takes the only reference), or to its function objects "
        "(they come from a method table, "
        "whose functions 3.13 makes immortal once a second thread starts); and on a "
        "free-threaded build the main interpreter's value objects are immortal, so that the "
        "lines of every thread's results hold them without a count to change (those of any "
        "other interpreter stay mortal, released when it ends). The pure-Python baseline's are "
        "the decimal module's types and contexts and the baseline's own module-level objects. "
        "The critical sections are the module's locks of the input dicts it reads, one each, and "
        "of an input list while it takes each element (a 500-line bill: 500 dicts, 500 elements): "
        "the thread's own dicts, so the lock is never contended, but taking and releasing it "
        "costs two atomic operations."
    )
    r.add()


def splice(old: str, new: str) -> str:
    """`old` (the BENCHMARKS.md of an earlier full run) with the thread section, its targets, the
    description of the run and the Reproduce section taken from `new`."""
    def sections(text: str) -> list[str]:
        return re.split(r"(?m)^(?=## )", text)

    def title(part: str) -> str:
        return part.split("\n", 1)[0]

    old_parts, new_parts = sections(old), sections(new)
    new_by_title = {title(p): p for p in new_parts}
    out = []
    for part in old_parts:
        t = title(part)
        if t == "## Targets":
            rows = part.rstrip("\n").split("\n")
            kept = [x for x in rows if not x.startswith(f"| {THREADS_TARGET}")]
            fresh = [x for x in new_by_title[t].rstrip("\n").split("\n") if x.startswith(f"| {THREADS_TARGET}")]
            part = "\n".join(kept + fresh) + "\n\n"
        elif t == "## Reproduce":
            if THREADS_TITLE not in map(title, old_parts):
                out.append(new_by_title[THREADS_TITLE])
            part = new_by_title[t]
        elif t == THREADS_TITLE:
            part = new_by_title[t]
        elif part.startswith("# "):  # the heading and the description of the run
            lines = part.split("\n")
            for i, x in enumerate(lines):
                if x.startswith("- Figures from:"):
                    theirs = [p for p in x[len("- Figures from: "):].split("; ") if not p.startswith("thread scaling")]
                    ours = re.search(r"thread scaling[^;]*", [y for y in new.split("\n") if y.startswith("- Figures from:")][0])
                    lines[i] = "- Figures from: " + "; ".join(theirs + ([ours.group(0) + " (its own later run of `benchmarks/run-threads`)"] if ours else []))
            part = "\n".join(lines)
        out.append(part)
    return "".join(out)


def main() -> int:
    only_threads = sys.argv[1:] == ["--threads"]
    # With --threads the other sections are not written, nor their plots drawn.
    py = None if only_threads else load_python()
    counts = {} if only_threads else callgrind_counts()
    r = Report()
    r.add("# Benchmarks")
    r.add()
    r.add("Written by `make bench` (benchmarks/run); do not edit by hand.")
    r.add()
    for line in machine_lines(py):
        r.add(line)
    r.add(f"- Figures from: {run_description(py, counts)}")
    r.add()
    body_start = len(r.lines)
    if py:
        import plots as drawing

        python_section(r, py, counts, drawing.plot(py))
        why_missed(r, py, counts)
    else:
        r.add("## Python-level calls")
        r.add()
        r.add("Not measured in this run.")
        r.add()
    core_section(r)
    alloc_section(r)
    memory_section(r)
    before_section(r, counts)
    parallel_section(r)
    threads_plot = None
    if (OUT / "threads.json").exists():
        import plots as drawing

        threads_plot = drawing.plot_threads_file(json.loads((OUT / "threads.json").read_text()))
    threads_section(r, threads_plot)
    body = r.lines[body_start:]
    r.lines = r.lines[:body_start]

    r.add("## Targets")
    r.add()
    r.add("| target | wanted | measured | |")
    r.add("|---|---|---|---|")
    missed = 0
    for what, wanted, got, met in r.targets:
        verdict = "met" if met else ("missed" if met is False else "not checked")
        missed += met is False
        r.add(f"| {what} | {wanted} | {got} | {verdict} |")
    r.add()
    r.lines += body
    r.add("## Reproduce")
    r.add()
    r.add("```sh")
    r.add("make bench                                  # everything, about 10 minutes; writes this file")
    r.add("TALLYFORGE_BENCH_QUICK=1 make bench         # fewer rounds and sizes, for iteration")
    r.add(".venv-cp313/bin/python benchmarks/bench.py time          # Python-level timings only")
    r.add(".venv-cp313/bin/python -m pyperf stats build/bench/python.json")
    r.add("valgrind --tool=callgrind --callgrind-out-file=build/bench/cg/cg.out \\")
    r.add("  .venv-cp313/bin/python benchmarks/bench.py callgrind    # instruction counts")
    r.add(".venv-cp313/bin/python benchmarks/bench.py memory py_get_totals 1000000")
    r.add("benchmarks/core/run-core [REV]              # core vs libmpdec (root; sid chroot), REV: compare with a revision")
    r.add("benchmarks/run-parallel                     # sub-interpreters and threads, python3.14 (root; sid chroot)")
    r.add("benchmarks/run-threads .venv-cp313/bin/python   # threads on 3.13t, its price per call (builds 3.13t once)")
    r.add(".venv-cp313/bin/python benchmarks/report.py --threads  # only this file's thread section, from threads.json")
    r.add("```")
    r.add()
    text = "\n".join(r.lines)
    if only_threads:
        # The other sections stay as the last full run wrote them.
        text = splice((ROOT / "BENCHMARKS.md").read_text(), text)
        r.targets = [t for t in r.targets if t[0].startswith(THREADS_TARGET)]
        missed = sum(met is False for *_, met in r.targets)
    (ROOT / "BENCHMARKS.md").write_text(text)

    print("\nTargets:")
    for what, wanted, got, met in r.targets:
        verdict = "met" if met else ("MISSED" if met is False else "not checked")
        print(f"  {verdict:12} {what}: {got} (wanted {wanted})")
    print(f"\nbench: wrote BENCHMARKS.md; {missed} target(s) missed")
    strict = os.environ.get("TALLYFORGE_BENCH_STRICT", "") not in ("", "0")
    return 1 if strict and missed else 0


if __name__ == "__main__":
    sys.exit(main())
