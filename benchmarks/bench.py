"""Python-level figures of tallyforge against a pure-Python baseline and the floor.

    python benchmarks/bench.py time       times every case, writes build/bench/python.json
    python benchmarks/bench.py callgrind   run under callgrind: counts instructions per call
    python benchmarks/bench.py memory F N  calls function F N times, prints the resident growth

Every case is timed for three implementations: the module, the baseline
(benchmarks/baseline.py, plain Python on the decimal module) and the floor
(benchmarks/floor, reads the same arguments and builds results of the same
shape without computing). Before anything is timed, the baseline's output
must equal the module's on every case, text for text. The three are measured
in interleaved rounds, the order rotating from round to round, so that a
burst of load from another process hits all three alike; ratios are taken
within each round and summarised by their median and quartiles. The
per-call times are stored as pyperf benchmarks (build/bench/python.json), so
`python -m pyperf stats` and `compare_to` read them.

TALLYFORGE_BENCH_QUICK=1 takes fewer rounds and leaves out the largest sizes.
"""

from __future__ import annotations

import gc
import json
import os
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = ROOT / "build" / "bench"
sys.path[:0] = [str(HERE), str(OUT)]

import _tallyforge_floor as floor  # noqa: E402
import baseline  # noqa: E402
import cases  # noqa: E402
import pyperf  # noqa: E402
import tallyforge  # noqa: E402

QUICK = os.environ.get("TALLYFORGE_BENCH_QUICK", "") not in ("", "0")
IMPLS = {"module": tallyforge, "baseline": baseline, "floor": floor}


def check_outputs(case_list) -> None:
    """The baseline must give the module's outputs exactly; the floor the same shape."""
    for name, fn, args in case_list:
        got = getattr(tallyforge, fn)(*args)
        expected = getattr(baseline, fn)(*args)
        if not cases.same(got, expected):
            raise SystemExit(f"bench: the baseline differs from the module on '{name}'")
        if cases.shape(getattr(floor, fn)(*args)) != cases.shape(got):
            raise SystemExit(f"bench: the floor's result has another shape on '{name}'")


def timer(call, args, loops: int) -> float:
    """Seconds per call over `loops` calls."""
    start = time.perf_counter()
    for _ in range(loops):
        call(*args)
    return (time.perf_counter() - start) / loops


def calibrate(call, args, target: float) -> int:
    loops = 1
    while True:
        if timer(call, args, loops) * loops >= target or loops >= 1 << 20:
            return loops
        loops *= 2


def time_case(name: str, fn: str, args: tuple, rounds: int, target: float) -> dict:
    calls = {impl: getattr(mod, fn) for impl, mod in IMPLS.items()}
    loops = {impl: calibrate(call, args, target) for impl, call in calls.items()}
    values: dict[str, list[float]] = {impl: [] for impl in calls}
    order = list(calls)
    for r in range(rounds):
        gc.collect()
        for impl in order[r % 3 :] + order[: r % 3]:
            values[impl].append(timer(calls[impl], args, loops[impl]))
    return {"name": name, "loops": loops, "values": values}


def summary(xs: list[float]) -> dict:
    qs = statistics.quantiles(xs, n=4) if len(xs) > 1 else [xs[0]] * 3
    return {"median": statistics.median(xs), "q1": qs[0], "q3": qs[2], "n": len(xs)}


def run_timing() -> int:
    case_list = cases.python_cases(QUICK)
    check_outputs(case_list)
    print(f"bench: baseline outputs equal the module's on all {len(case_list)} cases")
    rounds = 7 if QUICK else 21
    target = 0.01 if QUICK else 0.02
    results = []
    suite = None
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for name, fn, args in case_list:
            res = time_case(name, fn, args, rounds, target)
            v = res["values"]
            res["per_call"] = {impl: summary(v[impl]) for impl in v}
            res["vs_baseline"] = summary([b / m for m, b in zip(v["module"], v["baseline"])])
            res["vs_floor"] = summary([m / f for m, f in zip(v["module"], v["floor"])])
            results.append(res)
            for impl, loops in res["loops"].items():
                run = pyperf.Run(
                    v[impl],
                    metadata={"name": f"{name} [{impl}]", "loops": loops, "unit": "second"},
                    collect_metadata=suite is None,
                )
                bench = pyperf.Benchmark([run])
                if suite is None:
                    suite = pyperf.BenchmarkSuite([bench])
                else:
                    suite.add_benchmark(bench)
            pc = res["per_call"]
            print(
                f"{name:32} module {fmt(pc['module']['median'])}  "
                f"python {fmt(pc['baseline']['median'])}  floor {fmt(pc['floor']['median'])}  "
                f"{res['vs_baseline']['median']:6.2f}x faster than python, "
                f"{res['vs_floor']['median']:5.2f}x the floor"
            )
    finally:
        if gc_was:
            gc.enable()
    OUT.mkdir(parents=True, exist_ok=True)
    suite.dump(str(OUT / "python.json"), replace=True)
    meta = suite.get_benchmarks()[0].get_metadata()
    machine = {k: meta.get(k) for k in ("cpu_model_name", "cpu_count", "python_version",
                                        "python_implementation", "platform", "hostname")}
    (OUT / "python-summary.json").write_text(
        json.dumps({"quick": QUICK, "rounds": rounds, "machine": machine,
                    "cases": [{k: r[k] for k in r if k != "values"} for r in results]}, indent=1)
    )
    return 0


def fmt(seconds: float) -> str:
    if seconds >= 1e-3:
        return f"{seconds * 1e3:8.2f} ms"
    return f"{seconds * 1e6:8.2f} us"


# ---------------------------------------------------------------------------
# Instruction counts


def callgrind_cases() -> list[tuple[str, str, tuple, tuple[str, ...], int]]:
    """(name, function, arguments, implementations, calls counted). The baseline
    is counted on the cases of the issue's table; the scaling series only for
    the module and the floor, whose counts grow with the size."""
    out = []
    table = cases.python_cases(True)[:8]
    for name, fn, args in table:
        size = len(args[0]) if fn == "py_get_totals" else 8
        calls = 20 if size <= 10 else (3 if size <= 500 else 1)
        out.append((name, fn, args, ("module", "baseline", "floor"), calls))
    for name, fn, args in cases.python_cases(QUICK)[8:]:
        out.append((name, fn, args, ("module", "floor"), 5 if "10 " in name else 1))
    return out


def run_callgrind() -> int:
    if not floor.under_valgrind():
        raise SystemExit("bench: `callgrind` mode runs under valgrind --tool=callgrind")
    labels = []
    for name, fn, args, impls, calls in callgrind_cases():
        for impl in impls:
            call = getattr(IMPLS[impl], fn)
            call(*args)  # warm: first-use caches, interned strings, free lists
            call(*args)
            label = f"{name} [{impl}] x{calls}"
            floor.callgrind_zero()
            for _ in range(calls):
                call(*args)
            floor.callgrind_dump(label)
            labels.append(label)
    print(f"bench: counted {len(labels)} dumps")
    return 0


# ---------------------------------------------------------------------------
# Resident memory over many calls


def run_memory(fn: str, calls: int) -> int:
    args = {
        "py_get_totals": (cases.BILL_8, 2),
        "py_reckon_lines": (cases.BILL_8, 2),
        "py_divide_amount": ("1000.00", 7, 2),
        "py_tip_fee_lines": (cases.TIP,),
        "py_deliverable_lines": (cases.PURCHASE,),
    }[fn]
    call = getattr(tallyforge, fn)
    warm = min(calls // 10, 20_000)
    for _ in range(warm):
        call(*args)
    gc.collect()
    before = rss_bytes()
    for _ in range(calls - warm):
        call(*args)
    gc.collect()
    after = rss_bytes()
    print(json.dumps({"function": fn, "calls": calls, "rss_before": before, "rss_after": after}))
    return 0


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


if __name__ == "__main__":
    mode = sys.argv[1] if len(sys.argv) > 1 else "time"
    if mode == "time":
        sys.exit(run_timing())
    if mode == "callgrind":
        sys.exit(run_callgrind())
    if mode == "memory":
        sys.exit(run_memory(sys.argv[2], int(sys.argv[3])))
    raise SystemExit(f"bench: unknown mode {mode!r}")
