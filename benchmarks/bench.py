"""Per-call timings of the exported functions on representative inputs.

Run with `make bench`. Each case reports the best of several repeats, in
microseconds per call, against a target per call; the exit status is non-zero
when a case misses its target. Targets are generous for a small shared machine
and exist to catch regressions of an order of magnitude (a quadratic step, a
per-call allocation storm), not to rank micro-optimisations.
"""

from __future__ import annotations

import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

import tallyforge as tf  # noqa: E402
from conftest import deliverable_context, line, tip_context  # noqa: E402

SMALL_BILL = [
    line(1, "49.99"),
    line(2, "4.50"),
    line(3, "-5.00"),
    line(4, "0", 1, "10"),
    line(5, "0.30", 2, "2.9", back_into_percentage=True),
]
LARGE_BILL = [line(i, f"{i % 97}.{i % 1000:03d}", (i * 7919) % 65536 - 32768, str(i % 5)) for i in range(1, 2001)]

TIP = tip_context(international=True)
PURCHASE = deliverable_context(escrow_enabled=True, extra_lines=SMALL_BILL)

# name, callable, target in microseconds per call
CASES = [
    ("py_divide_amount 1000.00 / 7", lambda: tf.py_divide_amount("1000.00", 7, 2), 5.0),
    ("py_get_totals, 5 lines", lambda: tf.py_get_totals(SMALL_BILL, 2), 20.0),
    ("py_reckon_lines, 5 lines", lambda: tf.py_reckon_lines(SMALL_BILL, 2), 15.0),
    ("py_get_totals, 2000 lines", lambda: tf.py_get_totals(LARGE_BILL, 2), 5000.0),
    ("py_tip_fee_lines, international", lambda: tf.py_tip_fee_lines(TIP), 20.0),
    ("py_deliverable_lines, escrow", lambda: tf.py_deliverable_lines(PURCHASE), 40.0),
]


def main() -> int:
    failed = 0
    print(f"{'case':40} {'us/call':>10} {'target':>10}")
    for name, call, target in CASES:
        timer = timeit.Timer(call)
        number, _ = timer.autorange()
        best = min(timer.repeat(repeat=5, number=number)) / number * 1e6
        verdict = "ok" if best <= target else "SLOW"
        failed += best > target
        print(f"{name:40} {best:10.2f} {target:10.1f}  {verdict}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
