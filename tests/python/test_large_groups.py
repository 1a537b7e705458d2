"""Bills where many lines share an id: equal lines are found by hashing once a group of one id
is larger than a handful, and compared field by field below that. Both ways are checked here
against a model of the totals that finds equal lines by comparing every field."""

from __future__ import annotations

import decimal
from decimal import ROUND_DOWN, Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tallyforge as tf
from conftest import examples, line
from tallyforge import Account, Category, LineType

decimal.getcontext().prec = 100  # the model never rounds

NO_LINE = (
    "No line items to distribute difference to. You may be missing a base price line item, "
    "which should be included even if the base price would be zero."
)

FIELDS = ("id", "priority", "kind", "amount", "description", "frozen_value", "percentage",
          "category", "destination_user_id", "destination_account", "back_into_percentage")


def key(l: dict) -> tuple:
    # Enumeration values are not hashable; their integers identify them.
    return tuple(int(l[f]) if f in ("kind", "category", "destination_account") else l[f]
                 for f in FIELDS)


def trunc(value: Decimal, q: int) -> Decimal:
    return value.quantize(Decimal(1).scaleb(-q), rounding=ROUND_DOWN)


def model(lines: list[dict], q: int):
    """(total, discount, {id: the amounts its "subtotals" entry may hold}), or None when no
    line can take the difference; total and discount before they are cut for display. A frozen
    bill takes its values as they stand. Back-into percentages are kept to rates whose
    reciprocal is exact, so that the model's division is the module's."""
    first: dict[tuple, dict] = {}
    for l in lines:
        first.setdefault(key(l), l)
    distinct = list(first.values())
    if all(l["frozen_value"] is not None for l in lines):
        values = [Decimal(l["frozen_value"]) for l in lines]
        allowed_frozen: dict[int, set[Decimal]] = {}
        for l in distinct:
            allowed_frozen.setdefault(l["id"], set()).add(Decimal(l["frozen_value"]))
        return sum(values, Decimal(0)), sum((v for v in values if v < 0), Decimal(0)), allowed_frozen
    value: dict[tuple, Decimal] = {}
    base = Decimal(0)
    discount = Decimal(0)
    for tier in sorted({l["priority"] for l in lines}):
        for l in (l for l in lines if l["priority"] == tier):
            a = Decimal(l["amount"])
            rate = Decimal(l["percentage"]) / 100
            if l["back_into_percentage"]:
                grown = base + a
                p = grown / (1 - rate) - grown
            else:
                p = base * rate
            v = p + a
            value[key(l)] = v
            if v < 0:
                discount += v  # every line, equal ones too
        base += trunc(sum((value[key(l)] for l in distinct if l["priority"] == tier), Decimal(0)), q)
    cut = [trunc(value[key(l)], q) for l in distinct]
    difference = base - sum(cut)
    positive = difference > 0
    cands = [k for k, c in enumerate(cut) if (c > 0 if positive else c < 0)]
    allowed: dict[int, set[Decimal]] = {}
    final: list[set[Decimal]] = [{c} for c in cut]
    if difference:
        if not cands:
            return None
        quantum = Decimal(1).scaleb(-q) * (1 if positive else -1)
        # The order of the hand-out: served last first; the last `extra` get one more quantum.
        # Candidates tied in priority, amount and id may stand in either order.
        def rank(k):
            l = distinct[k]
            return (l["priority"] if positive else -l["priority"], -cut[k], -l["id"])
        ranked = sorted(cands, key=rank)
        count = int(abs(difference) / abs(quantum))
        each, extra = divmod(count, len(ranked))
        for k in cands:
            tied = [j for j, c in enumerate(ranked) if rank(c) == rank(k)]
            gets = {each + (1 if j >= len(ranked) - extra else 0) for j in tied}
            final[k] = {cut[k] + n * quantum for n in gets}
    for k, l in enumerate(distinct):
        allowed.setdefault(l["id"], set()).update(final[k])
    return base, discount, allowed


def check(lines: list[dict], q: int) -> dict:
    expected = model(lines, q)
    if expected is None:
        with pytest.raises(ValueError) as info:
            tf.py_get_totals(lines, q)
        assert info.value.args == (NO_LINE,)
        return {}
    total, discount, allowed = expected
    out = tf.py_get_totals(lines, q)
    assert Decimal(out["total"]) == trunc(total, q)
    assert Decimal(out["discount"]) == trunc(discount, q)
    assert out["subtotals"].keys() == allowed.keys()
    for i, text in out["subtotals"].items():
        assert Decimal(text) in allowed[i], (i, text, allowed[i])
    assert Decimal(tf.py_reckon_lines(lines, q)) == total
    return out


# A line of id 7 against a lower tier of 10.00, and one variant of it for each field.
BASE = dict(id=7, amount="1.25", priority=1, percentage="0", description="fee",
            destination_user_id=None, back_into_percentage=False)
VARIANTS = {
    "id": {"id": 8},
    "priority": {"priority": 2},
    "kind": {"kind": LineType.Tip},
    "amount": {"amount": "-2.50"},
    "description": {"description": "fee "},
    "frozen_value": {"frozen_value": "1.25"},
    "percentage": {"percentage": "20"},
    "category": {"category": Category.EscrowHold},
    "destination_user_id": {"destination_user_id": 0},
    "destination_account": {"destination_account": Account.Card},
    "back_into_percentage": {"back_into_percentage": True},
}
FLOOR = line(1, "10.00", 0)


def base(**changes) -> dict:
    return line(**{**BASE, **changes})


def copies(n: int, **changes) -> list[dict]:
    return [base(**changes) for _ in range(n)]


def amounts(n: int, id: int = 1, start: int = 0, step: str = "1.00") -> list[dict]:
    return [line(id, format(Decimal(step) * (start + i), "f")) for i in range(n)]


BILLS = {
    # twenty lines of id 1 worth 0.00 to 19.00, and a copy of one of them
    "distinct-amounts-and-a-copy": (amounts(20) + [line(1, "7.00")], 2),
    "distinct-amounts-reversed": (amounts(20)[::-1] + amounts(3), 2),
    **{f"{n}-copies": (copies(n) + [FLOOR], 2) for n in (16, 17, 40)},
    "each-field-differs-once": ([FLOOR] + copies(17) + [base(**v) for v in VARIANTS.values()], 2),
    # each variant twice, between copies of the line: the later equal line takes the earlier's place
    "variants-interleaved-twice": (
        [FLOOR] + [l for v in VARIANTS.values() for l in (base(), base(**v), base(), base(**v))], 2),
    "negative-copies-count-in-the-discount": (copies(18, amount="-0.335") + [FLOOR, base()], 2),
    "two-groups-alternating": (
        [l for i in range(20) for l in (line(3, "0.335"), line(1, f"{i % 4}.005"))], 2),
    "group-quanta-among-tied-lines": (
        [line(5, "0.335", description=f"{i % 6}") for i in range(24)] + [line(2, "1.009")], 2),
    "near-duplicates-by-one-field-at-q3": (
        [FLOOR] + [base(**{"description": d, **v}) for v in VARIANTS.values() for d in ("a", "b", "a")], 3),
}


@pytest.mark.parametrize("lines, q", BILLS.values(), ids=BILLS)
def test_large_groups_against_the_model(lines, q):
    check(lines, q)


@pytest.mark.parametrize(
    "lines, total, discount, subtotals",
    [
        (amounts(20) + [line(1, "7.00")], "190.00", "0.00", None),
        (copies(17, amount="-1.00"), "-1.00", "-17.00", {7: "-1.00"}),
        ([FLOOR] + copies(17) + [base(**v) for v in VARIANTS.values() if "amount" not in v],
         # 10.00, nine lines of 1.25 in tier 1, 1.25 + 20 % of 10.00, and 1.25 in tier 2
         "25.75", "0.00", None),
    ],
    ids=["issue-example", "copies-collapse", "variants-are-distinct"],
)
def test_large_groups_by_hand(lines, total, discount, subtotals):
    out = tf.py_get_totals(lines, 2)
    assert (out["total"], out["discount"]) == (total, discount)
    if subtotals is not None:
        assert out["subtotals"] == subtotals


pool = st.sampled_from(
    [base()] + [base(**v) for v in VARIANTS.values()]
    + [base(amount="0.335"), base(amount="-0.337", id=9), line(9, "2.009", 1), FLOOR])


@settings(max_examples=examples(150))
@given(lines=st.lists(pool, min_size=1, max_size=60), q=st.integers(0, 3))
def test_random_bills_of_few_ids_against_the_model(lines, q):
    check(lines, q)
