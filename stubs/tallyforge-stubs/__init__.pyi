"""Exact decimal money arithmetic for billing: bill totals, fee lines and amount splitting.

Amounts cross this interface as decimal texts (``str``) in both directions;
nothing is computed in binary floating point.

Exceptions a caller can meet:

- ``ValueError``: the data cannot be computed (a text that is no decimal
  number, a missing pricing, an amount that cannot be divided, ...); its only
  argument is the message.
- ``TypeError``, ``KeyError``, ``OverflowError``: an argument does not have the
  expected shape (wrong type, missing key, integer out of range).
- ``PanicException``: an internal failure (arithmetic overflow, a quantization
  above 28 places). It derives from ``BaseException``, not ``Exception``, and is
  not an attribute of this module, so it is not declared here; catch it with
  ``except BaseException`` and check ``type(exc).__name__ == "PanicException"``.
"""

from collections.abc import Sequence
from typing import ClassVar, TypedDict, final

__version__: str
"""The package version, the same text as ``importlib.metadata.version("tallyforge")``."""

__all__ = [
    "py_get_totals",
    "py_reckon_lines",
    "py_divide_amount",
    "py_deliverable_lines",
    "py_tip_fee_lines",
    "LineType",
    "Account",
    "Category",
]

# ---------------------------------------------------------------------------
# Enumerations. The only instances are the class attributes below; the classes
# cannot be instantiated or subclassed, their values compare equal to their
# integers (and to objects with ``__index__``), have no ordering and are not
# hashable.
# ---------------------------------------------------------------------------

@final
class LineType:
    """Line item types. Line items can have different types that explain their
    purpose. Some line items are the base price of a product/deliverable,
    some are extras, and some are various fees like shield or cross-border
    transfer fees.

    Used as the ``kind`` of a line. Integers: ``BasePrice`` 0 to ``ConnectFee``
    16 in the order below, and ``Bogus`` 1234.

    The values are the class attributes below, one object each: returned
    lines carry the very same objects, so ``is`` works. The class cannot be
    instantiated or subclassed. A value compares equal to its integer
    (``LineType.Tip == 4``) but has no ordering, is not hashable (no sets or
    dictionary keys) and cannot be used as an index; in a line dictionary an
    ``int`` is not accepted in its place.
    """

    BasePrice: ClassVar[LineType]
    """Integer 0; the base price line (id -1) of a purchase."""
    AddOn: ClassVar[LineType]
    """Integer 1."""
    Shield: ClassVar[LineType]
    """Integer 2; the shield line (id -5) of an escrow purchase."""
    Bonus: ClassVar[LineType]
    """Integer 3."""
    Tip: ClassVar[LineType]
    """Integer 4."""
    TableService: ClassVar[LineType]
    """Integer 5; the table service line (id -3)."""
    Tax: ClassVar[LineType]
    """Integer 6; the table tax line (id -4)."""
    Extra: ClassVar[LineType]
    """Integer 7."""
    PremiumSubscription: ClassVar[LineType]
    """Integer 8."""
    OtherFee: ClassVar[LineType]
    """Integer 9."""
    DeliverableTracking: ClassVar[LineType]
    """Integer 10; the deliverable tracking line (id -6)."""
    Processing: ClassVar[LineType]
    """Integer 11; the processing fee line (id -1) of a tip."""
    Reconciliation: ClassVar[LineType]
    """Integer 12."""
    CardFee: ClassVar[LineType]
    """Integer 13; the card fee line (id -7)."""
    CrossBorderTransferFee: ClassVar[LineType]
    """Integer 14; the cross-border transfer fee line (id -8)."""
    PayoutFee: ClassVar[LineType]
    """Integer 15; the payout fee line (id -9)."""
    ConnectFee: ClassVar[LineType]
    """Integer 16; the connect fee line (id -10)."""
    Bogus: ClassVar[LineType]
    """Integer 1234."""
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int:
        """The value's fixed integer (``int(LineType.Tip) == 4``)."""
    def __eq__(self, other: object, /) -> bool:
        """Equal to the same value, and to an integer (or an object with
        ``__index__``) equal to the value's integer."""
    def __ne__(self, other: object, /) -> bool:
        """The negation of ``==``."""

@final
class Account:
    """Distinct accounts that line items may deposit into.

    Used as the ``destination_account`` of a line. Integers: ``Card`` 300 to
    ``PayoutExtract`` 314 in the order below, ``CashDeposit`` 407,
    ``PayoutMirrorSource`` 500 and ``PayoutMirrorDestination`` 501.

    The values are the class attributes below, one object each: returned
    lines carry the very same objects, so ``is`` works. The class cannot be
    instantiated or subclassed. A value compares equal to its integer
    (``Account.Fund == 313``) but has no ordering, is not hashable (no sets or
    dictionary keys) and cannot be used as an index; in a line dictionary an
    ``int`` is not accepted in its place.
    """

    Card: ClassVar[Account]
    """Integer 300."""
    PayoutAccount: ClassVar[Account]
    """Integer 301."""
    Escrow: ClassVar[Account]
    """Integer 302; the account of the base price line."""
    Holdings: ClassVar[Account]
    """Integer 303."""
    Reserve: ClassVar[Account]
    """Integer 304; the account of the table service line."""
    UnprocessedEarnings: ClassVar[Account]
    """Integer 305."""
    CardTransactionFees: ClassVar[Account]
    """Integer 306."""
    CardMiscFees: ClassVar[Account]
    """Integer 307."""
    BankTransferFees: ClassVar[Account]
    """Integer 308."""
    BankMiscFees: ClassVar[Account]
    """Integer 309."""
    MoneyHoleStage: ClassVar[Account]
    """Integer 310; the account of the table tax line."""
    MoneyHole: ClassVar[Account]
    """Integer 311."""
    FraudLoss: ClassVar[Account]
    """Integer 312."""
    Fund: ClassVar[Account]
    """Integer 313; the account of the shield, tracking and fee lines."""
    PayoutExtract: ClassVar[Account]
    """Integer 314."""
    CashDeposit: ClassVar[Account]
    """Integer 407."""
    PayoutMirrorSource: ClassVar[Account]
    """Integer 500."""
    PayoutMirrorDestination: ClassVar[Account]
    """Integer 501."""
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int:
        """The value's fixed integer (``int(Account.Fund) == 313``)."""
    def __eq__(self, other: object, /) -> bool:
        """Equal to the same value, and to an integer (or an object with
        ``__index__``) equal to the value's integer."""
    def __ne__(self, other: object, /) -> bool:
        """The negation of ``==``."""

@final
class Category:
    """Categories for transactions. LineItems refer to these in order to make
    bundling them and creating later transactions easier.

    Used as the ``category`` of a line. Integers: ``ShieldFee`` 400 to ``TopUp``
    421 in the order below, skipping 407 (which is ``Account.CashDeposit``).

    The values are the class attributes below, one object each: returned
    lines carry the very same objects, so ``is`` works. The class cannot be
    instantiated or subclassed. A value compares equal to its integer
    (``Category.Payment == 420``) but has no ordering, is not hashable (no sets or
    dictionary keys) and cannot be used as an index; in a line dictionary an
    ``int`` is not accepted in its place.
    """

    ShieldFee: ClassVar[Category]
    """Integer 400; the category of the shield line."""
    EscrowHold: ClassVar[Category]
    """Integer 401; the category of the base price line."""
    EscrowRelease: ClassVar[Category]
    """Integer 402."""
    EscrowRefund: ClassVar[Category]
    """Integer 403."""
    SubscriptionDues: ClassVar[Category]
    """Integer 404; the category of the deliverable tracking line."""
    SubscriptionRefund: ClassVar[Category]
    """Integer 405."""
    CashWithdrawal: ClassVar[Category]
    """Integer 406."""
    ThirdPartyFee: ClassVar[Category]
    """Integer 408; the category of the card, payout, cross-border and connect fee lines."""
    PremiumBonus: ClassVar[Category]
    """Integer 409."""
    InternalTransfer: ClassVar[Category]
    """Integer 410."""
    ThirdPartyRefunds: ClassVar[Category]
    """Integer 411."""
    Correction: ClassVar[Category]
    """Integer 412."""
    TableHandling: ClassVar[Category]
    """Integer 413; the category of the table service line."""
    Taxes: ClassVar[Category]
    """Integer 414; the category of the table tax line."""
    ExtraItem: ClassVar[Category]
    """Integer 415."""
    VendorPayment: ClassVar[Category]
    """Integer 416."""
    PayoutReversal: ClassVar[Category]
    """Integer 417."""
    ProcessingFee: ClassVar[Category]
    """Integer 418; the category of the processing fee line."""
    TipSend: ClassVar[Category]
    """Integer 419."""
    Payment: ClassVar[Category]
    """Integer 420."""
    TopUp: ClassVar[Category]
    """Integer 421."""
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int:
        """The value's fixed integer (``int(Category.Payment) == 420``)."""
    def __eq__(self, other: object, /) -> bool:
        """Equal to the same value, and to an integer (or an object with
        ``__index__``) equal to the value's integer."""
    def __ne__(self, other: object, /) -> bool:
        """The negation of ``==``."""

# ---------------------------------------------------------------------------
# Typing-only names. The dictionary shapes below exist for type checkers only:
# the module has no such attributes at runtime, so import them under
# ``typing.TYPE_CHECKING`` (they are not in ``__all__``). Every key is
# required; decimal amounts are texts such as "10.00" or "2.9".
# ---------------------------------------------------------------------------

class LineDict(TypedDict):
    """One line of a bill, as ``py_get_totals`` and ``py_reckon_lines`` read it
    and as ``py_tip_fee_lines`` and ``py_deliverable_lines`` return it. All
    eleven keys are required; extra keys are ignored."""

    id: int
    """Signed 32-bit. The line's key in the ``"subtotals"`` of
    ``py_get_totals``: lines sharing an id share one entry. Generated lines
    carry fixed negative ids (-1 base price or processing fee, -3 table
    service, -4 table tax, -5 shield, -6 deliverable tracking, -7 card fee,
    -8 cross-border transfer fee, -9 payout fee, -10 connect fee)."""
    priority: int
    """Signed 16-bit. The line's tier: tiers are evaluated from the lowest
    priority up, and the lines of one tier take their percentage of what all
    lower tiers came to."""
    kind: LineType
    """What the line is (base price, tip, a fee, ...)."""
    amount: str
    """Decimal text: the fixed part of the line's value, for example "10.00"."""
    description: str
    """Free text, copied unchanged."""
    frozen_value: str | None
    """Decimal text of a settled amount, or None. When every line of a bill
    has one, the bill is not recomputed: the frozen values are added up as
    they stand."""
    percentage: str
    """Decimal text in percent ("15" is 15 %): the share of the lower tiers'
    total that the line adds to its amount."""
    category: Category
    """The kind of transaction the line belongs to."""
    destination_user_id: int | None
    """Signed 64-bit: the user the line's money goes to, or None."""
    destination_account: Account
    """The account the line's money goes into."""
    back_into_percentage: bool
    """When true, the percentage is taken of the sum that includes the line
    itself, which is how a fee is passed on to the payer. A ``numpy.bool_``
    is accepted; the integers 0 and 1 are not."""

class ServicePlanDict(TypedDict):
    """One service plan of a fee schedule (an element of ``PricingDict["plans"]``)."""

    id: int
    """Signed 32-bit; read, not used by any computation."""
    name: str
    """The plan's name; ``py_deliverable_lines`` looks the plan up by this
    exact text."""
    connection_fee_waived: bool
    """When true, a purchase under this plan gets no connect fee line."""
    per_deliverable_price: str
    """Decimal text: the deliverable tracking line's amount (no such line
    when it is zero). Always parsed, so it must be a number."""
    max_simultaneous_orders: int
    """Unsigned 16-bit; read, not used by any computation."""
    waitlisting: bool
    """Read, not used by any computation."""
    paypal_invoicing: bool
    """Read, not used by any computation."""
    shield_static_price: str
    """Decimal text: the shield line's amount (escrow purchases)."""
    shield_percentage_price: str
    """Decimal text in percent: the shield line's percentage, to which the
    conversion percentage is added for an international purchase."""

class PricingDict(TypedDict):
    """The marketplace's fee schedule: decimal texts (percentages in percent)
    and the list of service plans. Every key is required, including those
    that no computation reads."""

    plans: Sequence[ServicePlanDict]
    """The service plans, a list or tuple; looked up by name."""
    minimum_price: str
    """Decimal text; read, not used by any computation."""
    table_percentage: str
    """Decimal text in percent: the table service line's percentage."""
    table_static: str
    """Decimal text: the table service line's amount."""
    table_tax: str
    """Decimal text in percent: the table tax line's percentage."""
    processing_percentage: str
    """Decimal text in percent: the processing fee line of a tip."""
    processing_static: str
    """Decimal text: the processing fee line's amount (tips)."""
    international_conversion_percentage: str
    """Decimal text in percent, added to the processing (tip) or shield
    (purchase) percentage when the payment crosses a border."""
    preferred_plan: str
    """A plan name; read, not used by any computation."""
    stripe_blended_rate_percentage: str
    """Decimal text in percent: the card fee line's percentage."""
    stripe_blended_rate_static: str
    """Decimal text: the card fee line's amount."""
    stripe_payout_cross_border_percentage: str
    """Decimal text in percent: the cross-border transfer fee line's
    percentage (international payments only)."""
    stripe_active_account_monthly_fee: str
    """Decimal text: the connect fee line's amount (purchases whose plan does
    not waive it)."""
    stripe_payout_static: str
    """Decimal text: the payout fee line's amount."""
    stripe_payout_percentage: str
    """Decimal text in percent: the payout fee line's percentage."""

class TipLinesContextDict(TypedDict):
    """The argument of ``py_tip_fee_lines``."""

    pricing: PricingDict | None
    """The fee schedule; None raises ``ValueError("Pricing not specified.")``."""
    international: bool
    """The tip crosses a border: the conversion percentage is added to the
    processing percentage, and a cross-border transfer fee line is added."""
    quantization: int
    """Unsigned 32-bit number of decimal places; read and range-checked, not
    used."""

class DeliverableLinesContextDict(TypedDict):
    """The argument of ``py_deliverable_lines``: one purchase of a deliverable."""

    base_price: str
    """Decimal text: the price of the deliverable, the base price line's
    amount."""
    table_product: bool
    """The purchase carries table service and table tax lines (and the fee
    lines when it totals more than zero)."""
    escrow_enabled: bool
    """The purchase is held in escrow: when it totals more than zero and is
    not a table product, it gets a shield line and the fee lines."""
    international: bool
    """The purchase crosses a border: conversion percentage on the shield
    line, and a cross-border transfer fee line."""
    extra_lines: Sequence[LineDict]
    """Lines the caller adds, returned last and unchanged. When one of them is
    a ``LineType.BasePrice`` line, no base price line is generated."""
    plan_name: str | None
    """The name of the plan in ``pricing["plans"]`` to use, or None."""
    pricing: PricingDict | None
    """The fee schedule, or None."""
    user_id: int
    """Signed 64-bit: the user the base price line is credited to."""
    allow_soft_failure: bool
    """When true, a missing plan name, pricing or plan, or an unparsable base
    price gives an empty list instead of a ``ValueError``."""
    quantization: int
    """Unsigned 32-bit number of decimal places (0 to 28 usable) at which the
    purchase's total is reckoned to decide whether fee lines apply."""

class TotalsDict(TypedDict):
    """What ``py_get_totals`` returns."""

    total: str
    """Decimal text: the bill's total at the quantization."""
    discount: str
    """Decimal text: the sum of the negative lines, cut to the quantization."""
    subtotals: dict[int, str]
    """Line id to the line's final amount (decimal text). One entry per id:
    where several lines share an id, the later line's amount is the one kept,
    so the entries then do not add up to the total. Key order unspecified."""

# ---------------------------------------------------------------------------
# Functions. ``quantization`` is the number of decimal places money is cut to
# (0 to 28 are usable; larger values raise PanicException where a quantum is
# needed).
# ---------------------------------------------------------------------------

def py_get_totals(lines: Sequence[LineDict], quantization: int) -> TotalsDict:
    """Total a bill: its total, its discount and each line's final amount.

    Lines are evaluated in tiers of equal ``priority``, lowest first; each
    line's value is its ``amount`` plus its ``percentage`` of everything the
    lower tiers came to. Amounts are cut toward zero to ``quantization``
    places, and the smallest units that cutting leaves over are handed out
    one at a time onto chosen lines (never onto a line of the other sign), so
    that the final amounts add up exactly to the total. When every line has a
    ``frozen_value``, those values are added up as they stand instead.

    Args:
        lines: a list or tuple of line dictionaries (``LineDict``).
        quantization: decimal places, 0 to 28 (2 for cents).

    Returns:
        ``{"total": ..., "discount": ..., "subtotals": {id: amount}}``, all
        amounts as decimal texts. ``"subtotals"`` has one entry per line id.

    Raises:
        ValueError: a text that is no decimal number, or a rounding
            difference that no line can take ("No line items to distribute
            difference to. ...").
        TypeError: ``lines`` is not a sequence, or a field has the wrong type
            (``argument 'lines': failed to extract field LineItem.<key>``, with
            the reason as ``__cause__``).
        KeyError: a line lacks a key.
        OverflowError: an integer out of its range, a negative quantization.
        PanicException: an internal failure (arithmetic overflow, a
            back-into percentage of 100, a quantization above 28).
    """

def py_reckon_lines(lines: Sequence[LineDict], quantization: int) -> str:
    """The total of a bill alone, as ``py_get_totals(lines, quantization)["total"]``.

    Args:
        lines: a list or tuple of line dictionaries (``LineDict``).
        quantization: decimal places, 0 to 28.

    Returns:
        The total as a decimal text, for example ``"118.74"``.

    Raises:
        The same exceptions as ``py_get_totals``.
    """

def py_divide_amount(source_amount: str, divisor: int, quantization: int) -> list[str]:
    """Split an amount into ``divisor`` equal shares that add up to it exactly.

    Each share is the amount divided by ``divisor``, cut toward zero to
    ``quantization`` places; the smallest units left over go one each to the
    first shares, so ``py_divide_amount("10.00", 3, 2)`` is
    ``["3.34", "3.33", "3.33"]``. Exact shares keep the quotient's own scale
    (``"10"`` in 4 at 2 places gives ``"2.50"``, in 5 gives ``"2"``).

    Args:
        source_amount: decimal text with at most ``quantization`` places.
        divisor: the number of shares, 0 to 65535.
        quantization: decimal places, 0 to 28.

    Returns:
        A new list of ``divisor`` decimal texts, the larger shares first.

    Raises:
        ValueError: "Amount is improperly quantized. Cannot divide." (more
            places than ``quantization``), "Cannot divide by zero.",
            "Amount cannot be divided into shares at this quantization.", or
            a text that is no decimal number.
        TypeError: ``source_amount`` is not a ``str`` or an integer argument is
            not an ``int`` (``argument '<name>': ...``).
        OverflowError: ``divisor`` or ``quantization`` out of range.
        PanicException: an internal failure, such as a quantization above 28
            or an amount too large to split.
    """

def py_deliverable_lines(provided_lines_context: DeliverableLinesContextDict) -> list[LineDict]:
    """The lines of a purchase of a deliverable under a service plan.

    The plan is looked up by its exact name. The lines are, in order: the
    base price (id -1, credited to ``user_id``; left out when
    ``extra_lines`` holds a ``LineType.BasePrice`` line); then, for a
    purchase that totals more than zero at ``quantization`` (base price and
    extra lines), table service and table tax for a table product or the
    shield line for an escrow purchase, each followed by the fee lines (card,
    payout, cross-border when international, connect unless the plan waives
    it); a table product that totals zero or less gets table service and tax
    alone, and any other purchase a deliverable tracking line when the plan's
    per-deliverable price is above zero; last come the caller's
    ``extra_lines`` unchanged. The lines state terms (a static amount and a
    percentage); total them with ``py_get_totals`` to get money.

    Args:
        provided_lines_context: the purchase (``DeliverableLinesContextDict``).

    Returns:
        A new list of line dictionaries (``LineDict``); an empty list when
        ``allow_soft_failure`` is true and the plan name, pricing or plan is
        missing or the base price is no number.

    Raises:
        ValueError: "No plan name specified.", "Pricing specification not
            provided.", "Could not find <name> in plan list.", or a text that
            is no decimal number.
        TypeError: the context or a field of it has the wrong type
            (``argument 'provided_lines_context': failed to extract field
            DeliverableLinesContext.<key>``, nested causes below it).
        KeyError: a dictionary lacks a key.
        OverflowError: an integer out of its range.
        PanicException: an internal failure.
    """

def py_tip_fee_lines(provided_lines_context: TipLinesContextDict) -> list[LineDict]:
    """The fee lines of a tip: processing fee (id -1), card fee (-7), payout
    fee (-9) and, for an international tip, cross-border transfer fee (-8).

    The lines state terms (a static amount and a percentage), not money:
    total them together with the tip line using ``py_get_totals``. For an
    international tip the processing percentage includes the conversion
    percentage.

    Args:
        provided_lines_context: the tip (``TipLinesContextDict``).

    Returns:
        A new list of three or four line dictionaries (``LineDict``).

    Raises:
        ValueError: "Pricing not specified." when ``pricing`` is None, or a
            percentage that is no decimal number.
        TypeError: the context or a field of it has the wrong type
            (``argument 'provided_lines_context': failed to extract field
            TipLinesContext.<key>``, nested causes below it).
        KeyError: a dictionary lacks a key.
        OverflowError: an integer out of its range.
        PanicException: an internal failure (percentages too large to add).
    """
