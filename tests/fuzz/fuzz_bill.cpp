// A bill built from the input: the per-line amounts of a computed bill add up exactly to its
// total, everything is cut to the quantization; a frozen bill totals its frozen values; or
// the computation ends with one of its own messages.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "exact.hpp"
#include "funcs.hpp"
#include "input.hpp"

namespace {

using data::LineItem;
using exact::Value;
using tallyforge::Decimal;
using tallyforge::Panic;

const std::set<std::string> kErrors = {
    FUZZ_PARSE_ERRORS,
    "No line items to distribute difference to. You may be missing a base price line item, "
    "which should be included even if the base price would be zero.",
    "Rounding difference cannot be distributed at this quantization.",
};
const std::set<std::string> kPanics = {"Addition overflowed", "Subtraction overflowed",
                                       "Multiplication overflowed", "Division overflowed",
                                       "Division by zero"};

Value value_of(const std::string& text) { return Value::of(Decimal::from_str_exact(text).value()); }

// Whether the type holds v exactly: at most 28 places and a coefficient below 2^96 once
// trailing zeros are dropped.
bool representable(Value v) {
  if (v.scale > 28) return false;
  while (v.scale > 0 && exact::cmp(v.magnitude, exact::limit()) >= 0) {
    auto [q, r] = exact::divmod(v.magnitude, exact::pow10(1));
    if (!r.zero()) return false;
    v = {q, v.negative, v.scale - 1};
  }
  return exact::cmp(v.magnitude, exact::limit()) < 0;
}

// A fresh line from the input: a small id, so that lines share ids often.
LineItem fresh_line(fuzzin::Input& in, uint8_t flags) {
  LineItem line;
  line.id = in.byte() % 6;
  line.priority = static_cast<int16_t>(in.byte() % 5 - 2);
  line.amount = in.amount();
  switch ((flags >> 2) & 3u) {
    case 0: line.percentage = "0"; break;
    case 1: line.percentage = std::to_string(in.byte() % 120); break;
    default: line.percentage = in.amount(); break;
  }
  line.back_into_percentage = (flags & 2u) != 0;
  if (flags & 1u) line.frozen_value = in.amount();
  return line;
}

// `line` with one field changed: equal to it in all the others.
void change_one_field(fuzzin::Input& in, LineItem& line) {
  const uint8_t v = in.byte();
  switch (in.byte() % 11u) {
    case 0: line.id = v % 6; break;
    case 1: line.priority = static_cast<int16_t>(v % 5 - 2); break;
    case 2: line.kind = static_cast<data::LineType>(v % 5); break;
    case 3: line.amount = in.amount(); break;
    case 4: line.description = std::to_string(v % 3); break;
    case 5: line.frozen_value = line.frozen_value ? std::nullopt : std::optional(in.amount()); break;
    case 6: line.percentage = std::to_string(v % 120); break;
    case 7: line.category = v % 2 ? data::Category::EscrowHold : data::Category::ShieldFee; break;
    case 8: line.destination_user_id = v % 3; break;
    case 9: line.destination_account = v % 2 ? data::Account::Escrow : data::Account::Card; break;
    default: line.back_into_percentage = !line.back_into_percentage; break;
  }
}

// Whether the lines are the distinct input lines, each once, in order of first appearance.
bool distinct_in_order(const std::vector<LineItem>& input, const funcs::Totals& totals) {
  std::vector<const LineItem*> distinct;
  for (const LineItem& l : input) {
    if (std::none_of(distinct.begin(), distinct.end(), [&](const LineItem* d) { return *d == l; })) {
      distinct.push_back(&l);
    }
  }
  if (distinct.size() != totals.subtotals.size()) return false;
  for (std::size_t k = 0; k < distinct.size(); ++k) {
    if (!(*distinct[k] == totals.subtotals[k].first)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzin::Input in{data, data + size};
  const uint32_t q = in.byte() % 30u;
  // Up to 9 lines, or (a count byte from 200) 17 to 72: long enough that lines sharing an id
  // are hashed to find the equal ones. A line of a long bill may copy an earlier one, as it
  // is or with one field changed.
  const uint8_t count = in.byte();
  const bool long_bill = count >= 200;
  std::vector<LineItem> lines;
  for (std::size_t i = 0, n = long_bill ? 17u + (count - 200u) : count % 10u; i < n; ++i) {
    const uint8_t flags = in.byte();
    if (long_bill && i > 0 && (flags & 0x80u)) {
      lines.push_back(lines[in.byte() % i]);
      if (flags & 0x40u) change_one_field(in, lines.back());
    } else {
      lines.push_back(fresh_line(in, flags));
    }
  }
  std::string what = "bill at quantization " + std::to_string(q) + ":";
  for (const LineItem& l : lines) {
    what += "\n  id " + std::to_string(l.id) + " kind " + std::to_string(static_cast<int>(l.kind)) +
            " description '" + l.description + "' category " + std::to_string(static_cast<int>(l.category)) +
            " account " + std::to_string(static_cast<int>(l.destination_account)) +
            (l.destination_user_id ? " user " + std::to_string(*l.destination_user_id) : "") + " priority " +
            std::to_string(l.priority) + " amount '" + l.amount + "' percentage '" + l.percentage + "'" +
            (l.back_into_percentage ? " back-into" : "") + (l.frozen_value ? " frozen '" + *l.frozen_value + "'" : "");
  }

  tallyforge::Result<funcs::Totals, data::TabulationError> result = data::TabulationError{};
  try {
    result = funcs::get_totals(lines, q);
  } catch (const Panic& p) {
    const std::string scale = "Scale exceeds the maximum precision allowed: " + std::to_string(q) + " > 28";
    if (p.message() != scale && kPanics.count(p.message()) == 0) exact::fail("unexpected panic", what + ": " + p.message());
    return 0;
  }
  if (!result) {
    if (kErrors.count(result.error().message) == 0) exact::fail("unexpected error", what + ": " + result.error().message);
    return 0;
  }
  const funcs::Totals& totals = result.value();
  if (!distinct_in_order(lines, totals)) exact::fail("equal lines not taken once, in order of first appearance", what);
  const auto reckoned = funcs::reckon_lines(lines, q);
  if (!reckoned || !reckoned->same_repr(totals.total)) exact::fail("reckon_lines disagrees with get_totals", what);

  const bool frozen = !lines.empty() && std::all_of(lines.begin(), lines.end(), [](const LineItem& l) {
    return l.frozen_value.has_value();
  });
  Value sum, discount;
  if (frozen) {
    // Every input line counts, duplicates included, added in input order: the sums are exact
    // unless a partial sum is beyond what the type holds (then it is rounded, as any addition).
    bool exact_sums = true;
    for (const LineItem& line : lines) {
      const Value v = value_of(*line.frozen_value);
      sum = exact::add(sum, v);
      if (v.negative) discount = exact::add(discount, v);
      exact_sums = exact_sums && representable(sum) && representable(discount);
    }
    if (!exact_sums) return 0;
    if (!exact::same(Value::of(totals.discount), discount)) exact::fail("frozen discount", what);
  } else {
    for (const auto& entry : totals.subtotals) {
      if (entry.second.scale() > q) exact::fail("line amount not cut to the quantization", what);
      sum = exact::add(sum, Value::of(entry.second));
    }
    if (totals.total.scale() > q || totals.discount.scale() > q) exact::fail("total not cut to the quantization", what);
    if (totals.discount.gt(Decimal())) exact::fail("positive discount", what);
  }
  if (!exact::same(sum, Value::of(totals.total))) {
    exact::fail("line amounts do not add up to the total", what + ": total " + exact::show(totals.total));
  }
  return 0;
}
