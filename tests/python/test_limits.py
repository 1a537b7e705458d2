"""Exactness at the limit of the 96-bit type, interrupts that pass through,
value objects that copy and pickle, and failures that say where they arose."""

from __future__ import annotations

import copy
import decimal
import pickle
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tallyforge as tf
from conftest import deliverable_context, examples, line, plan, pricing, tip_context
from tallyforge import Account, Category, LineType

CANNOT_REDISTRIBUTE = "Rounding difference cannot be distributed at this quantization."
NO_LINE = "No line items to distribute difference to."
NOT_DIVISIBLE = "Amount cannot be divided into shares at this quantization."
EXACT = decimal.Context(prec=200)

# --- exact sums -------------------------------------------------------------------


@pytest.mark.parametrize(
    "amounts, q",
    [
        (["1000000000", "0.00000000000000000001"], 20),
        (["1000", "0.0000000000000000000000000001"], 28),
        (["-1000", "-0.0000000000000000000000000001"], 28),
    ],
)
def test_bill_whose_exact_sum_needs_more_than_96_bits_is_refused(amounts, q):
    lines = [line(i, a) for i, a in enumerate(amounts, start=1)]
    for call in (tf.py_get_totals, tf.py_reckon_lines):
        with pytest.raises(ValueError) as info:
            call(lines, q)
        assert info.value.args == (CANNOT_REDISTRIBUTE,)
        assert info.value.__notes__ == ["lines"]


def test_split_whose_running_sum_passes_96_bits_is_returned():
    share = "3961408125713216879677.1975168"
    assert tf.py_divide_amount("19807040628566084398385.987584", 5, 28) == [share] * 5


big_amount = st.builds(
    lambda c, s: Decimal(c).scaleb(-s, EXACT), st.integers(-(2**96) + 1, 2**96 - 1), st.integers(0, 28)
)


@settings(max_examples=examples(300))
@given(amounts=st.lists(big_amount, min_size=1, max_size=5), q=st.integers(0, 28))
def test_bills_at_the_limit_add_up_or_fail(amounts, q):
    """Whatever the amounts, a bill that is returned adds up exactly."""
    lines = [line(i, format(a, "f")) for i, a in enumerate(amounts, start=1)]
    try:
        out = tf.py_get_totals(lines, q)
    except ValueError as exc:
        assert str(exc) == CANNOT_REDISTRIBUTE or str(exc).startswith(NO_LINE)
        return
    except BaseException as exc:  # an overflow of the type itself is a panic
        assert type(exc).__name__ == "PanicException"
        return
    parts = [Decimal(v) for v in out["subtotals"].values()]
    exact = Decimal(0)
    for part in parts:
        exact = EXACT.add(exact, part)
    assert exact == Decimal(out["total"])
    assert len(parts) == len(amounts)


@settings(max_examples=examples(300))
@given(
    coefficient=st.integers(1, 2**96 - 1),
    scale=st.integers(0, 28),
    divisor=st.integers(1, 1000),
    q=st.integers(0, 28),
)
def test_every_split_into_exact_shares_is_returned(coefficient, scale, divisor, q):
    share = Decimal(coefficient).scaleb(-scale, EXACT)
    amount = EXACT.multiply(share, divisor)
    digits = amount.normalize(EXACT)
    places = max(0, -digits.as_tuple().exponent)
    if places > min(q, 28) or abs(digits.scaleb(places, EXACT)) >= 2**96 or scale > q:
        return  # not a valid amount at this quantization, or a share with too many places
    shares = tf.py_divide_amount(format(digits, "f"), divisor, q)
    assert [Decimal(s) for s in shares] == [share] * divisor


# --- interrupts pass through --------------------------------------------------------


class Raises:
    """An object whose special methods raise the given exception."""

    def __init__(self, exc: type[BaseException], inner: object = None) -> None:
        self.exc, self.inner = exc, inner

    def __index__(self) -> int:
        raise self.exc("from __index__")


class LenRaises(list):
    exc: type[BaseException] = KeyboardInterrupt

    def __len__(self) -> int:
        raise self.exc("from __len__")


class ItemRaises(dict):
    def __init__(self, data: dict, key: str, exc: type[BaseException]) -> None:
        super().__init__(data)
        self.key, self.exc = key, exc

    def __getitem__(self, key: str) -> object:
        if key == self.key:
            raise self.exc("from __getitem__")
        return super().__getitem__(key)


def _len_raises(exc):
    lines = LenRaises([line()])
    lines.exc = exc
    return lambda: tf.py_get_totals(lines, 2)


INTERRUPT_SITES = {
    "len of lines": _len_raises,
    "field of a line": lambda exc: lambda: tf.py_get_totals([ItemRaises(line(), "amount", exc)], 2),
    "integer field": lambda exc: lambda: tf.py_get_totals([line(priority=Raises(exc))], 2),
    "extra line": lambda exc: lambda: tf.py_deliverable_lines(
        deliverable_context(extra_lines=[ItemRaises(line(), "kind", exc)])
    ),
    "plan of the pricing": lambda exc: lambda: tf.py_tip_fee_lines(
        tip_context(pricing=pricing(plans=[ItemRaises(plan(), "name", exc)]))
    ),
    "argument": lambda exc: lambda: tf.py_divide_amount("1.00", Raises(exc), 2),
    "enum comparison": lambda exc: lambda: Account.Fund == Raises(exc),
}


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("site", INTERRUPT_SITES.values(), ids=INTERRUPT_SITES)
def test_exceptions_that_are_not_exceptions_pass_through(site, exc):
    with pytest.raises(exc) as info:
        site(exc)()
    assert info.value.args == (f"from {str(info.value).split()[-1]}",)
    assert info.value.__cause__ is None
    assert not hasattr(info.value, "__notes__")


def test_ordinary_exceptions_keep_their_handling():
    lines = LenRaises([line(1, "1.00")])
    lines.exc = ValueError
    assert tf.py_reckon_lines(lines, 2) == "1.00"  # a failing length only sizes nothing
    assert (Account.Fund == Raises(ValueError)) is False
    with pytest.raises(TypeError) as info:
        tf.py_get_totals([line(priority=Raises(RuntimeError))], 2)
    assert str(info.value) == "argument 'lines': failed to extract field LineItem.priority"
    assert type(info.value.__cause__) is RuntimeError
    with pytest.raises(RuntimeError) as info:  # the item access itself: unchanged
        tf.py_get_totals([ItemRaises(line(), "amount", RuntimeError)], 2)
    assert info.value.args == ("from __getitem__",) and info.value.__notes__ == ["lines[0]"]


# --- copy and pickle ------------------------------------------------------------------

VALUES = [getattr(cls, name) for cls in (LineType, Account, Category) for name in vars(cls) if name[0].isupper()]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_value_objects_pickle_to_themselves(protocol):
    assert len(VALUES) == 57
    assert all(pickle.loads(pickle.dumps(v, protocol)) is v for v in VALUES)


def test_value_objects_copy_to_themselves_and_lines_copy_like_data():
    assert all(copy.copy(v) is v and copy.deepcopy(v) is v for v in VALUES)
    lines = tf.py_deliverable_lines(deliverable_context(escrow_enabled=True))
    assert copy.deepcopy(lines) == lines
    assert pickle.loads(pickle.dumps(lines)) == lines
    assert pickle.loads(pickle.dumps(lines))[0]["kind"] is LineType.BasePrice
    assert tf.py_get_totals(copy.deepcopy(lines), 2) == tf.py_get_totals(lines, 2)


@pytest.mark.parametrize("args", [("Account", 99999), ("Nope", 313), ("Account",), (1, 313)])
def test_restoring_an_unknown_value_fails_cleanly(args):
    with pytest.raises((ValueError, TypeError)):
        tf._enum_value(*args)


# --- failures say where -----------------------------------------------------------------

BAD_PLAN = pricing(plans=[plan(), plan(name=5)])
NOTES = {
    "bad amount in a long bill": (
        lambda: tf.py_get_totals([line(i, "1.00") for i in range(312)] + [line(312, "2,00")], 2),
        ValueError,
        "lines[312].amount: '2,00'",
    ),
    "bad percentage": (lambda: tf.py_reckon_lines([line(1, "1", 0, "x%")], 2), ValueError, "lines[0].percentage: 'x%'"),
    "bad frozen value": (
        lambda: tf.py_get_totals([line(1, frozen_value="1"), line(2, frozen_value="")], 2),
        ValueError,
        "lines[1].frozen_value: ''",
    ),
    "missing key": (lambda: tf.py_get_totals([line(), line(), line(), {"id": 1}], 2), KeyError, "lines[3]"),
    "field of wrong type": (lambda: tf.py_get_totals([line(), line(amount=5)], 2), TypeError, "lines[1].amount"),
    "list of str": (lambda: tf.py_get_totals("abc", 2), TypeError, "lines"),
    "integer out of range": (lambda: tf.py_divide_amount("1", 70000, 2), OverflowError, "divisor"),
    "quantization of wrong type": (lambda: tf.py_reckon_lines([], "2"), TypeError, "quantization"),
    "improperly quantized": (
        lambda: tf.py_divide_amount("1.005", 3, 2),
        ValueError,
        "source_amount: '1.005'",
    ),
    "divide by zero": (lambda: tf.py_divide_amount("1", 0, 2), ValueError, "divisor"),
    "extra line amount": (
        lambda: tf.py_deliverable_lines(deliverable_context(extra_lines=[line(1, "1"), line(2, "")])),
        ValueError,
        "provided_lines_context.extra_lines[1].amount: ''",
    ),
    "extra line type": (
        lambda: tf.py_deliverable_lines(deliverable_context(extra_lines=[line(1, "1"), line(2, kind=3)])),
        TypeError,
        "provided_lines_context.extra_lines[1].kind",
    ),
    "plan name type": (
        lambda: tf.py_tip_fee_lines(tip_context(pricing=BAD_PLAN)),
        TypeError,
        "provided_lines_context.pricing.plans[1].name",
    ),
    "missing plan": (
        lambda: tf.py_deliverable_lines(deliverable_context(plan_name="Team")),
        ValueError,
        "provided_lines_context.plan_name: 'Team'",
    ),
    "pricing absent": (
        lambda: tf.py_tip_fee_lines(tip_context(pricing=None)),
        ValueError,
        "provided_lines_context.pricing",
    ),
    "processing percentage": (
        lambda: tf.py_tip_fee_lines(tip_context(pricing=pricing(processing_percentage="2.9.1"))),
        ValueError,
        "provided_lines_context.pricing.processing_percentage: '2.9.1'",
    ),
    "shield percentage": (
        lambda: tf.py_deliverable_lines(
            deliverable_context(escrow_enabled=True, pricing=pricing(plans=[plan(name="A"), plan(shield_percentage_price="?")]))
        ),
        ValueError,
        "provided_lines_context.pricing.plans[1].shield_percentage_price: '?'",
    ),
    "base price": (
        lambda: tf.py_deliverable_lines(deliverable_context(base_price="ten")),
        ValueError,
        "provided_lines_context.base_price: 'ten'",
    ),
}


@pytest.mark.parametrize("call, exc_type, note", NOTES.values(), ids=NOTES)
def test_failures_note_where_they_arose(call, exc_type, note):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    assert info.value.__notes__ == [note]


def test_notes_leave_type_args_and_cause_as_they_were():
    with pytest.raises(TypeError) as info:
        tf.py_get_totals([line(amount=5)], 2)
    assert info.value.args == ("argument 'lines': failed to extract field LineItem.amount",)
    assert str(info.value.__cause__) == "'int' object is not an instance of 'str'"
    assert not hasattr(info.value.__cause__, "__notes__")
    with pytest.raises(ValueError) as info:
        tf.py_divide_amount("ten", 2, 2)
    assert info.value.args == ("Invalid decimal: unknown character",)


def test_a_difference_no_line_can_take_is_refused():
    # At 27 places the tier's rounding leaves a difference for the line of 25 integer
    # digits, which cannot hold another quantum: refused, never handed out inexactly.
    bill = [line(1, "0", 1, "33.333"), line(2, "5136956864715894534380849.029", 2, "150"),
            line(3, "441.322144115321807375363642", 0, "99.99")]
    for func in (tf.py_get_totals, tf.py_reckon_lines):
        with pytest.raises(ValueError) as info:
            func(bill, 27)
        assert info.value.args == ("Rounding difference cannot be distributed at this quantization.",)
