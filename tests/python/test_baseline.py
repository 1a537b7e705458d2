"""The pure-Python baseline of the benchmarks returns, text for text, what the module
returns: on the benchmark's own inputs (as `make bench` checks before timing) and on the
cases where the scale rules show, so that a faster baseline cannot drift from the module
unnoticed between benchmark runs."""

from __future__ import annotations

import decimal
import sys
from pathlib import Path

import pytest

import tallyforge

BENCH = Path(__file__).resolve().parents[2] / "benchmarks"
sys.path.insert(0, str(BENCH))
import baseline  # noqa: E402
import cases  # noqa: E402

sys.path.remove(str(BENCH))

line = cases.line


def frozen(id, value, amount="x"):
    return {**line(id, amount), "frozen_value": value}


BILLS = {
    "empty": [],
    "one tier, tie on amount": [line(1, "0.335"), line(2, "0.335"), line(3, "0.335")],
    "difference to the highest tier": [line(1, "0.335"), line(2, "0.335"), line(3, "1.00", 5)],
    "one candidate visited four times": [line(1, "1.00"), *[line(k, "0.009") for k in range(2, 7)]],
    "negative difference": [line(1, "10.005"), line(2, "-3.007")],
    "percentage of zero in the lowest tier": [line(1, "100.00"), line(2, "0", 0, "15")],
    "percentage of the tier below": [line(1, "100.00"), line(2, "0", 1, "15")],
    "back into": [line(1, "100.00"), line(2, "0", 1, "3", back_into=True)],
    "amounts without places": [line(1, "100"), line(2, "0"), line(3, "5", 1, "10")],
    "zeros of several scales": [line(1, "0.000"), line(2, "0.0"), line(3, "-0.00")],
    "negative amounts with places kept": [line(1, "-1.5"), line(2, "-2.500"), line(3, "10")],
    "trailing zeros beyond the quantization": [line(1, "1.500"), line(2, "2.0000")],
    "duplicate lines": [line(1, "-1.00"), line(1, "-1.00"), line(2, "3.00")],
    "shared id": [line(1, "10.00"), line(2, "2.00"), line(2, "3.00")],
    "sum that cancels": [line(1, "1.25"), line(2, "-1.25"), line(3, "0.5", 1, "10")],
    "small values": [line(1, "0.0000001"), line(2, "0.00000001", 0, "1")],
    "frozen": [frozen(1, "10.5"), frozen(2, "-2.255")],
    "frozen without a negative line": [frozen(1, "1.00"), frozen(2, "2")],
    "partly frozen": [frozen(1, "7.00", "5.00"), line(2, "1.00")],
    "benchmark bill": cases.BILL_8,
    "benchmark bill, 100 lines": cases.bill(100),
}


@pytest.mark.parametrize("q", [0, 2, 3])
@pytest.mark.parametrize("name", BILLS)
def test_totals_are_the_modules(name, q):
    lines = BILLS[name]
    for fn in ("py_get_totals", "py_reckon_lines"):
        try:
            expected = getattr(tallyforge, fn)(lines, q)
        except ValueError as exc:
            with pytest.raises(ValueError, match=str(exc)[:20]):
                getattr(baseline, fn)(lines, q)
            continue
        got = getattr(baseline, fn)(lines, q)
        assert repr(got) == repr(expected) if fn == "py_reckon_lines" else got == expected
        if fn == "py_get_totals":
            assert [repr(got[k]) for k in ("total", "discount")] == [repr(expected[k]) for k in ("total", "discount")]


SPLITS = [
    ("10.00", 3, 2), ("10", 3, 2), ("-10.00", 3, 2), ("1000.00", 7, 2), ("1", 8, 2), ("0.05", 3, 2),
    ("0.01", 3, 2), ("-0.01", 3, 2), ("1", 3, 0), ("10", 4, 2), ("10", 4, 1), ("10", 4, 3), ("10", 5, 2),
    ("10.00", 5, 2), ("100", 8, 2), ("1.500", 2, 2), ("0", 3, 2), ("0.00", 3, 2), ("-0.00", 2, 2),
    ("7", 1, 2), ("1", 16, 4), ("1", 1024, 11), ("0.1", 2, 3), ("1.0", 4, 3), ("20", 4, 0),
    ("1234567.89", 1000, 2), ("1234567.89", 65535, 2), ("1.005", 2, 2), ("1.005", 0, 2), ("10.00", 0, 2),
]


@pytest.mark.parametrize("args", SPLITS, ids=[f"{a}/{d}@{q}" for a, d, q in SPLITS])
def test_splits_are_the_modules(args):
    try:
        expected = tallyforge.py_divide_amount(*args)
    except ValueError as exc:
        with pytest.raises(ValueError, match=str(exc)):
            baseline.py_divide_amount(*args)
        return
    assert baseline.py_divide_amount(*args) == expected


CONTEXTS = {
    "tip abroad": ("py_tip_fee_lines", cases.TIP),
    "tip at home": ("py_tip_fee_lines", {**cases.TIP, "international": False}),
    "purchase": ("py_deliverable_lines", cases.PURCHASE),
    "purchase abroad": ("py_deliverable_lines", {**cases.PURCHASE, "international": True}),
    "table product": ("py_deliverable_lines", {**cases.PURCHASE, "table_product": True}),
    "zero purchase": ("py_deliverable_lines", {**cases.PURCHASE, "base_price": "0", "extra_lines": []}),
    "waived plan": ("py_deliverable_lines", {**cases.PURCHASE, "plan_name": "Basic"}),
}


@pytest.mark.parametrize("name", CONTEXTS)
def test_lines_are_the_modules(name):
    fn, context = CONTEXTS[name]
    assert getattr(baseline, fn)(context) == getattr(tallyforge, fn)(context)



class ClearedByAnotherThread(decimal.Context):
    """The baseline's shared context as a thread sees it while another thread's division
    clears the flags (clear_flags, then divide) between this thread's steps."""

    def divide(self, a, b):
        quotient = super().divide(a, b)
        self.clear_flags()
        return quotient


THREADED = {
    "bill with a fee backed into (1 / 0.971)": ("py_get_totals", (cases.BILL_8, 2)),
    "total backed into": ("py_reckon_lines", (BILLS["back into"], 2)),
    "split": ("py_divide_amount", ("1000.00", 7, 2)),
}


@pytest.mark.parametrize("name", THREADED)
def test_results_do_not_depend_on_the_flags_of_the_shared_context(name, monkeypatch):
    """The thread scaling of the benchmarks runs the baseline in several threads at once, all
    of them on its one context: what it computes must not rest on that context's flags."""
    fn, args = THREADED[name]
    shared = baseline._EXACT
    monkeypatch.setattr(baseline, "_EXACT", ClearedByAnotherThread(
        prec=shared.prec, rounding=shared.rounding, traps=[s for s, on in shared.traps.items() if on]))
    assert getattr(baseline, fn)(*args) == getattr(tallyforge, fn)(*args)
