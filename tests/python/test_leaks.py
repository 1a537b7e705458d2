"""Repeated calls, succeeding and failing, leave no Python objects behind.

Python's allocators are traced, so a reference leaked anywhere in the
conversion, the result or an error path shows up as memory that keeps growing
with the number of calls.
"""

from __future__ import annotations

import gc
import tracemalloc

import pytest

import tallyforge as tf
from conftest import deliverable_context, line, tip_context

pytestmark = pytest.mark.thread_unsafe(reason="traces the memory of the whole process (tracemalloc)")

BILL = [line(1, "100.00"), line(2, "0.335"), line(3, "-0.50", 1), line(4, "0", 2, "3", back_into_percentage=True)]

CALLS = {
    "totals": lambda: tf.py_get_totals(BILL, 2),
    "reckon": lambda: tf.py_reckon_lines(BILL, 2),
    "divide": lambda: tf.py_divide_amount("1000.00", 7, 2),
    "tip": lambda: tf.py_tip_fee_lines(tip_context(international=True)),
    "deliverable": lambda: tf.py_deliverable_lines(deliverable_context(escrow_enabled=True, extra_lines=BILL)),
    "value error": lambda: tf.py_get_totals([line(1, "abc")], 2),
    "panic": lambda: tf.py_divide_amount("10.00", 3, 29),
    "field error": lambda: tf.py_get_totals([*BILL, line(5, 5)], 2),
    "nested error": lambda: tf.py_deliverable_lines(deliverable_context(extra_lines=[line(1, None)])),
    "key error": lambda: tf.py_get_totals([{"id": 1}], 2),
    "binding error": lambda: tf.py_divide_amount("1", 2, 3, source_amount="1"),
    "overflow": lambda: tf.py_get_totals(BILL, -1),
}


def growth(call, rounds: int) -> int:
    def run(n: int) -> None:
        for _ in range(n):
            try:
                call()
            except BaseException:  # noqa: BLE001 - the failing calls are part of the check
                pass

    run(50)  # warm up caches and once-only objects
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run(rounds)
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("name", CALLS)
def test_calls_do_not_leak(name):
    # A single leaked small object per call would show as 2000 * ~50 bytes.
    assert growth(CALLS[name], 2000) < 20_000
