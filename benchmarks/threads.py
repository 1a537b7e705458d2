"""Thread scaling on the free-threaded CPython 3.13 (3.13t) with the GIL off, and the price
of that build per call.

    python3.13t benchmarks/threads.py OUT.json PYTHON   the whole measurement (below)
    python benchmarks/threads.py percall                 one pass of per-call timings on the
                                                         running interpreter, JSON on stdout
    valgrind --tool=callgrind ... python3.13t benchmarks/threads.py refcounts
    python benchmarks/threads.py count DIR OUT.json      what that run counted, per call

Scaling: worker threads, each with its own inputs (built by the thread itself, as a request
handler's parsed input is; only the value objects, the interned key names and the functions
are the process-wide ones), run a task of calls of one function: the module's, or the
pure-Python baseline's (benchmarks/baseline.py) on the same input. Each measurement runs the
same task in 1, 2 (and 4, where the process may use 4 cores) threads at once, started
together; throughput is all the threads' calls over the time from the first start to the
last end. Every round measures every case, implementation and thread count once, in an order
shuffled per round, so that the load of other processes falls on all of them alike; a
round's speed-up is the ratio of two throughputs of that round (paired), and the report
takes medians and quartiles over the rounds. The load average is read before and after each
round. Inside each task the thread's wall time and CPU time are kept: where CPU time falls
short of wall time, the thread waited for a core (or for a lock). The garbage collector runs
as in an application; each thread's last result is checked against the module's serial
output. A measurement in which the threads were on a core less than 90 % of the time (other
processes had the cores) is taken again, up to four times in all (twice in quick mode); the
last one is kept, with the number it took. The same rounds measure the machine's own
ceiling: a loop of integer arithmetic on each thread's own objects, which shares nothing,
gains from a second thread what the cores give at the time; a case's speed-up over the
ceiling's, paired by round, is what it keeps of that.

Price: PYTHON is the default build of 3.13 with the module installed (make bench's venv).
Each round runs one `percall` process of each interpreter, their order alternating from
round to round; a process times every case for the module, the floor (benchmarks/floor,
built for that interpreter into build/bench) and the baseline in one thread. Ratios between
the two interpreters are taken within a round.

Reference counts: threads slow one another down where they write the same memory. On a
free-threaded build a reference taken to, or dropped from, an object that another thread
created is an atomic operation on that object's count, and the objects every thread shares
(the value objects, the function objects) are created by the importing thread.
Run under callgrind, `refcounts` calls each case in a worker thread on the thread's own
inputs, as the scaling does, and `count` reads how many such decrements (and critical
sections, the locks of objects) each call made; the increments are as many, inlined.

TALLYFORGE_BENCH_QUICK=1 takes fewer rounds and shorter tasks.
"""

from __future__ import annotations

import gc
import json
import os
import queue
import random
import statistics
import subprocess
import sys
import sysconfig
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
OUT = HERE.parent / "build" / "bench"
sys.path[:0] = [str(HERE), str(OUT)]

import baseline  # noqa: E402
import cases  # noqa: E402
import tallyforge  # noqa: E402

try:
    import _tallyforge_floor as floor
except ImportError:  # not built for this interpreter
    floor = None

QUICK = os.environ.get("TALLYFORGE_BENCH_QUICK", "") not in ("", "0")
ROUNDS = 5 if QUICK else 15
PRICE_ROUNDS = 5 if QUICK else 15
TASK_SECONDS = 0.08 if QUICK else 0.2  # one task's length at one thread
ON_CORE = 0.9  # the threads had cores: their CPU time at least this share of their wall time
ATTEMPTS = 2 if QUICK else 4  # measurements of a combination in a round, until the threads had cores
CASE_NAMES = (
    "get_totals 8 lines",
    "get_totals 500 lines",
    "divide 1000.00 / 7",
    "tip_fee_lines international",
    "deliverable_lines escrow + 3",
)
CASES = [c for c in cases.python_cases(True) if c[0] in CASE_NAMES]
IMPLS = {"module": tallyforge, "baseline": baseline}


def gil_enabled() -> bool:
    return bool(getattr(sys, "_is_gil_enabled", lambda: True)())


def load_average() -> list[float]:
    with open("/proc/loadavg") as f:
        return [float(x) for x in f.read().split()[:3]]


# ---------------------------------------------------------------------------
# Scaling


# The machine's own ceiling, measured in the same rounds: a loop of integer arithmetic on
# objects of the thread's own, which shares nothing with other threads. What it gains from a
# second thread is what the cores gave at the time.
CEILING = "ceiling"
CEILING_TASK = "integer arithmetic, nothing shared"


def arithmetic(_: object = None) -> int:
    x = 1
    for _ in range(100):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
    return x


class Worker(threading.Thread):
    """Runs the tasks it is given on inputs of its own, made by the thread itself."""

    def __init__(self) -> None:
        super().__init__(daemon=True)
        self.jobs: queue.SimpleQueue = queue.SimpleQueue()
        self.done: queue.SimpleQueue = queue.SimpleQueue()

    def run(self) -> None:
        inputs = {name: cases.fresh(args) for name, _, args in CASES}
        functions = {name: fn for name, fn, _ in CASES}
        while (job := self.jobs.get()) is not None:
            impl, name, calls, start = job
            if impl == CEILING:
                call, args = arithmetic, ()
            else:
                call, args = getattr(IMPLS[impl], functions[name]), inputs[name]
            result = None
            try:
                start.wait()
                wall, cpu = time.perf_counter(), time.thread_time()
                for _ in range(calls):
                    result = call(*args)
                end = time.perf_counter()
                self.done.put((wall, end, time.thread_time() - cpu, result))
            except BaseException as e:  # reported by the main thread
                self.done.put(e)


def measure(workers: list[Worker], impl: str, name: str, threads: int, calls: int) -> dict:
    start = threading.Barrier(threads)
    for w in workers[:threads]:
        w.jobs.put((impl, name, calls, start))
    outcomes = [w.done.get() for w in workers[:threads]]
    for o in outcomes:
        if isinstance(o, BaseException):
            raise o
    first, last = min(o[0] for o in outcomes), max(o[1] for o in outcomes)
    return {
        "calls_per_s": threads * calls / (last - first),
        "cpu_per_wall": statistics.mean(o[2] / (o[1] - o[0]) for o in outcomes),
        "cpu_per_call": statistics.mean(o[2] for o in outcomes) / calls,
        "results": [o[3] for o in outcomes],
    }


def calibrate(workers: list[Worker], impl: str, name: str) -> int:
    calls = 16
    while True:
        elapsed = calls / measure(workers, impl, name, 1, calls)["calls_per_s"]
        if elapsed >= TASK_SECONDS / 4:
            return max(16, round(calls * TASK_SECONDS / elapsed))
        calls *= 4


def run_scaling() -> dict:
    cores = len(os.sched_getaffinity(0))
    counts = [1, 2] + ([4] if (getattr(os, "process_cpu_count", os.cpu_count)() or 1) >= 4 else [])
    expected = {name: getattr(tallyforge, fn)(*args) for name, fn, args in CASES}
    workers = [Worker() for _ in range(max(counts))]
    for w in workers:
        w.start()
    # Warms every worker on every task (specialisation, first-use caches), then sizes each
    # task to about TASK_SECONDS at one thread.
    tasks = [(impl, name) for name, _, _ in CASES for impl in IMPLS] + [(CEILING, CEILING_TASK)]
    for impl, name in tasks:
        measure(workers, impl, name, max(counts), 50)
    calls = {f"{impl}/{name}": calibrate(workers, impl, name) for impl, name in tasks}
    if gil_enabled():
        raise SystemExit("threads: the GIL is on; the scaling needs the free-threaded build with the GIL off")

    combos = [(impl, name, n) for impl, name in tasks for n in counts]
    rng = random.Random(20261210)
    rounds = []
    for r in range(ROUNDS):
        order = combos[:]
        rng.shuffle(order)
        gc.collect()
        measured: dict = {"loadavg": load_average()}
        for impl, name, n in order:
            for attempt in range(1, ATTEMPTS + 1):
                m = measure(workers, impl, name, n, calls[f"{impl}/{name}"])
                if m["cpu_per_wall"] >= ON_CORE:
                    break
            m["attempts"] = attempt
            for got in m.pop("results"):
                if impl != CEILING and not cases.same(got, expected[name]):
                    raise SystemExit(f"threads: {impl} gave another result on '{name}' in {n} threads")
            measured[f"{impl}/{name}/{n}"] = m
        measured["loadavg_after"] = load_average()
        rounds.append(measured)
        ceiling = f"{CEILING}/{CEILING_TASK}"
        print(f"threads: round {r + 1}/{ROUNDS}, load {measured['loadavg'][0]:.2f}, ceiling "
              f"{measured[f'{ceiling}/2']['calls_per_s'] / measured[f'{ceiling}/1']['calls_per_s']:.2f}x: " + ", ".join(
            f"{name.split()[0]} {measured[f'module/{name}/2']['calls_per_s'] / measured[f'module/{name}/1']['calls_per_s']:.2f}x"
            f" (python {measured[f'baseline/{name}/2']['calls_per_s'] / measured[f'baseline/{name}/1']['calls_per_s']:.2f}x)"
            for name, _, _ in CASES), flush=True)
    for w in workers:
        w.jobs.put(None)
    if gil_enabled():
        raise SystemExit("threads: the GIL was turned on during the run")
    return {"cores": cores, "counts": counts, "cases": [name for name, _, _ in CASES], "ceiling": CEILING_TASK,
            "calls": calls, "rounds": rounds}


# ---------------------------------------------------------------------------
# Per-call price


def per_call(call, args, target: float) -> float:
    loops = 1
    while True:
        start = time.perf_counter()
        for _ in range(loops):
            call(*args)
        elapsed = time.perf_counter() - start
        if elapsed >= target:
            return elapsed / loops
        loops *= 2


def run_percall() -> int:
    """One thread: every case for every implementation at hand, three interleaved passes, the
    median of each; JSON on stdout."""
    impls = dict(IMPLS)
    if floor is not None:
        impls["floor"] = floor
    target = 0.005 if QUICK else 0.01
    for name, fn, args in CASES:  # warm
        for mod in impls.values():
            per_call(getattr(mod, fn), args, target / 4)
    times: dict = {name: {impl: [] for impl in impls} for name, _, _ in CASES}
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for p in range(3):
            for name, fn, args in CASES:
                order = list(impls)
                for impl in order[p % len(order):] + order[: p % len(order)]:
                    times[name][impl].append(per_call(getattr(impls[impl], fn), args, target))
    finally:
        if gc_was:
            gc.enable()
    json.dump({"python": sys.version.split()[0],
               "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
               "gil": gil_enabled(),
               "cases": {n: {i: statistics.median(v) for i, v in d.items()} for n, d in times.items()}},
              sys.stdout)
    return 0


def run_price(default_python: str) -> dict:
    pythons = {"3.13t": sys.executable, "3.13": default_python}
    rounds = []
    for r in range(PRICE_ROUNDS):
        order = list(pythons) if r % 2 == 0 else list(pythons)[::-1]
        measured: dict = {"loadavg": load_average()}
        for label in order:
            out = subprocess.run([pythons[label], str(Path(__file__).resolve()), "percall"],
                                 capture_output=True, text=True, check=False)
            if out.returncode != 0:
                raise SystemExit(f"threads: the per-call pass on {label} failed:\n{out.stderr}")
            measured[label] = json.loads(out.stdout)
        if measured["3.13t"]["gil"] or not measured["3.13"]["gil"]:
            raise SystemExit("threads: the per-call passes ran with the GIL set otherwise than expected")
        rounds.append(measured)
        m, d = measured["3.13t"]["cases"], measured["3.13"]["cases"]
        print(f"threads: price round {r + 1}/{PRICE_ROUNDS}: " + ", ".join(
            f"{name.split()[0]} {m[name]['module'] / d[name]['module']:.2f}x" for name in m), flush=True)
    versions = {label: rounds[0][label]["python"] for label in pythons}
    return {"versions": versions, "rounds": rounds}


# ---------------------------------------------------------------------------
# Reference-count operations on shared objects, counted under callgrind

REFCOUNT_CALLS = 20
# Functions of the interpreter whose calls are counted: a decrement of the count of an
# object that another thread created (the increments are inlined and not seen), and the
# locking of an object's critical section.
COUNTED = {"_Py_DecRefShared": "shared_decrefs", "PyCriticalSection_Begin": "critical_sections",
           "PyCriticalSection2_Begin": "critical_sections"}


def run_refcounts() -> int:
    """Under valgrind --tool=callgrind: each case and implementation in a worker thread on
    inputs the thread made, as in the scaling; one dump per case."""
    if floor is None or not floor.under_valgrind():
        raise SystemExit("threads: `refcounts` runs under valgrind --tool=callgrind, with the floor built")
    impls = {**IMPLS, "floor": floor}

    def count() -> None:
        for name, fn, args in CASES:
            mine = cases.fresh(args)
            for impl, mod in impls.items():
                call = getattr(mod, fn)
                for _ in range(3):  # warm
                    call(*mine)
                floor.callgrind_zero()
                for _ in range(REFCOUNT_CALLS):
                    call(*mine)
                floor.callgrind_dump(f"{name} [{impl}] x{REFCOUNT_CALLS}")

    worker = threading.Thread(target=count)
    worker.start()
    worker.join()
    return 0


def run_count(directory: str, out_path: str) -> int:
    """Reads the dumps of `refcounts`: per call, the counted functions' calls and the
    instructions, by dump label; the callers of the shared decrements for the module."""
    counts: dict = {}
    for path in sorted(Path(directory).glob("cg.out.*")):
        label, totals, fn, cfn = None, 0, None, None
        found: dict = {"shared_decrefs": 0, "critical_sections": 0}
        callers: dict = {}
        with open(path) as f:
            for line in f:
                if line.startswith("desc: Trigger: Client Request: "):
                    label = line.split(": ", 3)[3].strip()
                elif line.startswith("totals: "):
                    totals = int(line.split()[1])
                elif line.startswith("fn="):
                    fn = line[3:].strip()
                elif line.startswith("cfn="):
                    cfn = line[4:].strip()
                elif line.startswith("calls=") and cfn in COUNTED:
                    n = int(line[6:].split()[0])
                    found[COUNTED[cfn]] += n
                    if cfn == "_Py_DecRefShared":
                        callers[fn] = callers.get(fn, 0) + n
        if not label:
            continue
        name, calls = label.rsplit(" x", 1)
        per = int(calls)
        counts[name] = {**{k: v / per for k, v in found.items()}, "instructions": totals / per,
                        "decref_callers": {k: v / per for k, v in sorted(callers.items(), key=lambda x: -x[1])}}
    Path(out_path).write_text(json.dumps({"python": sys.version.split()[0], "calls": REFCOUNT_CALLS,
                                          "counts": counts}, indent=1))
    print(f"threads: counted {len(counts)} dumps into {out_path}")
    return 0


def main(out_path: str, default_python: str) -> int:
    start = time.perf_counter()
    data = {
        "python": sys.version.split()[0],
        "quick": QUICK,
        "floor": floor is not None,
        "scaling": run_scaling(),
        "price": run_price(default_python),
    }
    Path(out_path).write_text(json.dumps(data, indent=1))
    print(f"threads: wrote {out_path} in {time.perf_counter() - start:.0f} s")
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["percall"]:
        sys.exit(run_percall())
    if sys.argv[1:2] == ["refcounts"]:
        sys.exit(run_refcounts())
    if sys.argv[1:2] == ["count"] and len(sys.argv) == 4:
        sys.exit(run_count(sys.argv[2], sys.argv[3]))
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
