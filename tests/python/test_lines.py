"""py_tip_fee_lines and py_deliverable_lines."""

from __future__ import annotations

import pytest

import tallyforge as tf
from conftest import deliverable_context, line, panic_class, plan, pricing, tip_context
from tallyforge import Account, Category, LineType

NO_LINE = (
    "No line items to distribute difference to. You may be missing a base price line item, "
    "which should be included even if the base price would be zero."
)
BAD_CHAR = "Invalid decimal: unknown character"


def fee(id, kind, priority, category, amount, percentage, account=Account.Fund, **fields):
    return line(id, amount, priority, percentage, kind=kind, category=category, destination_account=account, **fields)


def processing(percentage="2.9", amount="0.30"):
    return fee(-1, LineType.Processing, 300, Category.ProcessingFee, amount, percentage)


def card(back_into, amount="0.30"):
    return fee(-7, LineType.CardFee, 350, Category.ThirdPartyFee, amount, "2.9", back_into_percentage=back_into)


def payout(percentage="0.25"):
    return fee(-9, LineType.PayoutFee, 325, Category.ThirdPartyFee, "0.25", percentage)


CROSS_BORDER = fee(-8, LineType.CrossBorderTransferFee, 325, Category.ThirdPartyFee, "0", "1")
CONNECT = fee(-10, LineType.ConnectFee, 325, Category.ThirdPartyFee, "2.00", "0")
TABLE = fee(-3, LineType.TableService, 400, Category.TableHandling, "0.50", "10", Account.Reserve)
TAX = fee(-4, LineType.Tax, 700, Category.Taxes, "0", "8.25", Account.MoneyHoleStage)


def base(amount="10.00", user=42):
    return fee(-1, LineType.BasePrice, 0, Category.EscrowHold, amount, "0", Account.Escrow, destination_user_id=user)


def shield(percentage="5"):
    return fee(-5, LineType.Shield, 330, Category.ShieldFee, "0.75", percentage)


def tracking(amount="1.00"):
    return fee(-6, LineType.DeliverableTracking, 300, Category.SubscriptionDues, amount, "0")


# --- tip fee lines ----------------------------------------------------------------

TIPS = {
    "domestic": (dict(), [processing(), card(False), payout()]),
    "international": (dict(international=True), [processing("4.4"), card(False), payout(), CROSS_BORDER]),
    "scale-kept": (dict(pricing=pricing(processing_percentage="2.90")), [processing("2.90"), card(False), payout()]),
    "sum-keeps-larger-scale": (
        dict(international=True, pricing=pricing(processing_percentage="2.90", international_conversion_percentage="1.5")),
        [processing("4.40"), card(False), payout(), CROSS_BORDER]),
    "parsed-and-formatted": (
        dict(pricing=pricing(processing_percentage="02.50", international_conversion_percentage="not read")),
        [processing("2.50"), card(False), payout()]),
    "underscores": (
        dict(international=True, pricing=pricing(processing_percentage="1_000", international_conversion_percentage="0")),
        [processing("1000"), card(False), payout(), CROSS_BORDER]),
    "verbatim-copies": (
        dict(pricing=pricing(stripe_payout_percentage="abc", processing_static="0.50", stripe_blended_rate_static=" 0.3 ")),
        [processing(amount="0.50"), card(False, amount=" 0.3 "), payout("abc")]),
    "unused-fields-ignored": (
        dict(quantization=4294967295, pricing=pricing(plans=[], minimum_price="x", table_tax="y",
                                                      stripe_active_account_monthly_fee="z")),
        [processing(), card(False), payout()]),
}


@pytest.mark.parametrize("change, expected", TIPS.values(), ids=TIPS)
def test_tip_fee_lines(change, expected):
    out = tf.py_tip_fee_lines(tip_context(**change))
    assert out == expected
    assert [type(row["back_into_percentage"]) for row in out] == [bool] * len(out)


@pytest.mark.parametrize(
    "change, message",
    [
        (dict(pricing=None, international=True), "Pricing not specified."),
        (dict(pricing=pricing(processing_percentage="abc")), BAD_CHAR),
        (dict(pricing=pricing(processing_percentage="")), "Invalid decimal: empty"),
        (dict(pricing=pricing(processing_percentage="1." + "0" * 29)), "Number has a high precision that can not be represented."),
        (dict(international=True, pricing=pricing(international_conversion_percentage="abc")), BAD_CHAR),
    ],
)
def test_tip_fee_line_errors(change, message):
    with pytest.raises(ValueError) as info:
        tf.py_tip_fee_lines(tip_context(**change))
    assert info.value.args == (message,)


def test_tip_lines_do_not_depend_on_quantization():
    results = [tf.py_tip_fee_lines(tip_context(international=True, quantization=q)) for q in (0, 2, 28, 40)]
    assert all(r == results[0] for r in results)


# --- deliverable lines ------------------------------------------------------------

DISCOUNT = line(20, "-15.00", kind=LineType.Bonus)
EXTRA_BASE = line(21, "20.00", kind=LineType.BasePrice, category=Category.EscrowHold)
FIRST_PLAN_WINS = (plan(name="Other", per_deliverable_price="abc"), plan(per_deliverable_price="1.00"),
                   plan(id=2, per_deliverable_price="2.00"))  # a tuple serves as well as a list

DELIVERABLES = {
    "escrow": (dict(escrow_enabled=True), [base(), shield(), card(True), payout(), CONNECT]),
    "table-wins-over-escrow": (
        dict(table_product=True, escrow_enabled=True, international=True,
             pricing=pricing(plans=[plan(connection_fee_waived=True)])),
        [base(), TABLE, TAX, card(True), payout(), CROSS_BORDER]),
    "international-shield": (
        dict(escrow_enabled=True, international=True),
        [base(), shield("6.5"), card(True), payout(), CROSS_BORDER, CONNECT]),
    "shield-percentage-formatted": (
        dict(escrow_enabled=True, pricing=pricing(plans=[plan(shield_percentage_price="05.0")])),
        [base(), shield("5.0"), card(True), payout(), CONNECT]),
    "tracking": (dict(), [base(), tracking()]),
    "tracking-skipped-for-zero-price": (dict(pricing=pricing(plans=[plan(per_deliverable_price="0.00")])), [base()]),
    "tracking-skipped-for-negative-price": (dict(pricing=pricing(plans=[plan(per_deliverable_price="-1")])), [base()]),
    "zero-total-tracking": (
        dict(base_price="0", escrow_enabled=True, pricing=pricing(plans=[plan(per_deliverable_price="5")])),
        [base("0"), tracking("5")]),
    "zero-total-nothing": (dict(base_price="0", pricing=pricing(plans=[plan(per_deliverable_price="0")])), [base("0")]),
    "zero-total-table-no-fees": (dict(base_price="0", table_product=True), [base("0"), TABLE, TAX]),
    "negative-total-no-fees": (
        dict(escrow_enabled=True, extra_lines=[DISCOUNT]), [base(), tracking(), DISCOUNT]),
    "cut-to-zero-by-quantization": (dict(base_price="0.001", escrow_enabled=True), [base("0.001"), tracking()]),
    "finer-quantization-is-positive": (
        dict(base_price="0.001", escrow_enabled=True, quantization=3),
        [base("0.001"), shield(), card(True), payout(), CONNECT]),
    "extra-base-price-replaces-generated": (
        dict(escrow_enabled=True, extra_lines=[EXTRA_BASE], user_id=-1),
        [shield(), card(True), payout(), CONNECT, EXTRA_BASE]),
    "first-plan-of-that-name": (dict(pricing=pricing(plans=FIRST_PLAN_WINS)), [base(), tracking("1.00")]),
    "conversion-unread-off-shield-path": (
        dict(international=True, pricing=pricing(international_conversion_percentage="abc")), [base(), tracking()]),
    "unused-fields-ignored": (
        dict(user_id=2**63 - 1, pricing=pricing(minimum_price="x", preferred_plan="", processing_percentage="y",
                                              processing_static="z",
                                              plans=[plan(id=-5, max_simultaneous_orders=0, waitlisting=True,
                                                          paypal_invoicing=True)])),
        [base(user=2**63 - 1), tracking()]),
}


@pytest.mark.parametrize("change, expected", DELIVERABLES.values(), ids=DELIVERABLES)
def test_deliverable_lines(change, expected):
    assert tf.py_deliverable_lines(deliverable_context(**change)) == expected


SOFT = []  # soft failure gives an empty list
DELIVERABLE_FAILURES = {
    "no-plan-name": (dict(plan_name=None), "No plan name specified.", SOFT),
    "plan-name-tested-first": (dict(plan_name=None, pricing=None), "No plan name specified.", SOFT),
    "no-pricing": (dict(pricing=None), "Pricing specification not provided.", SOFT),
    "names-are-case-sensitive": (dict(plan_name="pro"), "Could not find pro in plan list.", SOFT),
    "names-are-not-trimmed": (dict(plan_name="Pro "), "Could not find Pro  in plan list.", SOFT),
    "no-plans": (dict(pricing=pricing(plans=[])), "Could not find Pro in plan list.", SOFT),
    "bad-base-price": (dict(base_price="abc"), BAD_CHAR, SOFT),
    "base-price-before-plan-price": (
        dict(base_price="", pricing=pricing(plans=[plan(per_deliverable_price="abc")])), "Invalid decimal: empty", SOFT),
    "bad-plan-price": (dict(pricing=pricing(plans=[plan(per_deliverable_price="abc")])), BAD_CHAR, BAD_CHAR),
    "bad-extra-line": (dict(extra_lines=[line(5, "1,00")]), BAD_CHAR, BAD_CHAR),
    "difference-without-candidate": (dict(extra_lines=[line(5, "-0.009")]), NO_LINE, NO_LINE),
    "bad-shield-percentage": (
        dict(escrow_enabled=True, pricing=pricing(plans=[plan(shield_percentage_price="abc")])), BAD_CHAR, BAD_CHAR),
    "bad-conversion-percentage-on-shield-path": (
        dict(escrow_enabled=True, international=True, pricing=pricing(international_conversion_percentage="5%")),
        BAD_CHAR, BAD_CHAR),
}


@pytest.mark.parametrize("soft", [False, True], ids=["hard", "soft"])
@pytest.mark.parametrize("change, hard_message, soft_outcome", DELIVERABLE_FAILURES.values(), ids=DELIVERABLE_FAILURES)
def test_deliverable_failures(change, hard_message, soft_outcome, soft):
    context = deliverable_context(allow_soft_failure=soft, **change)
    outcome = soft_outcome if soft else hard_message
    if outcome == []:
        assert tf.py_deliverable_lines(context) == []
        return
    with pytest.raises(ValueError) as info:
        tf.py_deliverable_lines(context)
    assert type(info.value) is ValueError and info.value.args == (outcome,)


@pytest.mark.parametrize("soft", [False, True])
def test_deliverable_quantization_beyond_28_places(soft):
    panic = panic_class()
    with pytest.raises(panic) as info:
        tf.py_deliverable_lines(deliverable_context(quantization=29, allow_soft_failure=soft))
    assert info.value.args == ("Scale exceeds the maximum precision allowed: 29 > 28",)
    # The checks before the reckoning still decide first.
    soft_result = tf.py_deliverable_lines(deliverable_context(quantization=29, allow_soft_failure=True, plan_name="x"))
    assert soft_result == []


def test_context_is_not_modified():
    context = deliverable_context(escrow_enabled=True, extra_lines=[line(5, "1.00")])
    snapshot = repr(context)
    tf.py_deliverable_lines(context)
    assert repr(context) == snapshot
