"""Concurrent calls from several threads give the results of serial calls."""

from __future__ import annotations

import threading
from concurrent.futures import ThreadPoolExecutor

import tallyforge as tf
from conftest import deliverable_context, line, tip_context

CALLS = [
    (tf.py_divide_amount, ("1000.00", 7, 2)),
    (tf.py_divide_amount, ("10.00", 3, 29)),  # internal failure
    (tf.py_divide_amount, ("1.005", 2, 2)),  # ValueError
    (tf.py_get_totals, ([line(i, "0.335", i % 3) for i in range(1, 40)], 2)),
    (tf.py_reckon_lines, ([line(1, "100.00"), line(2, "0.30", 1, "2.9", back_into_percentage=True)], 2)),
    (tf.py_get_totals, ([line(1, "x")], 2)),
    (tf.py_tip_fee_lines, (tip_context(international=True),)),
    (tf.py_deliverable_lines, (deliverable_context(escrow_enabled=True, extra_lines=[line(9, "2.00")]),)),
    (tf.py_deliverable_lines, (deliverable_context(plan_name=5),)),  # TypeError
]


def outcome(func, args):
    try:
        result = func(*args)
    except BaseException as exc:  # noqa: BLE001 - PanicException included
        return ("raised", type(exc).__name__, str(exc))
    if isinstance(result, dict) and "subtotals" in result:
        result = {**result, "subtotals": sorted(result["subtotals"].items())}
    return ("returned", repr(result))


def test_concurrent_calls_match_serial_calls():
    expected = [outcome(func, args) for func, args in CALLS]
    threads = 8
    rounds = 40
    barrier = threading.Barrier(threads)

    def worker(offset):
        barrier.wait()
        seen = []
        for r in range(rounds):
            k = (offset + r) % len(CALLS)
            seen.append((k, outcome(*CALLS[k])))
        return seen

    with ThreadPoolExecutor(threads) as pool:
        results = list(pool.map(worker, range(threads)))
    for seen in results:
        for k, got in seen:
            assert got == expected[k]
