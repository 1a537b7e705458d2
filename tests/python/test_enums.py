"""The enumeration classes LineType, Account and Category."""

from __future__ import annotations

import operator

import pytest

import tallyforge as tf
from conftest import NEEDS_NUMPY, np, tip_context
from tallyforge import Account, Category, LineType

VALUES = {
    Account: dict(
        Card=300, PayoutAccount=301, Escrow=302, Holdings=303, Reserve=304,
        UnprocessedEarnings=305, CardTransactionFees=306, CardMiscFees=307,
        BankTransferFees=308, BankMiscFees=309, MoneyHoleStage=310, MoneyHole=311,
        FraudLoss=312, Fund=313, PayoutExtract=314, CashDeposit=407,
        PayoutMirrorSource=500, PayoutMirrorDestination=501,
    ),
    Category: dict(
        ShieldFee=400, EscrowHold=401, EscrowRelease=402, EscrowRefund=403,
        SubscriptionDues=404, SubscriptionRefund=405, CashWithdrawal=406,
        ThirdPartyFee=408, PremiumBonus=409, InternalTransfer=410,
        ThirdPartyRefunds=411, Correction=412, TableHandling=413, Taxes=414,
        ExtraItem=415, VendorPayment=416, PayoutReversal=417, ProcessingFee=418,
        TipSend=419, Payment=420, TopUp=421,
    ),
    LineType: dict(
        BasePrice=0, AddOn=1, Shield=2, Bonus=3, Tip=4, TableService=5, Tax=6,
        Extra=7, PremiumSubscription=8, OtherFee=9, DeliverableTracking=10,
        Processing=11, Reconciliation=12, CardFee=13, CrossBorderTransferFee=14,
        PayoutFee=15, ConnectFee=16, Bogus=1234,
    ),
}

DOCS = {
    Account: "Distinct accounts that line items may deposit into.",
    Category: "Categories for transactions. LineItems refer to these in order to make\n"
    "bundling them and creating later transactions easier.",
    LineType: "Line item types. Line items can have different types that explain their\n"
    "purpose. Some line items are the base price of a product/deliverable,\n"
    "some are extras, and some are various fees like shield or cross-border\n"
    "transfer fees.",
}

ALL_VALUES = [(cls, name, number) for cls, table in VALUES.items() for name, number in table.items()]
CLASSES = list(VALUES)


def test_there_are_57_values():
    assert len(ALL_VALUES) == 57


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_attributes_in_declaration_order(cls):
    declared = [name for name, value in vars(cls).items() if type(value) is cls]
    assert declared == list(VALUES[cls])


@pytest.mark.parametrize("cls, name, number", ALL_VALUES, ids=lambda v: getattr(v, "__name__", str(v)))
def test_value_int_repr_and_equality(cls, name, number):
    value = getattr(cls, name)
    assert type(value) is cls
    assert int(value) == number and type(int(value)) is int
    assert repr(value) == str(value) == f"{cls.__name__}.{name}"
    assert value == number and number == value
    assert not (value != number)
    assert value == Index(number)
    assert value is getattr(cls, name)


@NEEDS_NUMPY
@pytest.mark.parametrize("cls, name, number", ALL_VALUES, ids=lambda v: getattr(v, "__name__", str(v)))
def test_value_equals_numpy_integer(cls, name, number):
    assert getattr(cls, name) == np.int64(number)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_properties(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__name__ in ("Account", "Category", "LineType")
    assert cls.__doc__ == DOCS[cls]
    assert cls.__bases__ == (object,)
    assert cls.__hash__ is None
    assert getattr(tf, cls.__name__) is cls


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (Account.CashDeposit, 407, True),
        (LineType.AddOn, True, True),
        (LineType.BasePrice, False, True),
        (Account.Card, Account.Card, True),
        (Account.Card, Account.Fund, False),
        (Account.Card, 300.0, False),
        (Account.Card, "300", False),
        (Account.Card, -1, False),
        (Account.Card, 65836, False),  # no wrapping past 16 bits
        (Account.Card, 2**70, False),
        (Account.Card, None, False),
        (LineType.Tax, Category.Taxes, False),  # 6 vs 414, different classes
        (LineType.Bogus, Account.Card, False),
        (LineType.Tip, Index(4), True),
        (LineType.Tip, Index(5), False),
    ],
)
def test_comparison_table(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)
    assert (right == left) is equal


def test_no_category_shares_an_account_integer():
    assert all(int(getattr(Category, n)) != 407 for n in VALUES[Category])
    assert Account.CashDeposit != Category.ThirdPartyFee


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [Account.Fund, 1000])
def test_no_ordering(op, other):
    with pytest.raises(TypeError):
        op(Account.Card, other)


@pytest.mark.parametrize(
    "action",
    [
        lambda: hash(Account.Card),
        lambda: {Account.Card},
        lambda: {LineType.Tip: 1},
        lambda: Account(),
        lambda: LineType(0),
        lambda: type("Sub", (Category,), {}),
        lambda: [10, 20][LineType.AddOn],  # __int__ but no __index__
        lambda: operator.index(Account.Card),
    ],
)
def test_refused_operations(action):
    with pytest.raises(TypeError):
        action()


def test_instantiation_message_and_no_instance_dict():
    with pytest.raises(TypeError, match=r"^cannot create 'builtins\.Account' instances$"):
        Account()
    with pytest.raises(AttributeError):
        LineType.Tip.note = "x"


def test_returned_lines_use_the_class_value_objects():
    out = tf.py_tip_fee_lines(tip_context())
    assert out[0]["kind"] is LineType.Processing
    assert out[0]["category"] is Category.ProcessingFee
    assert all(row["destination_account"] is Account.Fund for row in out)


@pytest.mark.thread_unsafe(reason="rebinds an attribute of a class every thread uses (monkeypatch)")
def test_rebinding_a_class_attribute_does_not_change_results(monkeypatch):
    original = LineType.CardFee
    monkeypatch.setattr(LineType, "CardFee", LineType.Bogus)
    out = tf.py_tip_fee_lines(tip_context())
    assert out[1]["kind"] is original
    assert repr(out[1]["kind"]) == "LineType.CardFee"


class _OwnEquality(int):
    def __eq__(self, other):
        return "own"

    __hash__ = int.__hash__


@pytest.mark.parametrize("number, expected", [(-1, "own"), (-65532, "own"), (70000, "own"), (4, True)])
def test_integers_out_of_range_leave_equality_to_the_other_side(number, expected):
    # Not a value of any enumeration: the comparison is the other operand's to make.
    assert (LineType.Tip == _OwnEquality(number)) == expected


@pytest.mark.parametrize("number", [2**70, -(2**70)])
def test_restore_function_refuses_numbers_beyond_a_long(number):
    restore = LineType.Tip.__reduce__()[0]
    with pytest.raises(OverflowError):
        restore("Category", number)


@pytest.mark.parametrize("args", [(), ("LineType",), (4, "LineType"), ("LineType", 4, 5)])
def test_restore_function_refuses_other_arguments(args):
    restore = LineType.Tip.__reduce__()[0]
    with pytest.raises(TypeError) as info:
        restore(*args)
    assert str(info.value) == "_enum_value() takes a class name and an integer"
