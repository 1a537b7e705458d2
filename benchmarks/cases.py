"""The inputs the benchmarks time, shared by the timing, the output checks, the
instruction counts, the memory check and the thread scaling; and the comparison of
outputs they all use."""

from __future__ import annotations

from tallyforge import Account, Category, LineType


def line(id, amount, priority=0, percentage="0", kind=LineType.AddOn, back_into=False):
    return {
        "id": id,
        "priority": priority,
        "kind": kind,
        "amount": amount,
        "description": f"item {id}",
        "frozen_value": None,
        "percentage": percentage,
        "category": Category.Payment,
        "destination_user_id": 1000 + id,
        "destination_account": Account.Escrow,
        "back_into_percentage": back_into,
    }


# Eight lines in three tiers: items (one with a third place, one discount), a tax
# and a service charge on them, and a card fee backed into the grown sum.
BILL_8 = [
    line(1, "49.99", kind=LineType.BasePrice),
    line(2, "4.50"),
    line(3, "12.345"),
    line(4, "-5.00", kind=LineType.Bonus),
    line(5, "0.99"),
    line(6, "0", 1, "8.25", kind=LineType.Tax),
    line(7, "1.00", 1, "10", kind=LineType.TableService),
    line(8, "0.30", 2, "2.9", kind=LineType.CardFee, back_into=True),
]


def bill(n: int) -> list[dict]:
    """n lines shaped like BILL_8: items in the lowest tier (every seventh a
    discount, every third with a third place), then the same three charges."""
    items = []
    for i in range(1, n - 2):
        whole, cents = (i * 37) % 500, (i * 7919) % 1000
        if i % 3:
            amount = f"{whole}.{cents // 10:02d}"
        else:
            amount = f"{whole}.{cents:03d}"
        items.append(line(i, "-" + amount if i % 7 == 0 else amount))
    return items + [
        line(n + 1, "0", 1, "8.25", kind=LineType.Tax),
        line(n + 2, "1.00", 1, "10", kind=LineType.TableService),
        line(n + 3, "0.30", 2, "2.9", kind=LineType.CardFee, back_into=True),
    ]


def plan(name="Pro", waived=False):
    return {
        "id": 1,
        "name": name,
        "connection_fee_waived": waived,
        "per_deliverable_price": "1.00",
        "max_simultaneous_orders": 5,
        "waitlisting": False,
        "paypal_invoicing": False,
        "shield_static_price": "0.75",
        "shield_percentage_price": "5",
    }


PRICING = {
    "plans": [plan("Basic", True), plan("Pro"), plan("Studio", True)],
    "minimum_price": "5.00",
    "table_percentage": "10",
    "table_static": "0.50",
    "table_tax": "8.25",
    "processing_percentage": "2.9",
    "processing_static": "0.30",
    "international_conversion_percentage": "1.5",
    "preferred_plan": "Pro",
    "stripe_blended_rate_percentage": "2.9",
    "stripe_blended_rate_static": "0.30",
    "stripe_payout_cross_border_percentage": "1",
    "stripe_active_account_monthly_fee": "2.00",
    "stripe_payout_static": "0.25",
    "stripe_payout_percentage": "0.25",
}

TIP = {"pricing": PRICING, "international": True, "quantization": 2}

PURCHASE = {
    "base_price": "120.00",
    "table_product": False,
    "escrow_enabled": True,
    "international": False,
    "extra_lines": [
        line(11, "15.00", kind=LineType.AddOn),
        line(12, "-10.00", kind=LineType.Bonus),
        line(13, "4.995", 1, "5", kind=LineType.Extra),
    ],
    "plan_name": "Pro",
    "pricing": PRICING,
    "user_id": 42,
    "allow_soft_failure": False,
    "quantization": 2,
}

BILL_SIZES = (10, 100, 1_000, 10_000, 100_000)
SPLIT_SIZES = (10, 100, 1_000, 10_000, 65_535)
SPLIT_AMOUNT = "1234567.89"


def python_cases(quick: bool) -> list[tuple[str, str, tuple]]:
    """(case name, function name, arguments): the table of the issue, then the
    scaling series. Quick mode leaves out the largest sizes."""
    cases = [
        ("get_totals 8 lines", "py_get_totals", (BILL_8, 2)),
        ("reckon_lines 8 lines", "py_reckon_lines", (BILL_8, 2)),
        ("get_totals 500 lines", "py_get_totals", (bill(500), 2)),
        ("get_totals 5000 lines", "py_get_totals", (bill(5000), 2)),
        ("divide 1000.00 / 7", "py_divide_amount", ("1000.00", 7, 2)),
        ("divide 1234567.89 / 1000", "py_divide_amount", ("1234567.89", 1000, 2)),
        ("tip_fee_lines international", "py_tip_fee_lines", (TIP,)),
        ("deliverable_lines escrow + 3", "py_deliverable_lines", (PURCHASE,)),
    ]
    for n in BILL_SIZES:
        if quick and n > 10_000:
            continue
        cases.append((f"get_totals {n} lines", "py_get_totals", (bill(n), 2)))
    for n in SPLIT_SIZES:
        if quick and n > 10_000:
            continue
        cases.append((f"divide into {n} shares", "py_divide_amount", (SPLIT_AMOUNT, n, 2)))
    return cases


def fresh(obj):
    """A copy of an input made of new objects, as the parsed input of a request is: dicts,
    lists, texts of more than one character and integers outside the interpreter's cache
    are new. The dict keys stay the literal (interned) names the code spells, and the value
    objects, True, False and None stay the process-wide ones."""
    kind = type(obj)
    if kind is dict:
        return {k: fresh(v) for k, v in obj.items()}
    if kind is list:
        return [fresh(x) for x in obj]
    if kind is tuple:
        return tuple(fresh(x) for x in obj)
    if kind is str:
        return obj.encode().decode() if len(obj) > 1 else obj
    if kind is int:
        return int(str(obj))
    return obj


# ---------------------------------------------------------------------------
# Comparing outputs


def same(a, b) -> bool:
    """Equal values of equal types, texts byte for byte, dict keys in any order."""
    if type(a) is not type(b) and not (hasattr(a, "__int__") and hasattr(b, "__int__")):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, str):
        return a.encode() == b.encode()
    return a == b


def shape(x):
    if isinstance(x, dict):
        return ("dict", tuple(x), tuple(shape(v) for v in list(x.values())[:50]), len(x))
    if isinstance(x, list):
        return ("list", tuple(shape(v) for v in x[:50]), len(x))
    return type(x).__name__
