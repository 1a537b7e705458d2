"""The five functions written in plain Python on the standard decimal module.

This is what a careful Python developer would write instead of using the
extension: the same inputs, the same outputs, computed with decimal.Decimal,
and written for speed as such a developer would write it (the common cases
take the short road: a line without a percentage is its amount, a share is
worked out on whole quanta). It follows the extension's rules wherever they
show in the texts it returns (a product with a zero factor is a zero without
places, adding a zero returns the other operand unchanged, quantizing cuts
toward zero and never pads, an exact quotient keeps the places of its
extension), and it handles ordinary money amounts: it makes no attempt to
reproduce what happens at the limits of the extension's 96-bit coefficient.
The benchmark checks that it returns exactly what the extension returns on
every input it times, and tests/python/test_baseline.py does on more.
"""

from __future__ import annotations

import decimal
from decimal import ROUND_DOWN, ROUND_HALF_EVEN, Context, Decimal, Inexact
from operator import itemgetter

from tallyforge import Account, Category, LineType

# Enough digits for every exact result on money amounts.
_EXACT = Context(prec=60, rounding=ROUND_HALF_EVEN, traps=[decimal.InvalidOperation, decimal.DivisionByZero])
# The same, raising Inexact: a division learns whether its quotient is exact from its own
# signal, not from the flags of a context that every thread shares (and clears).
_EXACT_OR_RAISE = Context(prec=60, rounding=ROUND_HALF_EVEN,
                          traps=[decimal.InvalidOperation, decimal.DivisionByZero, Inexact])

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
_line_values = itemgetter(*_LINE_KEYS)
# The fields of a line's identity that hash as they are; the enumeration values do not
# hash, and count by their integers.
_plain_fields = itemgetter("id", "priority", "amount", "description", "frozen_value", "percentage",
                           "destination_user_id", "back_into_percentage")

_NO_CANDIDATES = (
    "No line items to distribute difference to. You may be missing a base price line item, "
    "which should be included even if the base price would be zero."
)


def _num(text: str) -> Decimal:
    d = Decimal(text)
    return d if d else d.copy_abs()  # no negative zero


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


# |value| below _LIMITS[p]: its coefficient at p places is below 2^96.
_LIMITS = [Decimal(1 << 96).scaleb(-p) for p in range(29)]


def _fit(d: Decimal) -> Decimal:
    """d rounded half to even to the most places, at most 28, at which its
    coefficient stays below 2^96; unchanged when it already has such a form."""
    places = 28 if d.adjusted() < 0 else min(28, 28 - d.adjusted())
    while True:
        r = d.quantize(_QUANTA[places], context=_EXACT)
        if abs(r) < _LIMITS[places]:
            break
        places -= 1
    # Equal to r with fewer places (a smaller exponent sorts first): d already fits.
    return d if r == d and r.compare_total_mag(d) < 0 else r


def _mul(a: Decimal, b: Decimal) -> Decimal:
    if not a or not b:
        return _ZERO
    return _fit(_EXACT.multiply(a, b))


def _extended_places(q: Decimal, s: int) -> int:
    """The places the extension gives an exact quotient q whose dividend had s places more
    than its divisor: s when q ends there, otherwise extended nine places at a time, of
    which all zeros but one are dropped (one is kept when there were eight)."""
    places = max(-q.normalize(_EXACT).as_tuple().exponent, 0)
    if places <= s:
        return s
    extended = s + 9 * -(-(places - s) // 9)
    return places + (extended - places == 8)


def _div(a: Decimal, b: Decimal) -> Decimal:
    """a / b with the places the extension's division gives its quotient."""
    if not a:
        return _ZERO
    try:
        q = _EXACT_OR_RAISE.divide(a, b)
    except Inexact:
        return _fit(_EXACT.divide(a, b))  # as many places as fit
    s = max(b.as_tuple().exponent - a.as_tuple().exponent, 0)
    return q.quantize(_QUANTA[_extended_places(q, s)], context=_EXACT)


def quantize(value: Decimal, q: int) -> Decimal:
    """value cut toward zero to q places; a value with fewer places is kept as it is."""
    quantum = _QUANTA[q]
    if value.same_quantum(quantum):
        return value  # already q places: the common case
    cut = value.quantize(quantum, rounding=ROUND_DOWN, context=_EXACT)
    if cut == value:
        # Nothing but zeros cut off, or nothing cut at all: a cut that padded (its
        # exponent is below the value's) gives the value back unpadded.
        return value if cut.compare_total_mag(value) < 0 else cut
    return cut if cut else _ZEROS[q]


def _text(d: Decimal) -> str:
    text = str(d)
    if "E" in text:  # str() writes very small and integral-exponent values with one
        text = format(d, "f")
    return text


def _value_string(d: Decimal, q: int) -> str:
    return _text(quantize(d, q))


# ---------------------------------------------------------------------------
# py_divide_amount


def py_divide_amount(source_amount: str, divisor: int, quantization: int) -> list[str]:
    q = quantization
    amount = _num(source_amount)
    quantum = _QUANTA[q]
    # Properly quantized: nothing beyond place q but zeros.
    units = amount.scaleb(q, context=_EXACT)
    if units != units.to_integral_value(rounding=ROUND_DOWN):
        raise ValueError("Amount is improperly quantized. Cannot divide.")
    if divisor == 0:
        raise ValueError("Cannot divide by zero.")
    if not amount:
        return ["0"] * divisor  # a quotient of zero has no places
    # On whole quanta: each share takes the quotient cut toward zero, and the first
    # shares one quantum more each until the remainder is spent.
    whole = int(units)
    share, extra = divmod(abs(whole), divisor)
    if extra == 0:
        # Exact: the quotient keeps the places of the extension's division, cut to q.
        exact = _EXACT.divide(amount, divisor)
        s = max(-amount.as_tuple().exponent, 0)
        places = min(_extended_places(exact, s), q)
        text = _text(exact.quantize(_QUANTA[places], context=_EXACT))
        return [text] * divisor
    negative = whole < 0
    small = _text(_EXACT.multiply(Decimal(-share if negative else share), quantum))
    big = _text(_EXACT.multiply(Decimal(-share - 1 if negative else share + 1), quantum))
    return [big] * extra + [small] * (divisor - extra)


# ---------------------------------------------------------------------------
# py_get_totals and py_reckon_lines


def _identity(line: dict) -> tuple:
    return (_plain_fields(line), int(line["kind"]), int(line["category"]), int(line["destination_account"]))


def _keys(lines: list[dict]):
    """The key by which each line counts once: its id when no two lines share one (lines
    equal in every field share their id), otherwise the whole line."""
    ids = [line["id"] for line in lines]
    if len(set(ids)) == len(ids):
        return ids
    return [_identity(line) for line in lines]


def _frozen_totals(lines: list[dict]) -> tuple[Decimal, Decimal, dict]:
    total = _ZERO
    discount = _ZERO
    values: dict = {}
    for key, line in zip(_keys(lines), lines):
        value = _num(line["frozen_value"])
        total = _add(total, value)
        if value < _ZERO:
            discount = _add(discount, value)
        values[key] = (line, value)
    return total, discount, values


def _computed_totals(lines: list[dict], q: int) -> tuple[Decimal, Decimal, dict, Decimal]:
    """The total, the discount cut to q places, each distinct line with its value cut to q
    places, and the sum of those cut values."""
    zero = _ZEROS[q]
    add = _EXACT.add
    tiers: dict[int, list] = {}
    for key, line in zip(_keys(lines), lines):
        priority = line["priority"]
        tier = tiers.get(priority)
        if tier is None:
            tiers[priority] = [(key, line)]
        else:
            tier.append((key, line))

    values: dict = {}
    base = zero
    discount = zero
    parts = []
    for priority in sorted(tiers):
        tier_sum = zero
        for key, line in tiers[priority]:
            seen = values.get(key)
            if seen is not None:  # the same line again: counted once, but in the discount
                if seen[2].is_signed():
                    discount = _add(discount, seen[2])
                continue
            text = line["amount"]
            value = Decimal(text)
            if not value:
                value = value.copy_abs()  # no negative zero
            percentage_text = line["percentage"]
            if percentage_text != "0" and (percentage := _num(percentage_text)):
                # Values with many places: summed in the exact context.
                value = _add(_portion(base, value, percentage, percentage_text, line, q), value)
                cut = quantize(value, q)
                if value:
                    tier_sum = _add(tier_sum, value)
                    if value.is_signed():
                        discount = _add(discount, value)
            else:
                # A line without a percentage is its amount, with as many places as written:
                # money, which the default context adds exactly. Adding to a zero gives the
                # other operand, places and all.
                if "." not in text or (len(text) - text.index(".") <= q + 1 and "_" not in text):
                    cut = value  # at most q places: nothing to cut
                else:
                    cut = quantize(value, q)
                if value:
                    tier_sum = tier_sum + value if tier_sum else value
                    if value.is_signed():
                        discount = discount + value if discount else value
            values[key] = (line, cut, value)
            parts.append(cut)
        base = _add(base, quantize(tier_sum, q))
    return base, quantize(discount, q), values, sum(parts, _ZERO)


def _portion(base: Decimal, amount: Decimal, percentage: Decimal, text: str, line: dict, q: int) -> Decimal:
    """What a line's percentage adds to its amount on the base of the lower tiers."""
    if len(text) > 26:
        rate = _mul(_HUNDREDTH, percentage)  # may need rounding to 28 places
    else:
        rate = percentage.scaleb(-2)
    if line["back_into_percentage"]:
        grown = _add(base, amount)
        return _sub(_mul(grown, _div(_ONE, _sub(_ONE, rate))), grown)
    if not base:
        return _ZERO
    portion = _EXACT.multiply(base, rate)
    # base has at most q places, rate at most len(text) + 2: only long texts can go past 28.
    return _fit(portion) if q + len(text) > 26 else portion


def _candidates(cut: dict, positive: bool) -> list:
    if positive:
        return [key for key, (_, v) in cut.items() if v > _ZERO]
    return [key for key, (_, v) in cut.items() if v < _ZERO]


def _redistribute(cut: dict, difference: Decimal, q: int) -> None:
    positive = difference > _ZERO
    candidates = _candidates(cut, positive)
    if not candidates:
        raise ValueError(_NO_CANDIDATES)
    # Sorted so that the last is served first: the highest priority for a positive
    # difference (the lowest for a negative one), then the smallest amount, then the
    # smallest id.
    sign = 1 if positive else -1
    candidates.sort(key=lambda k: (sign * cut[k][0]["priority"], -cut[k][1], -cut[k][0]["id"]))
    step = _QUANTA[q] if positive else -_QUANTA[q]
    # One quantum per visit, from the last candidate to the first, round after round.
    while difference:
        for key in reversed(candidates):
            if not difference:
                break
            line, value = cut[key]
            cut[key] = (line, value + step)
            difference -= step


def _is_frozen(lines: list[dict]) -> bool:
    return bool(lines) and all(line["frozen_value"] is not None for line in lines)


def py_get_totals(lines: list[dict], quantization: int) -> dict:
    q = quantization
    if _is_frozen(lines):
        total, discount, values = _frozen_totals(lines)
        total, discount = quantize(total, q), quantize(discount, q)
    else:
        # A computed total and discount are already cut to q places.
        total, discount, exact, parts = _computed_totals(lines, q)
        values = {key: (line, cut) for key, (line, cut, _) in exact.items()}
        difference = total - parts
        if difference:
            _redistribute(values, difference, q)
    subtotals = {}
    for line, value in values.values():
        text = str(value)
        subtotals[line["id"]] = text if "E" not in text else format(value, "f")
    return {"total": _text(total), "discount": _text(discount), "subtotals": subtotals}


def _reckon(lines: list[dict], q: int) -> Decimal:
    """The total alone; it fails where py_get_totals would, on a difference that no line
    can take, without handing the difference out."""
    if _is_frozen(lines):
        return _frozen_totals(lines)[0]
    total, _, values, parts = _computed_totals(lines, q)
    difference = total - parts
    if difference:
        sign = difference > _ZERO
        if not any((cut > _ZERO if sign else cut < _ZERO) for _, cut, _ in values.values()):
            raise ValueError(_NO_CANDIDATES)
    return total


def py_reckon_lines(lines: list[dict], quantization: int) -> str:
    return _text(_reckon(lines, quantization))


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
    value = _num(percentage)
    if international:
        value = _add(value, _num(pricing["international_conversion_percentage"]))
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
    extra_lines = [dict(zip(_LINE_KEYS, _line_values(line))) for line in context["extra_lines"]]
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
    if not any(line["kind"] == LineType.BasePrice for line in extra_lines):
        result.append(_line(-1, LineType.BasePrice, 0, Category.EscrowHold, Account.Escrow,
                            context["base_price"], "0", user_id=context["user_id"]))
    positive = _reckon(result + extra_lines, q) > 0

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
