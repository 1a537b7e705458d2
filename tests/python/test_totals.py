"""py_get_totals and py_reckon_lines: bill totals and the redistribution of
rounding differences."""

from __future__ import annotations

import decimal
import json
import os
import subprocess
import sys
import textwrap
from decimal import ROUND_DOWN, Decimal
from pathlib import Path

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import tallyforge as tf
from conftest import child_timeout, examples, line

decimal.getcontext().prec = 100  # the model sums must never round

NO_LINE = (
    "No line items to distribute difference to. You may be missing a base price line item, "
    "which should be included even if the base price would be zero."
)

# (lines, q, total, discount, subtotals, reckoned total)
TOTALS = {
    "empty": ([], 2, "0.00", "0.00", {}, "0.00"),
    "empty-q0": ([], 0, "0", "0", {}, "0"),
    "smallest-id-takes-the-quantum": (
        [line(1, "0.335"), line(2, "0.335"), line(3, "0.335")], 2,
        "1.00", "0.00", {1: "0.34", 2: "0.33", 3: "0.33"}, "1.00"),
    "percentage-of-lower-tier": (
        [line(1, "100.00"), line(2, "0", 1, "15")], 2, "115.00", "0.00", {1: "100.00", 2: "15.00"}, "115.00"),
    "percentage-in-lowest-tier-is-of-zero": (
        [line(1, "100.00"), line(2, "0", 0, "15")], 2, "100.00", "0.00", {1: "100.00", 2: "0"}, "100.00"),
    "back-into-percentage": (
        [line(1, "100.00"), line(2, "0", 1, "3", back_into_percentage=True)], 2,
        "103.09", "0.00", {1: "100.00", 2: "3.09"}, "103.09"),
    "difference-lands-on-highest-priority": (
        [line(1, "0.335"), line(2, "0.335"), line(3, "1.00", 5)], 2,
        "1.67", "0.00", {1: "0.33", 2: "0.33", 3: "1.01"}, "1.67"),
    "only-candidate-visited-repeatedly": (
        [line(1, "1.00")] + [line(i, "0.009") for i in range(2, 7)], 2,
        "1.04", "0.00", {1: "1.04", **{i: "0.00" for i in range(2, 7)}}, "1.04"),
    "smaller-amount-first": (
        [line(1, "1.00"), line(2, "2.00")] + [line(i, "0.009") for i in range(3, 7)], 2,
        "3.03", "0.00", {1: "1.02", 2: "2.01", **{i: "0.00" for i in range(3, 7)}}, "3.03"),
    "negative-difference-to-negative-line": (
        [line(1, "10.005"), line(2, "-3.007")], 2, "6.99", "-3.00", {1: "10.00", 2: "-3.01"}, "6.99"),
    "frozen-bill": (
        [line(1, "abc", frozen_value="10.5"), line(2, "", percentage="x", frozen_value="-2.255")], 2,
        "8.24", "-2.25", {1: "10.5", 2: "-2.255"}, "8.245"),
    "frozen-bill-ignores-q": (
        [line(1, "abc", frozen_value="10.5"), line(2, frozen_value="-2.255")], 29,
        "8.245", "-2.255", {1: "10.5", 2: "-2.255"}, "8.245"),
    "frozen-without-negative-line": ([line(1, frozen_value="1.00")], 2, "1.00", "0", {1: "1.00"}, "1.00"),
    "partly-frozen-is-computed": (
        [line(1, "5.00", frozen_value="7.00"), line(2, "1.00")], 2, "6.00", "0.00", {1: "5.00", 2: "1.00"}, "6.00"),
    "no-padding": ([line(1, "100")], 2, "100", "0.00", {1: "100"}, "100"),
    "zero-line": ([line(1, "0", percentage="0")], 2, "0.00", "0.00", {1: "0"}, "0.00"),
    "equal-lines-collapse": ([line(1, "-1.00"), line(1, "-1.00")], 2, "-1.00", "-2.00", {1: "-1.00"}, "-1.00"),
    "equal-frozen-lines": (
        [line(1, frozen_value="1.00"), line(1, frozen_value="1.00")], 2, "2.00", "0", {1: "1.00"}, "2.00"),
    "q0": ([line(1, "2.5"), line(2, "2.5")], 0, "5", "0", {1: "3", 2: "2"}, "5"),
    "tiers-ascending-signed": (
        [line(1, "0", 5, "10"), line(2, "50.00", -3)], 2, "55.00", "0.00", {1: "5.00", 2: "50.00"}, "55.00"),
}


@pytest.mark.parametrize("lines, q, total, discount, subtotals, reckoned", TOTALS.values(), ids=TOTALS)
def test_totals_table(lines, q, total, discount, subtotals, reckoned):
    out = tf.py_get_totals(lines, q)
    assert list(out) == ["total", "discount", "subtotals"]
    assert out["total"] == total
    assert out["discount"] == discount
    assert out["subtotals"] == subtotals
    assert tf.py_reckon_lines(lines, q) == reckoned


def test_lines_sharing_an_id_give_one_entry():
    out = tf.py_get_totals([line(1, "1.00"), line(1, "2.00")], 2)
    assert out["total"] == "3.00"
    assert list(out["subtotals"]) == [1] and out["subtotals"][1] in ("1.00", "2.00")


@pytest.mark.parametrize(
    "lines, q, message",
    [
        ([line(1, "1.00"), line(2, "-0.009")], 2, NO_LINE),
        ([line(1, "")], 2, "Invalid decimal: empty"),
        ([line(1, "1", percentage="1,5")], 2, "Invalid decimal: unknown character"),
        # tier order decides which bad text is reported, not input order
        ([line(1, "x", 1), line(2, "1", 0, "")], 2, "Invalid decimal: empty"),
        # a computed bill reads no frozen value, a frozen bill reads nothing else
        ([line(1, "1", frozen_value="x"), line(2, "1")], 2, None),
        ([line(1, "1", frozen_value="1"), line(2, "x", frozen_value="--1")], 2, "Invalid decimal: unknown character"),
    ],
)
def test_totals_errors(lines, q, message):
    if message is None:
        assert tf.py_reckon_lines(lines, q) == "2"
        return
    for func in (tf.py_get_totals, tf.py_reckon_lines):
        with pytest.raises(ValueError) as info:
            func(lines, q)
        assert type(info.value) is ValueError and info.value.args == (message,)


def test_discount_is_taken_before_redistribution():
    # The realistic bill: a price, an add-on, a coupon, a service fee on
    # what came before and a card fee backed into the grown sum.
    lines = [
        line(1, "49.99"),
        line(2, "4.50"),
        line(3, "-5.00"),
        line(4, "0", 100, "10"),
        line(5, "0.30", 200, "2.9", back_into_percentage=True),
    ]
    out = tf.py_get_totals(lines, 2)
    subtotal = sum(Decimal(v) for v in out["subtotals"].values())
    assert Decimal(out["total"]) == subtotal
    assert out["discount"] == "-5.00"
    assert out["subtotals"][4] == "4.94"  # 10 % of 49.49
    # the card fee is 2.9 % of the total it is part of
    total = Decimal(out["total"])
    fee = Decimal(out["subtotals"][5])
    assert abs((fee - Decimal("0.30")) - total * Decimal("0.029")) < Decimal("0.01")


# --- properties -------------------------------------------------------------------


def trunc(value: Decimal, q: int) -> Decimal:
    return value.quantize(Decimal(1).scaleb(-q), rounding=ROUND_DOWN)


amounts = st.builds(
    lambda c, s: Decimal(c).scaleb(-s), st.integers(-(10**7), 10**7), st.integers(0, 4)
)


@settings(max_examples=examples(300))
@given(
    entries=st.lists(st.tuples(st.integers(-2, 3), amounts), max_size=12),
    q=st.integers(0, 3),
)
def test_fixed_amount_bills_against_a_model(entries, q):
    lines = [line(i, format(a, "f"), p) for i, (p, a) in enumerate(entries, start=1)]
    tiers = sorted({p for p, _ in entries})
    total = sum((trunc(sum(a for p, a in entries if p == t), q) for t in tiers), Decimal(0))
    cut = {i: trunc(a, q) for i, (_, a) in enumerate(entries, start=1)}
    difference = total - sum(cut.values())
    sign = (difference > 0) - (difference < 0)
    candidates = [i for i, v in cut.items() if (v > 0) - (v < 0) == sign] if sign else []
    if difference and not candidates:
        with pytest.raises(ValueError, match="^No line items to distribute difference to"):
            tf.py_get_totals(lines, q)
        return
    out = tf.py_get_totals(lines, q)
    assert Decimal(out["total"]) == total
    assert Decimal(out["discount"]) == trunc(sum((a for _, a in entries if a < 0), Decimal(0)), q)
    final = {i: Decimal(v) for i, v in out["subtotals"].items()}
    assert final.keys() == cut.keys()
    assert sum(final.values()) == total
    received = {i: final[i] - cut[i] for i in cut}
    quantum = Decimal(1).scaleb(-q)
    for i, extra in received.items():
        assert extra % quantum == 0
        if extra:  # only a line of the difference's own sign receives quanta
            assert i in candidates and (extra > 0) == (sign > 0)
    if candidates:
        shares = [abs(received[i]) for i in candidates]
        assert max(shares) - min(shares) <= quantum


def model_totals(entries, q):
    """The totals of fixed-amount lines (id, priority, amount), step by step as
    described: equal lines are one line, the difference goes out one quantum
    at a time from the end of a stable sort of the candidates. None when no
    line can take the difference."""
    distinct = list(dict.fromkeys(entries))
    tiers = sorted({p for _, p, _ in distinct})
    total = sum((trunc(sum(a for _, p, a in distinct if p == t), q) for t in tiers), Decimal(0))
    cut = [trunc(a, q) for _, _, a in distinct]
    difference = total - sum(cut)
    positive = difference > 0
    order = [k for k, v in enumerate(cut) if (v > 0 if positive else v < 0)]
    if difference and not order:
        return None
    order.sort(key=lambda k: -distinct[k][0])  # smaller id later
    order.sort(key=lambda k: cut[k], reverse=True)  # smaller amount later
    order.sort(key=lambda k: distinct[k][1], reverse=not positive)  # served tier later
    quantum = Decimal(1).scaleb(-q) * (1 if positive else -1)
    for j in range(int(abs(difference) / abs(quantum))):
        cut[order[len(order) - 1 - j % len(order)]] += quantum
    return total, {distinct[k][0]: cut[k] for k in range(len(distinct))}


@settings(max_examples=examples(400))
@given(
    entries=st.lists(
        st.tuples(st.integers(-3, 6), st.integers(-2, 3), st.sampled_from(
            [Decimal(x) for x in ("0.335", "-0.335", "1.009", "-2.5", "0.001", "7", "-0.004")])),
        max_size=30),
    ascending_ids=st.booleans(),
    q=st.integers(0, 3),
)
def test_who_receives_the_quanta_against_a_model(entries, ascending_ids, q):
    # Shared ids, repeated lines and unordered tiers, or (with ascending ids)
    # none of them: both ways of finding equal lines give the model's result.
    if ascending_ids:
        entries = [(i, p, a) for i, (_, p, a) in enumerate(entries)]
    lines = [line(i, format(a, "f"), p) for i, p, a in entries]
    expected = model_totals(entries, q)
    if expected is None:
        with pytest.raises(ValueError, match="^No line items to distribute difference to"):
            tf.py_get_totals(lines, q)
        return
    out = tf.py_get_totals(lines, q)
    assert Decimal(out["total"]) == expected[0]
    assert {i: Decimal(v) for i, v in out["subtotals"].items()} == expected[1]


percent_lines = st.tuples(
    st.integers(0, 4),  # priority
    amounts,
    st.sampled_from(["0", "15", "2.9", "-10", "33.333", "99.5", "150"]),
    st.booleans(),
)


@settings(max_examples=examples(300))
@given(entries=st.lists(percent_lines, min_size=1, max_size=10), q=st.integers(0, 4))
def test_computed_bills_add_up_exactly(entries, q):
    lines = [
        line(i, format(a, "f"), p, pct, back_into_percentage=back)
        for i, (p, a, pct, back) in enumerate(entries, start=1)
    ]
    try:
        out = tf.py_get_totals(lines, q)
    except ValueError as exc:
        assume(str(exc) != NO_LINE)
        raise
    values = [Decimal(v) for v in out["subtotals"].values()]
    assert sum(values) == Decimal(out["total"])
    assert all(-v.as_tuple().exponent <= q for v in values)
    assert tf.py_reckon_lines(lines, q) == out["total"]


HASHSEED_SCRIPT = textwrap.dedent(
    """
    import json, random
    import tallyforge as tf
    from tallyforge import Account, Category, LineType

    def line(i, amount, priority, percentage="0", back=False):
        return dict(id=i, priority=priority, kind=LineType.AddOn, amount=amount, description=f"line {i}",
                    frozen_value=None, percentage=percentage, category=Category.Payment,
                    destination_user_id=None, destination_account=Account.Escrow, back_into_percentage=back)

    rng = random.Random(20240601)
    results = []
    for n in range(200):
        lines = [line(i, rng.choice(["0.335", "1.00", "-0.335", "2.005", "0.009", "-1.50"]), rng.randint(0, 2),
                      rng.choice(["0", "0", "12.5", "3"]), rng.random() < 0.2) for i in range(rng.randint(1, 9))]
        try:
            out = tf.py_get_totals(lines, rng.randint(0, 3))
            results.append([out["total"], out["discount"], sorted(out["subtotals"].items())])
        except ValueError as exc:
            results.append(str(exc))
    results.append(tf.py_divide_amount("1000.00", 7, 2))
    print(json.dumps(results))
    """
)


@pytest.mark.thread_unsafe(reason="runs three child interpreters")
def test_results_do_not_depend_on_the_hash_seed():
    module_dir = str(Path(tf.__file__).resolve().parent)
    outputs = []
    for seed in ("0", "1", "4242"):
        env = dict(os.environ, PYTHONHASHSEED=seed, PYTHONPATH=module_dir)
        result = subprocess.run(
            [sys.executable, "-c", HASHSEED_SCRIPT], capture_output=True, timeout=child_timeout(120), env=env
        )
        assert result.returncode == 0, result.stderr.decode()
        outputs.append(result.stdout)
    assert outputs[0] == outputs[1] == outputs[2]
    assert len(json.loads(outputs[0])) == 201
