// The records the computations work on: the line of a bill, the fee schedule
// with its service plans, and the two lines contexts. Plain owned values that
// refer to no Python object; decimal fields are kept as the caller's text and
// parsed only by the computation that calculates with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/enums.hpp"

namespace data {

// The head of a text that a failure report shows, and the whole text's length.
// A failure may be about a text of any size; the report keeps only as much of
// it as a reader needs, so that failing on a huge text copies only its head.
struct Excerpt {
  // Characters (code points) of a text that a report shows at most.
  static constexpr std::size_t kMaxChars = 200;
  // The first kMaxChars code points of the UTF-8 text (all of it when shorter),
  // cut between code points.
  static Excerpt of(std::string_view text);

  std::string head;
  std::size_t length = 0;  // code points of the whole text

  bool cut() const noexcept { return length > kMaxChars; }
  bool operator==(const Excerpt&) const = default;
};

// Error value of the computations; its display form is the message alone.
// The rest says where in the computation's input the error arose, so that the
// caller can be told which line or field to fix; it is filled in on the
// failure path only.
struct TabulationError {
  std::string message;
  // Index of the offending line in the list of lines the computation was given.
  std::optional<std::size_t> line;
  // Field path within that line, or within the computation's input when no line
  // is named ("pricing.plans[0].per_deliverable_price"); empty for the input as
  // a whole.
  std::string where;
  // The text that could not be used, when one is to blame.
  std::optional<Excerpt> input;
};

// One line of a bill. Two lines are the same line when all eleven fields are
// equal; texts compare as bytes, so "1.0" and "1.00" are different amounts.
struct LineItem {
  int32_t id = 0;
  int16_t priority = 0;
  LineType kind = LineType::BasePrice;
  std::string amount;
  std::string description;
  std::optional<std::string> frozen_value;
  std::string percentage;
  Category category = Category::ShieldFee;
  std::optional<int64_t> destination_user_id;
  Account destination_account = Account::Card;
  bool back_into_percentage = false;

  friend bool operator==(const LineItem&, const LineItem&) = default;
};

// Hash over all eleven fields in declaration order; agrees with ==.
struct LineItemHash {
  std::size_t operator()(const LineItem& line) const noexcept;
};

struct ServicePlan {
  int32_t id = 0;
  std::string name;
  bool connection_fee_waived = false;
  std::string per_deliverable_price;
  uint16_t max_simultaneous_orders = 0;
  bool waitlisting = false;
  bool paypal_invoicing = false;
  std::string shield_static_price;
  std::string shield_percentage_price;
};

struct Pricing {
  std::vector<ServicePlan> plans;
  std::string minimum_price;
  std::string table_percentage;
  std::string table_static;
  std::string table_tax;
  std::string processing_percentage;
  std::string processing_static;
  std::string international_conversion_percentage;
  std::string preferred_plan;
  std::string stripe_blended_rate_percentage;
  std::string stripe_blended_rate_static;
  std::string stripe_payout_cross_border_percentage;
  std::string stripe_active_account_monthly_fee;
  std::string stripe_payout_static;
  std::string stripe_payout_percentage;
};

struct TipLinesContext {
  std::optional<Pricing> pricing;
  bool international = false;
  uint32_t quantization = 0;
};

struct DeliverableLinesContext {
  std::string base_price;
  bool table_product = false;
  bool escrow_enabled = false;
  bool international = false;
  std::vector<LineItem> extra_lines;
  std::optional<std::string> plan_name;
  std::optional<Pricing> pricing;
  int64_t user_id = 0;
  bool allow_soft_failure = false;
  uint32_t quantization = 0;
};

}  // namespace data
