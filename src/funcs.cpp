#include "funcs.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <numeric>
#include <optional>
#include <unordered_map>

namespace funcs {
namespace {

using data::Account;
using data::Category;
using data::LineType;

// Whole numbers of quanta and the digits cut off by quantizing need a little
// more room than a 96-bit coefficient.
using U128 = Decimal::Coefficient;
__extension__ typedef __int128 I128;

constexpr U128 kCoefficientLimit = static_cast<U128>(1) << 96;

// 10^n for n up to 38.
U128 pow10(uint32_t n) noexcept {
  U128 r = 1;
  while (n-- > 0) r *= 10;
  return r;
}

// c / 10^scale with the given sign. Trailing zeros are dropped only when the
// coefficient would not fit otherwise; nothing when the value cannot be held.
std::optional<Decimal> decimal_of(U128 c, uint32_t scale, bool negative) noexcept {
  while (c >= kCoefficientLimit && scale > 0 && c % 10 == 0) {
    c /= 10;
    --scale;
  }
  if (c >= kCoefficientLimit) return std::nullopt;
  return Decimal::from_coefficient(c, scale, negative);
}

// The digits of x beyond place `place`, as a signed count of units of 10^-to
// (to >= x.scale() > place, or the result is zero).
I128 digits_beyond(const Decimal& x, uint32_t place, uint32_t to) noexcept {
  if (x.scale() <= place) return 0;
  const U128 cut = x.coefficient() % pow10(x.scale() - place) * pow10(to - x.scale());
  return x.is_negative() ? -static_cast<I128>(cut) : static_cast<I128>(cut);
}

// x + y, or nothing when the sum had to be rounded to fit the type.
//
// An addition is done at the larger scale of its operands and only drops to a
// smaller scale when the coefficient would not fit; what it drops then is the
// digits of both operands beyond that scale, so the sum is exact exactly when
// those digits cancel out.
std::optional<Decimal> exact_add(const Decimal& x, const Decimal& y) {
  const Decimal sum = x.add(y);
  if (x.is_zero() || y.is_zero()) return sum;
  const uint32_t top = std::max(x.scale(), y.scale());
  const uint32_t kept = sum.scale();
  if (kept >= top) return sum;
  const I128 dropped = digits_beyond(x, kept, top) + digits_beyond(y, kept, top);
  if (dropped % static_cast<I128>(pow10(top - kept)) != 0) return std::nullopt;
  return sum;
}

// |x| as a whole number of quanta of place q, or nothing when it is not one.
std::optional<U128> whole_quanta(const Decimal& x, uint32_t q) noexcept {
  const U128 c = x.coefficient();
  const uint32_t s = x.scale();
  if (s > q) {
    const U128 unit = pow10(s - q);
    if (c % unit != 0) return std::nullopt;
    return c / unit;
  }
  // c < 2^96 and q - s <= 28 < log10(2^32), so the product fits in 128 bits.
  return c * pow10(q - s);
}

// A signed sum of decimals at one fixed scale, held exactly in 256 bits: a
// term is below 2^96 * 10^28 < 2^190, so more than 2^60 terms fit. It tells
// whether amounts add up to a total where Decimal additions would round.
class ExactSum {
 public:
  explicit ExactSum(uint32_t scale) noexcept : scale_(scale) {}

  // Adds x (or subtracts it); x's scale must not exceed the sum's.
  void add(const Decimal& x, bool subtract = false) noexcept {
    const Limbs term = times_pow10(x.coefficient(), scale_ - x.scale());
    if (x.is_negative() != subtract) {
      accumulate(negated(term));
    } else {
      accumulate(term);
    }
  }

  bool is_zero() const noexcept { return (limbs_[0] | limbs_[1] | limbs_[2] | limbs_[3]) == 0; }

 private:
  using Limbs = std::array<uint64_t, 4>;  // two's complement, least significant first

  static Limbs times_pow10(U128 c, uint32_t n) noexcept {
    const U128 p = pow10(n);
    const uint64_t a[2] = {static_cast<uint64_t>(c), static_cast<uint64_t>(c >> 64)};
    const uint64_t b[2] = {static_cast<uint64_t>(p), static_cast<uint64_t>(p >> 64)};
    Limbs out{};
    for (int i = 0; i < 2; ++i) {
      U128 carry = 0;
      for (int j = 0; j < 2; ++j) {
        const U128 t = static_cast<U128>(a[i]) * b[j] + out[i + j] + carry;
        out[i + j] = static_cast<uint64_t>(t);
        carry = t >> 64;
      }
      out[i + 2] = static_cast<uint64_t>(carry);
    }
    return out;
  }

  static Limbs negated(Limbs v) noexcept {
    uint64_t carry = 1;
    for (uint64_t& limb : v) {
      limb = ~limb + carry;
      carry = (carry != 0 && limb == 0) ? 1 : 0;
    }
    return v;
  }

  void accumulate(const Limbs& v) noexcept {
    U128 carry = 0;
    for (std::size_t i = 0; i < limbs_.size(); ++i) {
      const U128 t = static_cast<U128>(limbs_[i]) + v[i] + carry;
      limbs_[i] = static_cast<uint64_t>(t);
      carry = t >> 64;
    }
  }

  uint32_t scale_;
  Limbs limbs_{};
};

// Error values that say where they arose. They are built on the failure path
// only, so they are kept out of line.
[[gnu::cold, gnu::noinline]] TabulationError error_at(std::string message, std::string where,
                                                      std::optional<std::string> input = {}) {
  return TabulationError{std::move(message), std::nullopt, std::move(where), std::move(input)};
}

[[gnu::cold, gnu::noinline]] TabulationError parse_failure(const tallyforge::ParseError& error,
                                                           std::string where,
                                                           std::string_view text) {
  return error_at(std::string(error.message), std::move(where), std::string(text));
}

// The error with `where` filled in when it names no field yet.
[[gnu::cold, gnu::noinline]] TabulationError named(TabulationError error, std::string where) {
  if (error.where.empty()) error.where = std::move(where);
  return error;
}

// A parse failure of a field of line `index` of the lines given to the totals.
[[gnu::cold, gnu::noinline]] TabulationError line_parse_failure(
    const tallyforge::ParseError& error, std::size_t index, const char* field,
    std::string_view text) {
  return TabulationError{std::string(error.message), index, field, std::string(text)};
}

constexpr const char* kCannotDivide = "Amount cannot be divided into shares at this quantization.";
constexpr const char* kCannotRedistribute =
    "Rounding difference cannot be distributed at this quantization.";
constexpr const char* kNoCandidates =
    "No line items to distribute difference to. You may be missing a base price line item, "
    "which should be included even if the base price would be zero.";

}  // namespace

Decimal quantum(uint32_t q) {
  return Decimal::make(1, q);
}

Decimal quantized_zero(uint32_t q) {
  return Decimal::make(0, q);
}

Decimal quantize(const Decimal& value, uint32_t q) noexcept {
  const uint32_t s = value.scale();
  if (s <= q) return value;
  return Decimal::from_coefficient(value.coefficient() / pow10(s - q), q, value.is_negative());
}

std::string value_string(const Decimal& value, uint32_t q) {
  return quantize(value, q).to_string();
}

Result<std::vector<std::string>, TabulationError> divide_amount(std::string_view source_amount,
                                                                uint16_t divisor, uint32_t q) {
  auto parsed = Decimal::from_str_exact(source_amount);
  if (!parsed) return parse_failure(parsed.error(), "source_amount", source_amount);
  const Decimal amount = parsed.value();
  if (quantize(amount, q).ne(amount)) {
    return error_at("Amount is improperly quantized. Cannot divide.", "source_amount",
                    std::string(source_amount));
  }
  if (divisor == 0) return error_at("Cannot divide by zero.", "divisor");
  const auto cannot_divide = [&] {
    return error_at(kCannotDivide, "source_amount", std::string(source_amount));
  };

  const Decimal count = Decimal::make(divisor, 0);
  const Decimal share = quantize(amount / count, q);
  const Decimal remainder = amount - quantize(share * count, q);
  static_cast<void>(quantum(q));  // panics for q > 28, whatever the remainder

  // The remainder is a whole number n of quanta. Handing them out one per
  // share, pass after pass from the front, gives every share n div d quanta and
  // the first n mod d shares one more; that is computed here directly, so a
  // remainder of many quanta (a quotient rounded at or before place q) costs no
  // more than a small one.
  const std::optional<U128> quanta = whole_quanta(remainder, q);
  if (!quanta) return cannot_divide();
  const U128 each = *quanta / divisor;
  const U128 front = *quanta % divisor;
  const bool down = remainder.is_negative();

  std::vector<Decimal> shares(divisor, share);
  for (std::size_t i = 0; i < shares.size(); ++i) {
    const U128 extra = each + (i < front ? 1 : 0);
    if (extra == 0) continue;
    const std::optional<Decimal> step = decimal_of(extra, q, down);
    // A share that already holds as many digits as the type allows would round
    // the added quanta away, and the shares would no longer add up.
    const std::optional<Decimal> grown = step ? exact_add(share, *step) : std::nullopt;
    if (!grown) return cannot_divide();
    shares[i] = *grown;
  }

  // At the limit of the type the product share × divisor may itself have been
  // rounded; only shares that really sum to the amount are handed back. The sum
  // is taken exactly: Decimal additions could round a running sum that passes
  // 96 bits although the shares add up.
  ExactSum sum(std::max(q, amount.scale()));  // no share has more places than that
  for (const Decimal& s : shares) sum.add(s);
  sum.add(amount, true);
  if (!sum.is_zero()) return cannot_divide();

  std::vector<std::string> texts;
  texts.reserve(shares.size());
  for (const Decimal& s : shares) texts.push_back(value_string(s, q));
  return texts;
}

// ---------------------------------------------------------------------------
// Totals

namespace {

// Lines equal in every field are one line. The index maps each input line to
// the position of its first appearance among the distinct lines.
struct LineRef {
  const LineItem* line;
};
struct LineRefHash {
  std::size_t operator()(LineRef r) const noexcept { return data::LineItemHash{}(*r.line); }
};
struct LineRefEq {
  bool operator()(LineRef a, LineRef b) const noexcept { return *a.line == *b.line; }
};

struct Collapsed {
  std::vector<std::size_t> distinct_of;  // per input line: its distinct position
  std::vector<std::size_t> first;        // per distinct line: input index of its first appearance
};

Collapsed collapse(const std::vector<LineItem>& lines) {
  Collapsed c;
  c.distinct_of.resize(lines.size());
  std::unordered_map<LineRef, std::size_t, LineRefHash, LineRefEq> index;
  index.reserve(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto [it, inserted] = index.try_emplace(LineRef{&lines[i]}, c.first.size());
    if (inserted) c.first.push_back(i);
    c.distinct_of[i] = it->second;
  }
  return c;
}

// Moves the distinct lines out of `lines`, in order of first appearance, each
// with its amount.
std::vector<std::pair<LineItem, Decimal>> take_distinct(std::vector<LineItem>& lines,
                                                        const Collapsed& c,
                                                        const std::vector<Decimal>& amounts) {
  std::vector<std::pair<LineItem, Decimal>> out;
  out.reserve(c.first.size());
  for (std::size_t k = 0; k < c.first.size(); ++k) {
    out.emplace_back(std::move(lines[c.first[k]]), amounts[k]);
  }
  return out;
}

Result<Totals, TabulationError> frozen_totals(std::vector<LineItem> lines) {
  const Collapsed c = collapse(lines);
  Decimal total;
  Decimal discount;
  std::vector<Decimal> values(c.first.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto parsed = Decimal::from_str_exact(*lines[i].frozen_value);
    if (!parsed) return line_parse_failure(parsed.error(), i, "frozen_value", *lines[i].frozen_value);
    const Decimal value = parsed.value();
    total += value;
    if (value.is_negative()) discount += value;
    values[c.distinct_of[i]] = value;
  }
  return Totals{total, discount, take_distinct(lines, c, values)};
}

// The value of one line against the base of the tiers below it; `index` is the
// line's place in the input, for the error report.
Result<Decimal, TabulationError> line_value(const LineItem& line, std::size_t index,
                                            const Decimal& base) {
  constexpr Decimal kHundredth = Decimal::from_parts(1, 0, 0, 2, false);
  constexpr Decimal kOne = Decimal::from_parts(1, 0, 0, 0, false);
  auto amount = Decimal::from_str_exact(line.amount);
  if (!amount) return line_parse_failure(amount.error(), index, "amount", line.amount);
  auto percentage = Decimal::from_str_exact(line.percentage);
  if (!percentage) {
    return line_parse_failure(percentage.error(), index, "percentage", line.percentage);
  }
  const Decimal a = amount.value();
  const Decimal rate = kHundredth * percentage.value();
  Decimal p;
  if (!line.back_into_percentage) {
    p = base * rate;
  } else {
    // The percentage is taken of the sum grown by the line itself.
    const Decimal grown = base + a;
    const Decimal reciprocal = kOne / (kOne - rate);
    p = grown * reciprocal - grown;
  }
  return p + a;
}

// Hands the difference out over the candidates, visiting them from the last to
// the first, round after round. With k quanta over m candidates every one
// gets k div m and the last k mod m one more, which is computed directly.
Result<Totals, TabulationError> redistribute(Totals totals, const Decimal& difference,
                                             const Decimal& zero, uint32_t q) {
  const bool positive = difference.gt(zero);

  struct Slot {
    Candidate candidate;
    std::size_t index;
  };
  std::vector<Slot> slots;
  for (std::size_t i = 0; i < totals.subtotals.size(); ++i) {
    const Decimal& amount = totals.subtotals[i].second;
    if (positive ? amount.gt(zero) : amount.lt(zero)) {
      slots.push_back({Candidate{&totals.subtotals[i].first, amount}, i});
    }
  }
  if (slots.empty()) return error_at(kNoCandidates, "");
  std::stable_sort(slots.begin(), slots.end(), [positive](const Slot& a, const Slot& b) {
    return redistribution_priority(positive, a.candidate, b.candidate) < 0;
  });

  const std::optional<U128> quanta = whole_quanta(difference, q);
  if (!quanta) return error_at(kCannotRedistribute, "");
  const std::size_t m = slots.size();
  const U128 each = *quanta / m;
  const U128 last = *quanta % m;
  for (std::size_t j = 0; j < m; ++j) {
    const U128 extra = each + (j >= m - static_cast<std::size_t>(last) ? 1 : 0);
    if (extra == 0) continue;
    Decimal& amount = totals.subtotals[slots[j].index].second;
    const std::optional<Decimal> step = decimal_of(extra, q, !positive);
    // A line whose amount already holds as many digits as the type allows
    // would round the quanta away instead of taking them.
    const std::optional<Decimal> grown = step ? exact_add(amount, *step) : std::nullopt;
    if (!grown) return error_at(kCannotRedistribute, "");
    amount = *grown;
  }
  return totals;
}

// Whether the final amounts add up exactly to the total. Every amount and the
// total have at most q places.
bool adds_up(const Totals& totals, uint32_t q) noexcept {
  ExactSum sum(q);
  for (const auto& entry : totals.subtotals) sum.add(entry.second);
  sum.add(totals.total, true);
  return sum.is_zero();
}

Result<Totals, TabulationError> computed_totals(std::vector<LineItem> lines, uint32_t q) {
  const Decimal zero = quantized_zero(q);  // panics for q > 28 before any line is read
  const Collapsed c = collapse(lines);

  // Tiers: ascending priority, each keeping the input order of its lines.
  std::vector<std::size_t> order(lines.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&lines](std::size_t a, std::size_t b) {
    return lines[a].priority < lines[b].priority;
  });

  std::vector<Decimal> values(c.first.size());
  std::vector<bool> seen(c.first.size(), false);
  std::vector<std::size_t> tier;  // distinct lines of the tier, in order of first appearance
  Decimal base = zero;
  Decimal discount = zero;
  for (std::size_t start = 0; start < order.size();) {
    const int16_t priority = lines[order[start]].priority;
    tier.clear();
    std::size_t end = start;
    for (; end < order.size() && lines[order[end]].priority == priority; ++end) {
      const std::size_t k = c.distinct_of[order[end]];
      // A line equal to an earlier one has the same value against the same
      // base; it is evaluated once but counts in the discount every time.
      if (!seen[k]) {
        auto value = line_value(lines[order[end]], order[end], base);
        if (!value) return std::move(value).error();
        values[k] = value.value();
        seen[k] = true;
        tier.push_back(k);
      }
      if (values[k].is_negative()) discount += values[k];
    }
    // Zero values are left out: adding a zero of scale 0 would leave the sum
    // at scale 0 and cost the total its decimal places.
    Decimal sum = zero;
    for (const std::size_t k : tier) {
      if (!values[k].is_zero()) sum += values[k];
    }
    base += quantize(sum, q);
    start = end;
  }

  for (Decimal& value : values) value = quantize(value, q);
  Totals totals{base, quantize(discount, q), take_distinct(lines, c, values)};

  Decimal parts = zero;
  for (const auto& entry : totals.subtotals) parts += entry.second;
  const Decimal difference = totals.total - parts;
  if (!difference.is_zero()) {
    auto redistributed = redistribute(std::move(totals), difference, zero, q);
    if (!redistributed) return std::move(redistributed).error();
    totals = std::move(redistributed).value();
  }
  // At the limit of the type the total, the sum of the amounts or the
  // difference may have been rounded (a bill whose exact sum needs more than 96
  // bits); only amounts that really add up to the total are handed back.
  if (!adds_up(totals, q)) return error_at(kCannotRedistribute, "");
  return totals;
}

}  // namespace

Result<Totals, TabulationError> get_totals(std::vector<LineItem> lines, uint32_t q) {
  const bool frozen = !lines.empty() && std::all_of(lines.begin(), lines.end(), [](const auto& l) {
    return l.frozen_value.has_value();
  });
  if (frozen) return frozen_totals(std::move(lines));
  return computed_totals(std::move(lines), q);
}

Result<Decimal, TabulationError> reckon_lines(std::vector<LineItem> lines, uint32_t q) {
  auto totals = get_totals(std::move(lines), q);
  if (!totals) return std::move(totals).error();
  return totals->total;
}

int redistribution_priority(bool positive, const Candidate& a, const Candidate& b) noexcept {
  const int pa = a.line->priority;
  const int pb = b.line->priority;
  if (pa != pb) return positive ? pa - pb : pb - pa;
  const int by_amount = b.amount.cmp(a.amount);
  if (by_amount != 0) return by_amount;
  // Ids are compared rather than subtracted: their difference may not fit an int.
  const int32_t ia = a.line->id;
  const int32_t ib = b.line->id;
  return (ib > ia) - (ib < ia);
}

// ---------------------------------------------------------------------------
// Fee lines

namespace {

// A generated line with the fields that every generated line shares.
LineItem generated_line(int32_t id, LineType kind, int16_t priority, Category category,
                        Account account, std::string amount, std::string percentage) {
  LineItem line;
  line.id = id;
  line.priority = priority;
  line.kind = kind;
  line.amount = std::move(amount);
  line.percentage = std::move(percentage);
  line.category = category;
  line.destination_account = account;
  return line;
}

LineItem card_fee_line(const data::Pricing& pricing, bool back_into_percentage) {
  LineItem line =
      generated_line(-7, LineType::CardFee, 350, Category::ThirdPartyFee, Account::Fund,
                     pricing.stripe_blended_rate_static, pricing.stripe_blended_rate_percentage);
  line.back_into_percentage = back_into_percentage;
  return line;
}

LineItem payout_fee_line(const data::Pricing& pricing) {
  return generated_line(-9, LineType::PayoutFee, 325, Category::ThirdPartyFee, Account::Fund,
                        pricing.stripe_payout_static, pricing.stripe_payout_percentage);
}

LineItem cross_border_line(const data::Pricing& pricing) {
  return generated_line(-8, LineType::CrossBorderTransferFee, 325, Category::ThirdPartyFee,
                        Account::Fund, "0", pricing.stripe_payout_cross_border_percentage);
}

// A percentage text, plus the international conversion percentage when the
// purchase crosses a border, formatted back to text. A failure to parse the
// percentage itself names no field: the caller knows which one it passed.
Result<std::string, TabulationError> percentage_text(const std::string& percentage,
                                                     const data::Pricing& pricing,
                                                     bool international) {
  auto value = Decimal::from_str_exact(percentage);
  if (!value) return parse_failure(value.error(), "", percentage);
  Decimal total = value.value();
  if (international) {
    const std::string& text = pricing.international_conversion_percentage;
    auto conversion = Decimal::from_str_exact(text);
    if (!conversion) {
      return parse_failure(conversion.error(), "pricing.international_conversion_percentage", text);
    }
    total += conversion.value();
  }
  return total.to_string();
}

}  // namespace

Result<std::vector<LineItem>, TabulationError> tip_fee_lines(data::TipLinesContext context) {
  if (!context.pricing) return error_at("Pricing not specified.", "pricing");
  const data::Pricing& pricing = *context.pricing;
  auto processing = percentage_text(pricing.processing_percentage, pricing, context.international);
  if (!processing) return named(std::move(processing).error(), "pricing.processing_percentage");

  std::vector<LineItem> lines;
  lines.reserve(4);
  lines.push_back(generated_line(-1, LineType::Processing, 300, Category::ProcessingFee,
                                 Account::Fund, pricing.processing_static,
                                 std::move(processing).value()));
  lines.push_back(card_fee_line(pricing, false));
  lines.push_back(payout_fee_line(pricing));
  if (context.international) lines.push_back(cross_border_line(pricing));
  return lines;
}

Result<std::vector<LineItem>, TabulationError> deliverable_lines(
    data::DeliverableLinesContext context) {
  using Lines = std::vector<LineItem>;
  const bool soft = context.allow_soft_failure;
  if (!context.plan_name) {
    if (soft) return Lines{};
    return error_at("No plan name specified.", "plan_name");
  }
  if (!context.pricing) {
    if (soft) return Lines{};
    return error_at("Pricing specification not provided.", "pricing");
  }
  const data::Pricing& pricing = *context.pricing;
  const std::string& plan_name = *context.plan_name;
  const auto plan_it =
      std::find_if(pricing.plans.begin(), pricing.plans.end(),
                   [&plan_name](const data::ServicePlan& p) { return p.name == plan_name; });
  if (plan_it == pricing.plans.end()) {
    if (soft) return Lines{};
    return error_at("Could not find " + plan_name + " in plan list.", "plan_name", plan_name);
  }
  const data::ServicePlan& plan = *plan_it;
  // The plan's place in the list, for error reports ("pricing.plans[2].name").
  const auto plan_field = [&](const char* field) {
    return "pricing.plans[" + std::to_string(plan_it - pricing.plans.begin()) + "]." + field;
  };

  // The base price is only proved to be a number; its line keeps the text.
  if (auto base = Decimal::from_str_exact(context.base_price); !base) {
    if (soft) return Lines{};
    return parse_failure(base.error(), "base_price", context.base_price);
  }
  auto per_deliverable = Decimal::from_str_exact(plan.per_deliverable_price);
  if (!per_deliverable) {
    return parse_failure(per_deliverable.error(), plan_field("per_deliverable_price"),
                         plan.per_deliverable_price);
  }

  Lines result;
  const bool has_base_line =
      std::any_of(context.extra_lines.begin(), context.extra_lines.end(),
                  [](const LineItem& l) { return l.kind == LineType::BasePrice; });
  if (!has_base_line) {
    LineItem base_line = generated_line(-1, LineType::BasePrice, 0, Category::EscrowHold,
                                        Account::Escrow, context.base_price, "0");
    base_line.destination_user_id = context.user_id;
    result.push_back(std::move(base_line));
  }

  // Only the sign of the purchase's total matters here; it is reckoned on copies.
  Lines reckoned = result;
  reckoned.insert(reckoned.end(), context.extra_lines.begin(), context.extra_lines.end());
  auto total = reckon_lines(std::move(reckoned), context.quantization);
  if (!total) {
    TabulationError error = std::move(total).error();
    // A line of the reckoning is one of the caller's extra lines (the base
    // price line, the only other, was proved to parse above).
    if (error.line) {
      const std::size_t extra = *error.line - result.size();
      error.where = "extra_lines[" + std::to_string(extra) + "]." + error.where;
      error.line.reset();
    }
    return error;
  }
  const bool positive = total.value().gt(quantized_zero(context.quantization));

  const auto add_table_lines = [&] {
    result.push_back(generated_line(-3, LineType::TableService, 400, Category::TableHandling,
                                    Account::Reserve, pricing.table_static,
                                    pricing.table_percentage));
    result.push_back(generated_line(-4, LineType::Tax, 700, Category::Taxes,
                                    Account::MoneyHoleStage, "0", pricing.table_tax));
  };
  const auto add_fee_lines = [&] {
    result.push_back(card_fee_line(pricing, true));
    result.push_back(payout_fee_line(pricing));
    if (context.international) result.push_back(cross_border_line(pricing));
    if (!plan.connection_fee_waived) {
      result.push_back(generated_line(-10, LineType::ConnectFee, 325, Category::ThirdPartyFee,
                                      Account::Fund, pricing.stripe_active_account_monthly_fee,
                                      "0"));
    }
  };
  const auto add_tracking_line = [&] {
    if (per_deliverable.value().gt(Decimal())) {
      result.push_back(generated_line(-6, LineType::DeliverableTracking, 300,
                                      Category::SubscriptionDues, Account::Fund,
                                      plan.per_deliverable_price, "0"));
    }
  };

  if (positive && context.table_product) {
    add_table_lines();
    add_fee_lines();
  } else if (positive && context.escrow_enabled) {
    auto shield = percentage_text(plan.shield_percentage_price, pricing, context.international);
    if (!shield) return named(std::move(shield).error(), plan_field("shield_percentage_price"));
    result.push_back(generated_line(-5, LineType::Shield, 330, Category::ShieldFee, Account::Fund,
                                    plan.shield_static_price, std::move(shield).value()));
    add_fee_lines();
  } else if (context.table_product && !positive) {
    add_table_lines();
  } else {
    add_tracking_line();
  }

  for (LineItem& line : context.extra_lines) result.push_back(std::move(line));
  return result;
}

}  // namespace funcs
