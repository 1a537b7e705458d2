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
    transfer fees."""

    BasePrice: ClassVar[LineType]
    AddOn: ClassVar[LineType]
    Shield: ClassVar[LineType]
    Bonus: ClassVar[LineType]
    Tip: ClassVar[LineType]
    TableService: ClassVar[LineType]
    Tax: ClassVar[LineType]
    Extra: ClassVar[LineType]
    PremiumSubscription: ClassVar[LineType]
    OtherFee: ClassVar[LineType]
    DeliverableTracking: ClassVar[LineType]
    Processing: ClassVar[LineType]
    Reconciliation: ClassVar[LineType]
    CardFee: ClassVar[LineType]
    CrossBorderTransferFee: ClassVar[LineType]
    PayoutFee: ClassVar[LineType]
    ConnectFee: ClassVar[LineType]
    Bogus: ClassVar[LineType]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

@final
class Account:
    """Distinct accounts that line items may deposit into."""

    Card: ClassVar[Account]
    PayoutAccount: ClassVar[Account]
    Escrow: ClassVar[Account]
    Holdings: ClassVar[Account]
    Reserve: ClassVar[Account]
    UnprocessedEarnings: ClassVar[Account]
    CardTransactionFees: ClassVar[Account]
    CardMiscFees: ClassVar[Account]
    BankTransferFees: ClassVar[Account]
    BankMiscFees: ClassVar[Account]
    MoneyHoleStage: ClassVar[Account]
    MoneyHole: ClassVar[Account]
    FraudLoss: ClassVar[Account]
    Fund: ClassVar[Account]
    PayoutExtract: ClassVar[Account]
    CashDeposit: ClassVar[Account]
    PayoutMirrorSource: ClassVar[Account]
    PayoutMirrorDestination: ClassVar[Account]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

@final
class Category:
    """Categories for transactions. LineItems refer to these in order to make
    bundling them and creating later transactions easier."""

    ShieldFee: ClassVar[Category]
    EscrowHold: ClassVar[Category]
    EscrowRelease: ClassVar[Category]
    EscrowRefund: ClassVar[Category]
    SubscriptionDues: ClassVar[Category]
    SubscriptionRefund: ClassVar[Category]
    CashWithdrawal: ClassVar[Category]
    ThirdPartyFee: ClassVar[Category]
    PremiumBonus: ClassVar[Category]
    InternalTransfer: ClassVar[Category]
    ThirdPartyRefunds: ClassVar[Category]
    Correction: ClassVar[Category]
    TableHandling: ClassVar[Category]
    Taxes: ClassVar[Category]
    ExtraItem: ClassVar[Category]
    VendorPayment: ClassVar[Category]
    PayoutReversal: ClassVar[Category]
    ProcessingFee: ClassVar[Category]
    TipSend: ClassVar[Category]
    Payment: ClassVar[Category]
    TopUp: ClassVar[Category]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

# ---------------------------------------------------------------------------
# Typing-only names. The dictionary shapes below exist for type checkers only:
# the module has no such attributes at runtime, so import them under
# ``typing.TYPE_CHECKING`` (they are not in ``__all__``). Every key is
# required; decimal amounts are texts such as "10.00" or "2.9".
# ---------------------------------------------------------------------------

class LineDict(TypedDict):
    """One line of a bill, as read from and written to Python."""

    id: int  # signed 32-bit
    priority: int  # signed 16-bit; lower tiers are evaluated first
    kind: LineType
    amount: str
    description: str
    frozen_value: str | None
    percentage: str  # in percent: "15" is 15 %
    category: Category
    destination_user_id: int | None  # signed 64-bit
    destination_account: Account
    back_into_percentage: bool

class ServicePlanDict(TypedDict):
    id: int  # signed 32-bit
    name: str
    connection_fee_waived: bool
    per_deliverable_price: str
    max_simultaneous_orders: int  # unsigned 16-bit
    waitlisting: bool
    paypal_invoicing: bool
    shield_static_price: str
    shield_percentage_price: str

class PricingDict(TypedDict):
    plans: Sequence[ServicePlanDict]
    minimum_price: str
    table_percentage: str
    table_static: str
    table_tax: str
    processing_percentage: str
    processing_static: str
    international_conversion_percentage: str
    preferred_plan: str
    stripe_blended_rate_percentage: str
    stripe_blended_rate_static: str
    stripe_payout_cross_border_percentage: str
    stripe_active_account_monthly_fee: str
    stripe_payout_static: str
    stripe_payout_percentage: str

class TipLinesContextDict(TypedDict):
    pricing: PricingDict | None
    international: bool
    quantization: int  # unsigned 32-bit; read but not used

class DeliverableLinesContextDict(TypedDict):
    base_price: str
    table_product: bool
    escrow_enabled: bool
    international: bool
    extra_lines: Sequence[LineDict]
    plan_name: str | None
    pricing: PricingDict | None
    user_id: int  # signed 64-bit
    allow_soft_failure: bool
    quantization: int  # unsigned 32-bit

class TotalsDict(TypedDict):
    total: str
    discount: str
    subtotals: dict[int, str]  # line id -> final amount; key order unspecified

# ---------------------------------------------------------------------------
# Functions. ``quantization`` is the number of decimal places money is cut to
# (0 to 28 are usable; larger values raise PanicException where a quantum is
# needed).
# ---------------------------------------------------------------------------

def py_get_totals(lines: Sequence[LineDict], quantization: int) -> TotalsDict: ...
def py_reckon_lines(lines: Sequence[LineDict], quantization: int) -> str: ...
def py_divide_amount(source_amount: str, divisor: int, quantization: int) -> list[str]: ...
def py_deliverable_lines(provided_lines_context: DeliverableLinesContextDict) -> list[LineDict]:
    """Python binding for deliverable_lines"""

def py_tip_fee_lines(provided_lines_context: TipLinesContextDict) -> list[LineDict]:
    """Python binding for tip_fee_lines"""
