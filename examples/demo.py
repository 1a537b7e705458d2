"""One checkout through tallyforge, printed as receipts.

A buyer abroad commissions a deliverable from a seller on the "Studio" plan and
pays into escrow. We ask the module for the lines of that purchase, total them
into money, look at the fee lines of a tip the buyer adds, and split the
seller's earnings into monthly payouts. A second, smaller bill shows a
discount and a card fee that is backed into the total.

Run with:  python examples/demo.py
"""

from __future__ import annotations

from decimal import Decimal

import tallyforge
from tallyforge import Account, Category, LineType

CENTS = 2  # quantization: money is cut to two decimal places
WIDTH = 64


def plan(name: str, **terms: object) -> dict:
    """A service plan of the fee schedule."""
    return {
        "id": terms.pop("id"),
        "name": name,
        "connection_fee_waived": terms.pop("connection_fee_waived", False),
        "per_deliverable_price": terms.pop("per_deliverable_price", "0"),
        "max_simultaneous_orders": terms.pop("max_simultaneous_orders", 3),
        "waitlisting": False,
        "paypal_invoicing": False,
        "shield_static_price": terms.pop("shield_static_price", "0.50"),
        "shield_percentage_price": terms.pop("shield_percentage_price", "5"),
    }


# The marketplace's fee schedule. Every amount and percentage is a decimal text;
# percentages are in percent ("2.9" is 2.9 %).
PRICING = {
    "plans": [
        plan("Starter", id=1, per_deliverable_price="0.50", shield_percentage_price="6"),
        plan("Studio", id=2, max_simultaneous_orders=20, shield_static_price="0.25",
             shield_percentage_price="4.5", connection_fee_waived=False),
    ],
    "minimum_price": "5.00",
    "table_percentage": "10",
    "table_static": "0.50",
    "table_tax": "8.25",
    "processing_percentage": "2.5",
    "processing_static": "0.30",
    "international_conversion_percentage": "1.5",
    "preferred_plan": "Studio",
    "stripe_blended_rate_percentage": "2.9",
    "stripe_blended_rate_static": "0.30",
    "stripe_payout_cross_border_percentage": "1",
    "stripe_active_account_monthly_fee": "2.00",
    "stripe_payout_static": "0.25",
    "stripe_payout_percentage": "0.25",
}


def label(line: dict) -> str:
    name = repr(line["kind"]).split(".", 1)[1]
    return f"{name}: {line['description']}" if line["description"] else name


def terms(line: dict) -> str:
    """How a line states its price: a static amount and/or a percentage. A
    percentage marked * is backed into the total the line is part of."""
    parts = []
    if Decimal(line["amount"]) != 0:
        parts.append(line["amount"])
    if Decimal(line["percentage"]) != 0:
        parts.append(line["percentage"] + ("%*" if line["back_into_percentage"] else "%"))
    return " + ".join(parts) or "0"


def print_receipt(title: str, lines: list[dict], totals: dict) -> None:
    print(f" {title} ".center(WIDTH, "="))
    for line in sorted(lines, key=lambda item: item["priority"]):
        amount = totals["subtotals"][line["id"]]
        print(f"  {label(line):<34}{terms(line):>16}{amount:>12}")
    print("-" * WIDTH)
    print(f"  {'of which discounts':<50}{totals['discount']:>12}")
    print(f"  {'TOTAL':<50}{totals['total']:>12}")
    print()


# 1. The lines of the purchase. The module picks the plan by name, adds the
#    base price, a shield (escrow) line and the payment fees for a positive,
#    international purchase, then the caller's own extra lines.
rush = {
    "id": 1, "priority": 0, "kind": LineType.AddOn, "amount": "15.00",
    "description": "rush delivery", "frozen_value": None, "percentage": "0",
    "category": Category.EscrowHold, "destination_user_id": 7001,
    "destination_account": Account.Escrow, "back_into_percentage": False,
}
purchase = tallyforge.py_deliverable_lines({
    "base_price": "120.00",
    "table_product": False,
    "escrow_enabled": True,
    "international": True,
    "extra_lines": [rush],
    "plan_name": "Studio",
    "pricing": PRICING,
    "user_id": 7001,
    "allow_soft_failure": False,
    "quantization": CENTS,
})

print("Lines of the purchase, as the module states them:")
for line in purchase:
    print(f"  id {line['id']:>3}  priority {line['priority']:>3}  {label(line):<24} {terms(line):>14}")
print("  (* backed into the total: the percentage is of the sum that includes the fee)")
print()

# 2. Total them. Each tier of priority takes its percentages of the tiers
#    below it, so the percentage lines become money here; the card fee is
#    backed into the grown sum. Every amount is cut to cents and the cut-off
#    cents are handed out again, so the lines add up to the total exactly.
totals = tallyforge.py_get_totals(purchase, CENTS)
print_receipt("Escrow purchase, Studio plan", purchase, totals)
assert sum(map(Decimal, totals["subtotals"].values())) == Decimal(totals["total"])

# 3. A tip of 20.00 on top. Tip fee lines state their terms only; we total
#    them together with the tip itself.
tip_fees = tallyforge.py_tip_fee_lines({"pricing": PRICING, "international": True, "quantization": CENTS})
tip = dict(rush, id=2, kind=LineType.Tip, amount="20.00", description="thank you", category=Category.TipSend)
tip_totals = tallyforge.py_get_totals([tip, *tip_fees], CENTS)
print_receipt("Tip", [tip, *tip_fees], tip_totals)

# 4. The seller earns the base price and the add-on, less the payout,
#    cross-border and connect fees, and is paid in four monthly instalments.
#    The shares add up to the amount exactly; the first ones carry the odd cents.
sub = {key: Decimal(value) for key, value in totals["subtotals"].items()}
earned = str(sub[-1] + sub[1] - sub[-9] - sub[-8] - sub[-10])
instalments = tallyforge.py_divide_amount(earned, 4, CENTS)
print(f" Payout of {earned} in four instalments ".center(WIDTH, "="))
for month, share in zip(("March", "April", "May", "June"), instalments):
    print(f"  {month:<50}{share:>12}")
print()


# 5. A small everyday bill: a base price, an add-on and a coupon in the first
#    tier; a 10 % service fee on what they come to; and a card fee of
#    0.30 + 2.9 % that is backed into the total, so that 2.9 % of the final
#    total covers it.
def bill_line(id: int, kind: LineType, amount: str, description: str, priority: int = 0,
              percentage: str = "0", back_into: bool = False) -> dict:
    return {
        "id": id, "priority": priority, "kind": kind, "amount": amount, "description": description,
        "frozen_value": None, "percentage": percentage, "category": Category.Payment,
        "destination_user_id": None, "destination_account": Account.Fund,
        "back_into_percentage": back_into,
    }


bill = [
    bill_line(1, LineType.BasePrice, "49.99", "portrait sketch"),
    bill_line(2, LineType.AddOn, "4.50", "extra character"),
    bill_line(3, LineType.Bonus, "-5.00", "coupon SPRING5"),
    bill_line(4, LineType.OtherFee, "0", "service fee", priority=100, percentage="10"),
    bill_line(5, LineType.CardFee, "0.30", "card fee", priority=200, percentage="2.9", back_into=True),
]
print_receipt("Everyday bill", bill, tallyforge.py_get_totals(bill, CENTS))
print("The same bill's total alone:", tallyforge.py_reckon_lines(bill, CENTS))
