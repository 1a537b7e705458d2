// The three closed enumerations that classify every line of a bill, with
// their fixed 16-bit integers and the tables that name them. Declaration
// order matters: it is the order of the class attributes in Python and the
// index of each value's once-only cell.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace data {

// One value of an enumeration as the tables below list it.
struct EnumValue {
  std::string_view name;
  uint16_t value;
};

enum class LineType : uint16_t {
  BasePrice = 0,
  AddOn = 1,
  Shield = 2,
  Bonus = 3,
  Tip = 4,
  TableService = 5,
  Tax = 6,
  Extra = 7,
  PremiumSubscription = 8,
  OtherFee = 9,
  DeliverableTracking = 10,
  Processing = 11,
  Reconciliation = 12,
  CardFee = 13,
  CrossBorderTransferFee = 14,
  PayoutFee = 15,
  ConnectFee = 16,
  Bogus = 1234,
};

enum class Account : uint16_t {
  Card = 300,
  PayoutAccount = 301,
  Escrow = 302,
  Holdings = 303,
  Reserve = 304,
  UnprocessedEarnings = 305,
  CardTransactionFees = 306,
  CardMiscFees = 307,
  BankTransferFees = 308,
  BankMiscFees = 309,
  MoneyHoleStage = 310,
  MoneyHole = 311,
  FraudLoss = 312,
  Fund = 313,
  PayoutExtract = 314,
  CashDeposit = 407,
  PayoutMirrorSource = 500,
  PayoutMirrorDestination = 501,
};

enum class Category : uint16_t {
  ShieldFee = 400,
  EscrowHold = 401,
  EscrowRelease = 402,
  EscrowRefund = 403,
  SubscriptionDues = 404,
  SubscriptionRefund = 405,
  CashWithdrawal = 406,
  ThirdPartyFee = 408,
  PremiumBonus = 409,
  InternalTransfer = 410,
  ThirdPartyRefunds = 411,
  Correction = 412,
  TableHandling = 413,
  Taxes = 414,
  ExtraItem = 415,
  VendorPayment = 416,
  PayoutReversal = 417,
  ProcessingFee = 418,
  TipSend = 419,
  Payment = 420,
  TopUp = 421,
};

inline constexpr std::array<EnumValue, 18> kLineTypeValues = {{
    {"BasePrice", 0},
    {"AddOn", 1},
    {"Shield", 2},
    {"Bonus", 3},
    {"Tip", 4},
    {"TableService", 5},
    {"Tax", 6},
    {"Extra", 7},
    {"PremiumSubscription", 8},
    {"OtherFee", 9},
    {"DeliverableTracking", 10},
    {"Processing", 11},
    {"Reconciliation", 12},
    {"CardFee", 13},
    {"CrossBorderTransferFee", 14},
    {"PayoutFee", 15},
    {"ConnectFee", 16},
    {"Bogus", 1234},
}};
inline constexpr std::string_view kLineTypeDoc =
    "Line item types. Line items can have different types that explain their\npurpose. Some line items are the base price of a product/deliverable,\nsome are extras, and some are various fees like shield or cross-border\ntransfer fees.";

inline constexpr std::array<EnumValue, 18> kAccountValues = {{
    {"Card", 300},
    {"PayoutAccount", 301},
    {"Escrow", 302},
    {"Holdings", 303},
    {"Reserve", 304},
    {"UnprocessedEarnings", 305},
    {"CardTransactionFees", 306},
    {"CardMiscFees", 307},
    {"BankTransferFees", 308},
    {"BankMiscFees", 309},
    {"MoneyHoleStage", 310},
    {"MoneyHole", 311},
    {"FraudLoss", 312},
    {"Fund", 313},
    {"PayoutExtract", 314},
    {"CashDeposit", 407},
    {"PayoutMirrorSource", 500},
    {"PayoutMirrorDestination", 501},
}};
inline constexpr std::string_view kAccountDoc =
    "Distinct accounts that line items may deposit into.";

inline constexpr std::array<EnumValue, 21> kCategoryValues = {{
    {"ShieldFee", 400},
    {"EscrowHold", 401},
    {"EscrowRelease", 402},
    {"EscrowRefund", 403},
    {"SubscriptionDues", 404},
    {"SubscriptionRefund", 405},
    {"CashWithdrawal", 406},
    {"ThirdPartyFee", 408},
    {"PremiumBonus", 409},
    {"InternalTransfer", 410},
    {"ThirdPartyRefunds", 411},
    {"Correction", 412},
    {"TableHandling", 413},
    {"Taxes", 414},
    {"ExtraItem", 415},
    {"VendorPayment", 416},
    {"PayoutReversal", 417},
    {"ProcessingFee", 418},
    {"TipSend", 419},
    {"Payment", 420},
    {"TopUp", 421},
}};
inline constexpr std::string_view kCategoryDoc =
    "Categories for transactions. LineItems refer to these in order to make\nbundling them and creating later transactions easier.";

// Position of a value in its declaration table, or nothing for an integer
// that is not a value of the enumeration.
template <std::size_t N>
constexpr std::optional<std::size_t> enum_index(const std::array<EnumValue, N>& table,
                                                uint16_t value) noexcept {
  for (std::size_t i = 0; i < N; ++i) {
    if (table[i].value == value) return i;
  }
  return std::nullopt;
}

}  // namespace data
