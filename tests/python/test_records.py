"""Reading line, pricing, plan and context dictionaries, and writing lines back."""

from __future__ import annotations

import decimal
import types

import pytest

import tallyforge as tf
from conftest import (
    DELIVERABLE_KEYS,
    LINE_KEYS,
    MISSING,
    NEEDS_NUMPY,
    PLAN_KEYS,
    PRICING_KEYS,
    TIP_KEYS,
    cause_chain,
    deliverable_context,
    line,
    np,
    numpy_case,
    plan,
    pricing,
    tip_context,
)
from tallyforge import Account, Category, LineType

OVERFLOW = "out of range integral type conversion attempted"
NOT_STR = "'int' object is not an instance of 'str'"


class RecordingDict(dict):
    """A dict that logs the keys looked up through item access."""

    def __init__(self, log, *args):
        super().__init__(*args)
        self.log = log

    def __getitem__(self, key):
        self.log.append(key)
        return super().__getitem__(key)


# --- LineItem ---------------------------------------------------------------

LINE_FIELD_FAILURES = [
    ("id", "1", TypeError, "'str' object cannot be interpreted as an integer"),
    ("id", 2**31, OverflowError, OVERFLOW),
    ("id", 2**64, OverflowError, None),
    ("priority", 32768, OverflowError, OVERFLOW),
    ("priority", 1.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("kind", 0, TypeError, "'int' object is not an instance of 'LineType'"),
    ("kind", Category.Taxes, TypeError, "'Category' object is not an instance of 'LineType'"),
    ("amount", 5, TypeError, NOT_STR),
    ("amount", decimal.Decimal("2.5"), TypeError, "'Decimal' object is not an instance of 'str'"),
    ("amount", "\ud800", UnicodeEncodeError, None),
    ("description", None, TypeError, "'None' is not an instance of 'str'"),
    ("percentage", b"1", TypeError, "'bytes' object is not an instance of 'str'"),
    ("category", Account.Card, TypeError, "'Account' object is not an instance of 'Category'"),
    ("destination_user_id", "42", TypeError, "'str' object cannot be interpreted as an integer"),
    ("destination_user_id", 2**63, OverflowError, None),
    ("destination_account", LineType.BasePrice, TypeError, "'LineType' object is not an instance of 'Account'"),
    ("back_into_percentage", 1, TypeError, "'int' object is not an instance of 'bool'"),
    ("back_into_percentage", None, TypeError, "'None' is not an instance of 'bool'"),
]


@pytest.mark.parametrize("field, value, cause_type, cause_text", LINE_FIELD_FAILURES)
def test_line_field_errors(field, value, cause_type, cause_text):
    lines = [line(1, "1.00"), {**line(2, "2.00"), field: value}]
    with pytest.raises(TypeError) as info:
        tf.py_get_totals(lines, 2)
    (top_type, top), (cause_t, cause) = cause_chain(info.value)[:2]
    assert (top_type, top) == (TypeError, f"argument 'lines': failed to extract field LineItem.{field}")
    assert cause_t is cause_type
    if cause_text is not None:
        assert cause == cause_text


def test_fields_are_read_in_declaration_order_and_stop_at_first_failure():
    log = []
    tf.py_reckon_lines([RecordingDict(log, line())], 2)
    assert log == list(LINE_KEYS)
    # kind comes before amount: the kind error wins
    with pytest.raises(TypeError, match=r"(?m)LineItem\.kind$"):
        tf.py_reckon_lines([line(kind=0, amount=5)], 2)
    log.clear()
    with pytest.raises(KeyError):
        tf.py_reckon_lines([RecordingDict(log, line(percentage=MISSING))], 2)
    assert log == list(LINE_KEYS[: LINE_KEYS.index("percentage") + 1])


def test_missing_key_raises_keyerror_unchanged_and_first_bad_element_wins():
    lines = [line(1), line(2), line(3, percentage=MISSING)]
    with pytest.raises(KeyError) as info:
        tf.py_get_totals(lines, 2)
    assert type(info.value) is KeyError and info.value.args == ("percentage",)
    assert info.value.__cause__ is None
    with pytest.raises(TypeError, match=r"(?m)LineItem\.kind$"):
        tf.py_get_totals([line(1), line(2, kind=1), line(3, percentage=MISSING)], 2)


@pytest.mark.parametrize(
    "field, value",
    [
        ("id", 2**31 - 1), ("id", -(2**31)),
        ("priority", 32767), ("priority", -32768),
        ("destination_user_id", 2**63 - 1), ("destination_user_id", -(2**63)),
        numpy_case(lambda: ("back_into_percentage", np.bool_(False)), 2),
        ("description", "naïve ☕ text"),
    ],
)
def test_line_boundary_values_accepted(field, value):
    out = tf.py_get_totals([{**line(7, "1.00"), field: value}], 2)
    assert out["total"] == "1.00"
    assert list(out["subtotals"].values()) == ["1.00"]


@NEEDS_NUMPY
def test_numpy_bool_reads_as_a_bool():
    def total(flag):
        return tf.py_reckon_lines([line(1, "100.00"), line(2, "0", 1, "3", back_into_percentage=flag)], 2)

    assert total(np.bool_(True)) == total(True) == "103.09"
    assert total(np.bool_(False)) == total(False) == "103.00"


@pytest.mark.parametrize(
    "lines",
    [
        (line(1, "1.00"), line(2, "2.00")),
        [types.MappingProxyType(line(1, "1.00")), line(2, "2.00")],
        [{**line(1, "1.00"), "note": object()}, line(2, "2.00")],
    ],
    ids=["tuple", "mapping-proxy", "extra-key"],
)
def test_other_sequences_and_mappings_are_read(lines):
    assert tf.py_get_totals(lines, 2) == tf.py_get_totals([line(1, "1.00"), line(2, "2.00")], 2)


def test_sequence_with_failing_len_is_still_iterated():
    class Lines:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            return self.items[i]

    assert tf.py_reckon_lines(Lines([line(1, "1.00"), line(2, "0.50")]), 2) == "1.50"


def test_failure_of_iteration_itself_reaches_caller():
    class Lines(list):
        def __iter__(self):
            yield line(1, "1.00")
            raise LookupError("iteration broke")

    with pytest.raises(LookupError, match="iteration broke"):
        tf.py_reckon_lines(Lines([line()]), 2)


def test_lines_round_trip_through_extra_lines():
    first = line(10, "2.50", 5, kind=LineType.Extra, description="gift wrap", category=Category.ExtraItem)
    second = line(11, "0", 6, "1.5", frozen_value="", destination_user_id=-3, back_into_percentage=True)
    shuffled = dict(reversed(list(second.items())))
    shuffled["unread"] = 1
    extras = [first, shuffled]
    out = tf.py_deliverable_lines(deliverable_context(extra_lines=extras))
    tail = out[-2:]
    assert tail == [first, second]
    assert [list(row) for row in tail] == [list(LINE_KEYS)] * 2  # declaration order, extra key dropped
    assert type(tail[1]["back_into_percentage"]) is bool
    assert tail[1]["frozen_value"] == ""  # present and empty, not absent
    assert tail[0] is not first
    tail[0]["amount"] = "999"
    assert first["amount"] == "2.50"
    again = tf.py_deliverable_lines(deliverable_context(extra_lines=extras))
    assert again[-2]["amount"] == "2.50"


def test_written_lines_are_separate_dicts_with_their_own_texts():
    extras = [line(1, "1.00", description=text) for text in ("", "x", "gift wrap", "café ☕", "\x7f\x80")]
    out = tf.py_deliverable_lines(deliverable_context(escrow_enabled=True, extra_lines=extras))
    assert out[-len(extras):] == extras
    assert [list(row) for row in out] == [list(LINE_KEYS)] * len(out)
    out[0]["amount"] = "999"
    out[0]["added"] = 1
    assert all(row["amount"] != "999" and "added" not in row for row in out[1:])


def test_empty_frozen_value_is_present_not_absent():
    with pytest.raises(ValueError, match="(?m)^Invalid decimal: empty$"):
        tf.py_get_totals([line(1, "1.00", frozen_value="")], 2)


# --- pricing, plans and contexts -------------------------------------------------

P = "argument 'provided_lines_context': "
TIP_PRICING = (TypeError, P + "failed to extract field TipLinesContext.pricing")
PLANS = (TypeError, "failed to extract field Pricing.plans")

NESTED_FAILURES = [
    ("tip", dict(pricing=pricing(plans=[plan(), plan(name=5)])), [
        TIP_PRICING, PLANS, (TypeError, "failed to extract field ServicePlan.name"), (TypeError, NOT_STR)]),
    ("tip", dict(pricing=pricing(plans="Pro")), [TIP_PRICING, PLANS, (TypeError, "Can't extract `str` to `Vec`")]),
    ("tip", dict(pricing=pricing(plans={"Pro": plan()})), [
        TIP_PRICING, PLANS, (TypeError, "'dict' object is not an instance of 'Sequence'")]),
    ("tip", dict(pricing=pricing(plans=[plan(waitlisting=MISSING)])), [TIP_PRICING, PLANS, (KeyError, "'waitlisting'")]),
    ("tip", dict(pricing=pricing(plans=[plan(max_simultaneous_orders=65536)])), [
        TIP_PRICING, PLANS, (TypeError, "failed to extract field ServicePlan.max_simultaneous_orders"),
        (OverflowError, OVERFLOW)]),
    ("tip", dict(pricing=pricing(plans=[plan(connection_fee_waived=0)])), [
        TIP_PRICING, PLANS, (TypeError, "failed to extract field ServicePlan.connection_fee_waived"),
        (TypeError, "'int' object is not an instance of 'bool'")]),
    ("tip", dict(pricing=pricing(processing_static=2.5)), [
        TIP_PRICING, (TypeError, "failed to extract field Pricing.processing_static"),
        (TypeError, "'float' object is not an instance of 'str'")]),
    ("tip", dict(pricing=pricing(minimum_price=MISSING)), [TIP_PRICING, (KeyError, "'minimum_price'")]),
    ("tip", dict(international=1), [
        (TypeError, P + "failed to extract field TipLinesContext.international"),
        (TypeError, "'int' object is not an instance of 'bool'")]),
    ("tip", dict(quantization=-1), [
        (TypeError, P + "failed to extract field TipLinesContext.quantization"), (OverflowError, OVERFLOW)]),
    ("tip", dict(international=MISSING), [(KeyError, "'international'")]),
    ("deliverable", dict(extra_lines=[line(amount=5)]), [
        (TypeError, P + "failed to extract field DeliverableLinesContext.extra_lines"),
        (TypeError, "failed to extract field LineItem.amount"), (TypeError, NOT_STR)]),
    ("deliverable", dict(extra_lines=[line(kind=MISSING)]), [
        (TypeError, P + "failed to extract field DeliverableLinesContext.extra_lines"), (KeyError, "'kind'")]),
    ("deliverable", dict(extra_lines="abc"), [
        (TypeError, P + "failed to extract field DeliverableLinesContext.extra_lines"),
        (TypeError, "Can't extract `str` to `Vec`")]),
    ("deliverable", dict(plan_name=5), [
        (TypeError, P + "failed to extract field DeliverableLinesContext.plan_name"), (TypeError, NOT_STR)]),
    ("deliverable", dict(pricing=pricing(plans=[plan(per_deliverable_price=None)])), [
        (TypeError, P + "failed to extract field DeliverableLinesContext.pricing"), PLANS,
        (TypeError, "failed to extract field ServicePlan.per_deliverable_price"),
        (TypeError, "'None' is not an instance of 'str'")]),
    ("deliverable", dict(user_id=2**63), [
        (TypeError, P + "failed to extract field DeliverableLinesContext.user_id"), (OverflowError, None)]),
    ("deliverable", dict(allow_soft_failure=None), [
        (TypeError, P + "failed to extract field DeliverableLinesContext.allow_soft_failure"),
        (TypeError, "'None' is not an instance of 'bool'")]),
    ("deliverable", dict(base_price=MISSING, quantization=-1), [(KeyError, "'base_price'")]),
]


@pytest.mark.parametrize("which, change, expected", NESTED_FAILURES)
def test_nested_context_errors(which, change, expected):
    func, build = {
        "tip": (tf.py_tip_fee_lines, tip_context),
        "deliverable": (tf.py_deliverable_lines, deliverable_context),
    }[which]
    with pytest.raises((TypeError, KeyError)) as info:
        func(build(**change))
    chain = cause_chain(info.value)
    assert len(chain) == len(expected)
    for (got_type, got_text), (want_type, want_text) in zip(chain, expected):
        assert got_type is want_type
        if want_text is not None:
            assert got_text == want_text


@pytest.mark.parametrize(
    "context, start",
    [(None, "'NoneType' object is not subscriptable"), ([], "list indices must be integers")],
)
def test_context_without_item_access(context, start):
    with pytest.raises(TypeError) as info:
        tf.py_deliverable_lines(context)
    assert str(info.value).startswith(P + start)


@pytest.mark.parametrize(
    "build, func, keys",
    [
        (lambda log: RecordingDict(log, tip_context()), tf.py_tip_fee_lines, TIP_KEYS),
        (lambda log: RecordingDict(log, deliverable_context()), tf.py_deliverable_lines, DELIVERABLE_KEYS),
        (lambda log: tip_context(pricing=RecordingDict(log, pricing())), tf.py_tip_fee_lines, PRICING_KEYS),
        (lambda log: tip_context(pricing=pricing(plans=[RecordingDict(log, plan())])), tf.py_tip_fee_lines, PLAN_KEYS),
    ],
)
def test_records_read_keys_in_declaration_order(build, func, keys):
    log = []
    func(build(log))
    assert log == list(keys)
