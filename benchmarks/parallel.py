"""Parallel throughput of py_get_totals on the 8-line bill, CPython 3.14.

    python3.14 benchmarks/parallel.py OUT.json

Each pool (InterpreterPoolExecutor: one isolated interpreter with its own GIL per worker;
ThreadPoolExecutor: threads of one interpreter) runs one task per worker at a time, at 1 and
2 workers (and 4 where the process may use 4 cores). A task is a loop of calls: the module's
py_get_totals, or the pure-Python baseline (benchmarks/baseline.py, the decimal module) on the
same bill. Every round measures every combination once, in an order shuffled per round, so
that the load of other processes falls on all of them alike; a round's speed-up of a pool and
task is the ratio of its two throughputs in that round (paired), and the report takes medians
over the rounds.

Inside each task the loop's wall time and the thread's CPU time are recorded too: where CPU
time falls short of wall time, the worker waited (for a core held by another process, or for
the GIL), which is where a missed speed-up goes.

The pools' workers import this file as the module `parallel` (PYTHONPATH must hold the
benchmarks directory and the module's build), so the tasks are found by name in every
interpreter.
"""

from __future__ import annotations

import json
import os
import random
import statistics
import sys
import time
from concurrent.futures import InterpreterPoolExecutor, ThreadPoolExecutor

ROUNDS = 5 if os.environ.get("TALLYFORGE_BENCH_QUICK", "") not in ("", "0") else 15
TASK_SECONDS = 0.25  # one task's length at one worker, calibrated per task kind


def task(kind: str, calls: int) -> tuple[int, float, float]:
    """Runs `calls` calls of the kind's py_get_totals; returns (calls, wall, cpu) seconds."""
    import cases

    if kind == "module":
        import tallyforge as impl
    else:
        import baseline as impl
    call, bill = impl.py_get_totals, cases.BILL_8
    wall, cpu = time.perf_counter(), time.thread_time()
    for _ in range(calls):
        call(bill, 2)
    return calls, time.perf_counter() - wall, time.thread_time() - cpu


def throughput(pool, kind: str, calls: int, workers: int) -> dict:
    start = time.perf_counter()
    futures = [pool.submit(task, kind, calls) for _ in range(workers)]
    done = [f.result() for f in futures]
    elapsed = time.perf_counter() - start
    return {
        "calls_per_s": sum(d[0] for d in done) / elapsed,
        "task_wall": statistics.mean(d[1] for d in done),
        "task_cpu": statistics.mean(d[2] for d in done),
        "elapsed": elapsed,
    }


def main() -> int:
    out_path = sys.argv[1]
    cores = len(os.sched_getaffinity(0))
    counts = [1, 2] + ([4] if cores >= 4 else [])
    pools = {
        (name, n): factory(max_workers=n)
        for name, factory in (("interpreters", InterpreterPoolExecutor), ("threads", ThreadPoolExecutor))
        for n in counts
    }
    # Calibrates each task kind to about TASK_SECONDS at one worker, and warms every worker
    # (an interpreter's first task imports the module and the baseline).
    calls = {}
    for kind in ("module", "python"):
        _, wall, _ = task(kind, 2000)
        calls[kind] = max(2000, int(2000 * TASK_SECONDS / wall))
    for (name, n), pool in pools.items():
        for kind in calls:
            throughput(pool, kind, 200, n)

    combos = [(name, kind, n) for name in ("interpreters", "threads") for kind in calls for n in counts]
    rounds = []
    rng = random.Random(20261209)
    for _ in range(ROUNDS):
        order = combos[:]
        rng.shuffle(order)
        measured = {}
        for name, kind, n in order:
            measured[f"{name}/{kind}/{n}"] = throughput(pools[name, n], kind, calls[kind], n)
        rounds.append(measured)
        print("parallel: round", len(rounds), " ".join(
            f"{name}/{kind} x{measured[f'{name}/{kind}/2']['calls_per_s'] / measured[f'{name}/{kind}/1']['calls_per_s']:.2f}"
            for name in ("interpreters", "threads") for kind in calls), flush=True)
    for pool in pools.values():
        pool.shutdown()

    with open(out_path, "w") as f:
        json.dump({"python": sys.version.split()[0], "cores": cores, "counts": counts,
                   "calls": calls, "rounds": rounds}, f, indent=1)
    return 0


if __name__ == "__main__":
    # The tasks must be found as `parallel.task` in every worker, not as `__main__.task`.
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import parallel

    sys.exit(parallel.main())
