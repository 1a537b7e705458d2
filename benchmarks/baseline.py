"""The five functions written in plain Python on the standard decimal module.

This is what a careful Python developer would write instead of using the
extension: the same inputs, the same outputs, computed with decimal.Decimal.
It follows the extension's rules wherever they show in the texts it returns
(a product with a zero factor is a zero without places, adding a zero returns
the other operand unchanged, quantizing cuts toward zero and never pads, an
exact quotient keeps the places of its extension), and it handles ordinary
money amounts: it makes no attempt to reproduce what happens at the limits of
the extension's 96-bit coefficient. The benchmark checks that it returns
exactly what the extension returns on every input it times.
"""

from __future__ import annotations

from decimal import ROUND_DOWN, ROUND_HALF_EVEN, Context, Decimal, Inexact

from tallyforge import Account, Category, LineType

# Enough digits for every exact result on money amounts.
_EXACT = Context(prec=60, rounding=ROUND_HALF_EVEN)

_ZERO = Decimal(0)
_ONE = Decimal(1)
_HUNDREDTH = Decimal("0.01")
_QUANTA = [Decimal(1).scaleb(-q) for q in range(29)]
_ZEROS = [Decimal(0).scaleb(-q) for q in range(29)]

_LINE_KEYS = (
    "id",
    "priority",
    "kind",
    "amount",
    "description",
    "frozen_value",
    "percentage",
    "category",
    "destination_user_id",
    "destination_account",
    "back_into_percentage",
)

_NO_CANDIDATES = (
    "No line items to distribute difference to. You may be missing a base price line item, "
    "which should be included even if the base price would be zero."
)


def _add(a: Decimal, b: Decimal) -> Decimal:
    if not a:
        return b
    if not b:
        return a
    return _EXACT.add(a, b)


def _sub(a: Decimal, b: Decimal) -> Decimal:
    if not b:
        return a
    if not a:
        return -b
    return _EXACT.subtract(a, b)


_LIMIT = 1 << 96


def _fit(d: Decimal) -> Decimal:
    """d rounded half to even to the most places, at most 28, at which its
    coefficient stays below 2^96."""
    sign, digits, exponent = d.as_tuple()
    if exponent >= -28 and len(digits) <= 28:
        return d  # 28 digits are always below 2^96
    places = min(-exponent, 28)
    while True:
        r = d.quantize(_QUANTA[places], context=_EXACT)
        if abs(r.scaleb(places, context=_EXACT)) < _LIMIT:
            return r
        places -= 1


def _mul(a: Decimal, b: Decimal) -> Decimal:
    if not a or not b:
        return _ZERO
    return _fit(_EXACT.multiply(a, b))


def _div(a: Decimal, b: Decimal) -> Decimal:
    """a / b with the places the extension's division gives its quotient."""
    if not a:
        return _ZERO
    _EXACT.clear_flags()
    q = _EXACT.divide(a, b)
    if _EXACT.flags[Inexact]:
        return _fit(q)  # as many places as fit
    s = max(b.as_tuple().exponent - a.as_tuple().exponent, 0)
    places = max(-q.normalize(_EXACT).as_tuple().exponent, 0)
    if places <= s:
        return q.quantize(_QUANTA[s], context=_EXACT)
    # Extended nine places at a time; of the zeros so produced all but one are
    # dropped, and one is kept when there were eight.
    extended = s + 9 * -(-(places - s) // 9)
    return q.quantize(_QUANTA[places + (extended - places == 8)], context=_EXACT)


def _positive_zero(d: Decimal) -> Decimal:
    return d.copy_abs() if not d else d


def quantize(value: Decimal, q: int) -> Decimal:
    if -value.as_tuple().exponent <= q:
        return value
    return _positive_zero(value.quantize(_QUANTA[q], rounding=ROUND_DOWN))


def _text(d: Decimal) -> str:
    return format(_positive_zero(d), "f")


def _value_string(d: Decimal, q: int) -> str:
    return _text(quantize(d, q))


# ---------------------------------------------------------------------------
# py_divide_amount


def py_divide_amount(source_amount: str, divisor: int, quantization: int) -> list[str]:
    q = quantization
    amount = _positive_zero(Decimal(source_amount))
    if quantize(amount, q) != amount:
        raise ValueError("Amount is improperly quantized. Cannot divide.")
    if divisor == 0:
        raise ValueError("Cannot divide by zero.")
    count = Decimal(divisor)
    share = quantize(_div(amount, count), q)
    remainder = _sub(amount, quantize(_mul(share, count), q))
    step = _QUANTA[q] if remainder >= 0 else -_QUANTA[q]
    # The first |remainder| / quantum shares take one quantum more.
    extra = int(abs(remainder) / _QUANTA[q])
    bigger = _value_string(_add(share, step), q) if extra else ""
    text = _value_string(share, q)
    return [bigger] * extra + [text] * (divisor - extra)


# ---------------------------------------------------------------------------
# py_get_totals and py_reckon_lines


def _identity(line: dict) -> tuple:
    return (
        line["id"],
        line["priority"],
        int(line["kind"]),
        line["amount"],
        line["description"],
        line["frozen_value"],
        line["percentage"],
        int(line["category"]),
        line["destination_user_id"],
        int(line["destination_account"]),
        line["back_into_percentage"],
    )


def _frozen_totals(lines: list[dict]) -> tuple[Decimal, Decimal, dict]:
    total = _ZERO
    discount = _ZERO
    values: dict[tuple, tuple[dict, Decimal]] = {}
    for line in lines:
        value = _positive_zero(Decimal(line["frozen_value"]))
        total = _add(total, value)
        if value < 0:
            discount = _add(discount, value)
        values[_identity(line)] = (line, value)
    return total, discount, values


def _computed_totals(lines: list[dict], q: int) -> tuple[Decimal, Decimal, dict]:
    zero = _ZEROS[q]
    tiers: dict[int, list[dict]] = {}
    for line in lines:
        tiers.setdefault(line["priority"], []).append(line)

    values: dict[tuple, tuple[dict, Decimal]] = {}
    base = zero
    discount = zero
    for priority in sorted(tiers):
        tier_values: dict[tuple, Decimal] = {}
        for line in tiers[priority]:
            key = _identity(line)
            value = tier_values.get(key)
            if value is None:
                amount = _positive_zero(Decimal(line["amount"]))
                rate = _mul(_HUNDREDTH, _positive_zero(Decimal(line["percentage"])))
                if line["back_into_percentage"]:
                    grown = _add(base, amount)
                    portion = _sub(_mul(grown, _div(_ONE, _sub(_ONE, rate))), grown)
                else:
                    portion = _mul(base, rate)
                value = _add(portion, amount)
                tier_values[key] = value
                values[key] = (line, value)
            if value < 0:
                discount = _add(discount, value)
        tier_sum = zero
        for value in tier_values.values():
            if value:
                tier_sum = _add(tier_sum, value)
        base = _add(base, quantize(tier_sum, q))

    for key, (line, value) in values.items():
        values[key] = (line, quantize(value, q))

    parts = zero
    for _, value in values.values():
        parts = _add(parts, value)
    difference = _sub(base, parts)
    if difference:
        _redistribute(values, difference, q)
    return base, quantize(discount, q), values


def _redistribute(values: dict, difference: Decimal, q: int) -> None:
    positive = difference > 0
    if positive:
        candidates = [key for key, (_, v) in values.items() if v > 0]
        candidates.sort(key=lambda k: (k[1], -values[k][1], -k[0]))
        step = _QUANTA[q]
    else:
        candidates = [key for key, (_, v) in values.items() if v < 0]
        candidates.sort(key=lambda k: (-k[1], -values[k][1], -k[0]))
        step = -_QUANTA[q]
    if not candidates:
        raise ValueError(_NO_CANDIDATES)
    # One quantum per visit, from the last candidate to the first, round after round.
    while difference:
        for key in reversed(candidates):
            if not difference:
                break
            line, value = values[key]
            values[key] = (line, _add(value, step))
            difference = _sub(difference, step)


def _totals(lines: list[dict], q: int) -> tuple[Decimal, Decimal, dict]:
    if lines and all(line["frozen_value"] is not None for line in lines):
        return _frozen_totals(lines)
    return _computed_totals(lines, q)


def py_get_totals(lines: list[dict], quantization: int) -> dict:
    total, discount, values = _totals(lines, quantization)
    return {
        "total": _value_string(total, quantization),
        "discount": _value_string(discount, quantization),
        "subtotals": {line["id"]: _text(value) for line, value in values.values()},
    }


def py_reckon_lines(lines: list[dict], quantization: int) -> str:
    return _text(_totals(lines, quantization)[0])


# ---------------------------------------------------------------------------
# py_tip_fee_lines and py_deliverable_lines


def _line(id, kind, priority, category, account, amount, percentage, user_id=None, back_into=False):
    return {
        "id": id,
        "priority": priority,
        "kind": kind,
        "amount": amount,
        "description": "",
        "frozen_value": None,
        "percentage": percentage,
        "category": category,
        "destination_user_id": user_id,
        "destination_account": account,
        "back_into_percentage": back_into,
    }


def _percentage_text(percentage: str, pricing: dict, international: bool) -> str:
    value = _positive_zero(Decimal(percentage))
    if international:
        value = _add(value, _positive_zero(Decimal(pricing["international_conversion_percentage"])))
    return _text(value)


def _card_fee(pricing: dict, back_into: bool) -> dict:
    return _line(-7, LineType.CardFee, 350, Category.ThirdPartyFee, Account.Fund,
                 pricing["stripe_blended_rate_static"], pricing["stripe_blended_rate_percentage"],
                 back_into=back_into)


def _payout_fee(pricing: dict) -> dict:
    return _line(-9, LineType.PayoutFee, 325, Category.ThirdPartyFee, Account.Fund,
                 pricing["stripe_payout_static"], pricing["stripe_payout_percentage"])


def _cross_border(pricing: dict) -> dict:
    return _line(-8, LineType.CrossBorderTransferFee, 325, Category.ThirdPartyFee, Account.Fund,
                 "0", pricing["stripe_payout_cross_border_percentage"])


def py_tip_fee_lines(context: dict) -> list[dict]:
    pricing = context["pricing"]
    international = context["international"]
    if pricing is None:
        raise ValueError("Pricing not specified.")
    processing = _percentage_text(pricing["processing_percentage"], pricing, international)
    lines = [
        _line(-1, LineType.Processing, 300, Category.ProcessingFee, Account.Fund,
              pricing["processing_static"], processing),
        _card_fee(pricing, False),
        _payout_fee(pricing),
    ]
    if international:
        lines.append(_cross_border(pricing))
    return lines


def py_deliverable_lines(context: dict) -> list[dict]:
    soft = context["allow_soft_failure"]
    plan_name = context["plan_name"]
    pricing = context["pricing"]
    international = context["international"]
    q = context["quantization"]
    extra_lines = [{key: line[key] for key in _LINE_KEYS} for line in context["extra_lines"]]
    if plan_name is None:
        if soft:
            return []
        raise ValueError("No plan name specified.")
    if pricing is None:
        if soft:
            return []
        raise ValueError("Pricing specification not provided.")
    plan = next((p for p in pricing["plans"] if p["name"] == plan_name), None)
    if plan is None:
        if soft:
            return []
        raise ValueError(f"Could not find {plan_name} in plan list.")
    Decimal(context["base_price"])  # only proved to be a number
    per_deliverable = Decimal(plan["per_deliverable_price"])

    result = []
    if not any(int(line["kind"]) == int(LineType.BasePrice) for line in extra_lines):
        result.append(_line(-1, LineType.BasePrice, 0, Category.EscrowHold, Account.Escrow,
                            context["base_price"], "0", user_id=context["user_id"]))
    total = _totals(result + extra_lines, q)[0]
    positive = total > 0

    def fee_lines() -> None:
        result.append(_card_fee(pricing, True))
        result.append(_payout_fee(pricing))
        if international:
            result.append(_cross_border(pricing))
        if not plan["connection_fee_waived"]:
            result.append(_line(-10, LineType.ConnectFee, 325, Category.ThirdPartyFee,
                                Account.Fund, pricing["stripe_active_account_monthly_fee"], "0"))

    def table_lines() -> None:
        result.append(_line(-3, LineType.TableService, 400, Category.TableHandling,
                            Account.Reserve, pricing["table_static"], pricing["table_percentage"]))
        result.append(_line(-4, LineType.Tax, 700, Category.Taxes, Account.MoneyHoleStage,
                            "0", pricing["table_tax"]))

    if positive and context["table_product"]:
        table_lines()
        fee_lines()
    elif positive and context["escrow_enabled"]:
        shield = _percentage_text(plan["shield_percentage_price"], pricing, international)
        result.append(_line(-5, LineType.Shield, 330, Category.ShieldFee, Account.Fund,
                            plan["shield_static_price"], shield))
        fee_lines()
    elif context["table_product"] and not positive:
        table_lines()
    elif per_deliverable > 0:
        result.append(_line(-6, LineType.DeliverableTracking, 300, Category.SubscriptionDues,
                            Account.Fund, plan["per_deliverable_price"], "0"))
    return result + extra_lines
