#include "funcs.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
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
using I128 = tallyforge::int128;

constexpr U128 kCoefficientLimit = static_cast<U128>(1) << 96;

constexpr std::array<U128, 39> kPowersOf10 = [] {
  std::array<U128, 39> p{};
  p[0] = 1;
  for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
  return p;
}();

// 10^n for n up to 38. Every caller passes a difference of two scales or
// quantizations, which are at most 28.
U128 pow10(uint32_t n) noexcept {
  return kPowersOf10[n];
}

// a / b, in 64 bits when both fit (a 128-bit division is a library call).
U128 divide(U128 a, U128 b) noexcept {
  if ((a >> 64) == 0 && (b >> 64) == 0) {
    return static_cast<uint64_t>(a) / static_cast<uint64_t>(b);
  }
  return a / b;
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

// |x| as a whole number of quanta of place q (at most 28), or nothing when it
// is not one.
std::optional<U128> whole_quanta(const Decimal& x, uint32_t q) noexcept {
  const U128 c = x.coefficient();
  const uint32_t s = x.scale();
  if (s > q) {
    const U128 unit = pow10(s - q);
    if (c % unit != 0) return std::nullopt;
    return c / unit;
  }
  // c < 2^96 but 10^(q - s) may reach 10^28, so the product can pass 128
  // bits; such a count is refused rather than wrapped.
  const U128 scale_up = pow10(q - s);
  if (c > ~U128{0} / scale_up) return std::nullopt;
  return c * scale_up;
}

// A signed sum of decimals at one fixed scale, held exactly in 256 bits: a
// term is below 2^96 * 10^28 < 2^190, so more than 2^60 terms fit. It tells
// whether amounts add up to a total where Decimal additions would round.
class ExactSum {
 public:
  explicit ExactSum(uint32_t scale) noexcept : scale_(scale) {}

  // Adds `times` copies of x (or subtracts them); x's scale must not exceed
  // the sum's. A term times 2^16 still fits in 256 bits.
  void add(const Decimal& x, uint16_t times = 1, bool subtract = false) noexcept {
    Limbs term = times_pow10(x.coefficient(), scale_ - x.scale());
    if (times != 1) term = times_small(term, times);
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
    // A term already at the sum's scale (every amount of a bill) is taken as it is.
    if (n == 0) return {static_cast<uint64_t>(c), static_cast<uint64_t>(c >> 64), 0, 0};
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

  static Limbs times_small(Limbs v, uint64_t n) noexcept {
    U128 carry = 0;
    for (uint64_t& limb : v) {
      const U128 t = static_cast<U128>(limb) * n + carry;
      limb = static_cast<uint64_t>(t);
      carry = t >> 64;
    }
    return v;
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
[[gnu::cold, gnu::noinline]] TabulationError error_at(
    std::string message, std::string where, std::optional<std::string_view> input = {}) {
  std::optional<data::Excerpt> shown;
  if (input) shown = data::Excerpt::of(*input);
  return TabulationError{std::move(message), std::nullopt, std::move(where), std::move(shown)};
}

[[gnu::cold, gnu::noinline]] TabulationError parse_failure(const tallyforge::ParseError& error,
                                                           std::string where,
                                                           std::string_view text) {
  return error_at(std::string(error.message), std::move(where), text);
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
  return TabulationError{std::string(error.message), index, field, data::Excerpt::of(text)};
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
  return Decimal::from_coefficient(divide(value.coefficient(), pow10(s - q)), q,
                                   value.is_negative());
}

std::string value_string(const Decimal& value, uint32_t q) {
  return quantize(value, q).to_string();
}

Result<Split, TabulationError> split_amount(std::string_view source_amount, uint16_t divisor,
                                            uint32_t q) {
  auto parsed = Decimal::from_str_exact(source_amount);
  if (!parsed) return parse_failure(parsed.error(), "source_amount", source_amount);
  const Decimal amount = parsed.value();
  if (quantize(amount, q).ne(amount)) {
    return error_at("Amount is improperly quantized. Cannot divide.", "source_amount",
                    source_amount);
  }
  if (divisor == 0) return error_at("Cannot divide by zero.", "divisor");
  const auto cannot_divide = [&] {
    return error_at(kCannotDivide, "source_amount", source_amount);
  };

  const Decimal count = Decimal::make(divisor, 0);
  const Decimal share = quantize(amount / count, q);
  const Decimal remainder = amount - quantize(share * count, q);
  static_cast<void>(quantum(q));  // panics for q > 28, whatever the remainder

  // The remainder is a whole number n of quanta. Handing them out one per
  // share, pass after pass from the front, gives every share n div d quanta and
  // the first n mod d shares one more; that is computed here directly, so a
  // remainder of many quanta (a quotient rounded at or before place q) costs no
  // more than a small one. The shares therefore take two values at most.
  const std::optional<U128> quanta = whole_quanta(remainder, q);
  if (!quanta) return cannot_divide();
  const U128 each = *quanta / divisor;
  const std::size_t front = static_cast<std::size_t>(*quanta % divisor);
  const bool down = remainder.is_negative();

  // The share with `extra` quanta added; a share that already holds as many
  // digits as the type allows would round them away, and the shares would no
  // longer add up.
  const auto grown = [&](U128 extra) -> std::optional<Decimal> {
    if (extra == 0) return share;
    const std::optional<Decimal> step = decimal_of(extra, q, down);
    return step ? exact_add(share, *step) : std::nullopt;
  };
  const std::optional<Decimal> rest = grown(each);  // front < divisor: one share at least
  const std::optional<Decimal> first = front > 0 ? grown(each + 1) : rest;
  if (!rest || !first) return cannot_divide();

  // At the limit of the type the product share × divisor may itself have been
  // rounded; only shares that really sum to the amount are handed back. The sum
  // is taken exactly: Decimal additions could round a running sum that passes
  // 96 bits although the shares add up.
  ExactSum sum(std::max(q, amount.scale()));  // no share has more places than that
  sum.add(*first, static_cast<uint16_t>(front));
  sum.add(*rest, static_cast<uint16_t>(divisor - front));
  sum.add(amount, 1, true);
  if (!sum.is_zero()) return cannot_divide();

  Split split;
  split.rest_text = value_string(*rest, q);
  split.front_text = front > 0 ? value_string(*first, q) : split.rest_text;
  split.front = front;
  split.count = divisor;
  return split;
}

Result<std::vector<std::string>, TabulationError> divide_amount(std::string_view source_amount,
                                                                uint16_t divisor, uint32_t q) {
  auto split = split_amount(source_amount, divisor, q);
  if (!split) return std::move(split).error();
  std::vector<std::string> texts(split->front, split->front_text);
  texts.resize(split->count, split->rest_text);
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
  // Per input line: its distinct position; empty when every line is distinct.
  std::vector<std::size_t> distinct_of;
  std::vector<std::size_t> first;  // per distinct line: input index of its first appearance

  std::size_t position(std::size_t i) const noexcept {
    return distinct_of.empty() ? i : distinct_of[i];
  }
};

// Lines sharing an id up to this many are compared field by field; larger
// groups are hashed.
constexpr std::size_t kSmallGroup = 16;

// Points each line of `group` (input indices, ascending) that equals an
// earlier line of the group at that earlier line: rep[i] < i then.
void find_equal_lines(const std::vector<LineItem>& lines, const std::size_t* group,
                      std::size_t size, std::vector<std::size_t>& rep) {
  if (size <= kSmallGroup) {
    for (std::size_t a = 1; a < size; ++a) {
      for (std::size_t b = 0; b < a; ++b) {
        if (rep[group[b]] == group[b] && lines[group[a]] == lines[group[b]]) {
          rep[group[a]] = group[b];
          break;
        }
      }
    }
    return;
  }
  std::unordered_map<LineRef, std::size_t, LineRefHash, LineRefEq> seen;
  seen.reserve(size);
  for (std::size_t a = 0; a < size; ++a) {
    rep[group[a]] = seen.try_emplace(LineRef{&lines[group[a]]}, group[a]).first->second;
  }
}

Collapsed collapse(const std::vector<LineItem>& lines) {
  const std::size_t n = lines.size();
  Collapsed c;
  // Equal lines have equal ids, so lines with distinct ids are distinct lines
  // and only lines sharing an id need comparing.
  bool ids_ascend = true;
  for (std::size_t i = 1; i < n && ids_ascend; ++i) ids_ascend = lines[i - 1].id < lines[i].id;
  c.first.resize(n);
  std::iota(c.first.begin(), c.first.end(), std::size_t{0});
  if (ids_ascend) return c;
  c.distinct_of = c.first;
  c.first.clear();
  // distinct_of holds, for now, the input index of the first line equal to
  // each line (the representative); groups of equal id keep input order.
  std::vector<std::pair<int32_t, std::size_t>> by_id(n);
  for (std::size_t i = 0; i < n; ++i) by_id[i] = {lines[i].id, i};
  std::sort(by_id.begin(), by_id.end());
  std::vector<std::size_t> group;
  for (std::size_t g = 0; g < n;) {
    std::size_t h = g + 1;
    while (h < n && by_id[h].first == by_id[g].first) ++h;
    if (h - g > 1) {
      group.clear();
      for (std::size_t j = g; j < h; ++j) group.push_back(by_id[j].second);
      find_equal_lines(lines, group.data(), group.size(), c.distinct_of);
    }
    g = h;
  }
  // Representatives come first in input order, so they have their positions
  // by the time a later equal line looks them up.
  c.first.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t rep = c.distinct_of[i];
    if (rep == i) {
      c.distinct_of[i] = c.first.size();
      c.first.push_back(i);
    } else {
      c.distinct_of[i] = c.distinct_of[rep];
    }
  }
  return c;
}

// Input indices in ascending priority, each tier keeping the input order;
// empty when the lines are in that order already.
std::vector<std::size_t> tier_order(const std::vector<LineItem>& lines) {
  const std::size_t n = lines.size();
  bool sorted = true;
  for (std::size_t i = 1; i < n && sorted; ++i) sorted = lines[i - 1].priority <= lines[i].priority;
  if (sorted) return {};
  std::vector<std::size_t> order(n);
  // One integer key per line, priority above the index: a plain sort of
  // the keys is the stable sort by priority.
  std::vector<uint64_t> keys(n);
  for (std::size_t i = 0; i < n; ++i) {
    const uint64_t biased = static_cast<uint16_t>(lines[i].priority) ^ 0x8000u;
    keys[i] = (biased << 48) | i;
  }
  std::sort(keys.begin(), keys.end());
  constexpr uint64_t kIndexMask = (uint64_t{1} << 48) - 1;
  for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::size_t>(keys[i] & kIndexMask);
  return order;
}

Result<Tabulation, TabulationError> frozen_totals(const std::vector<LineItem>& lines) {
  Collapsed c = collapse(lines);
  Decimal total;
  Decimal discount;
  std::vector<Decimal> values(c.first.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto parsed = Decimal::from_str_exact(*lines[i].frozen_value);
    if (!parsed) {
      return line_parse_failure(parsed.error(), i, "frozen_value", *lines[i].frozen_value);
    }
    const Decimal value = parsed.value();
    total += value;
    if (value.is_negative()) discount += value;
    values[c.position(i)] = value;
  }
  return Tabulation{total, discount, std::move(c.first), std::move(values)};
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

// Hands the difference out over the candidates in the redistribution order,
// visiting them from the last to the first, round after round. With k quanta
// over m candidates every one gets k div m and the last k mod m one more, so
// only which candidates are the last k mod m matters: they are selected, not
// sorted. The position among the distinct lines breaks the remaining ties,
// as their order of entry does in a stable sort.
std::optional<TabulationError> redistribute(const std::vector<LineItem>& lines, Tabulation& t,
                                            const Decimal& difference, const Decimal& zero,
                                            uint32_t q) {
  const bool positive = difference.gt(zero);
  struct Slot {
    int16_t priority;
    int32_t id;
    std::size_t k;  // position among the distinct lines
    Decimal amount;
  };
  const auto takes_part = [&](const Decimal& amount) {
    return positive ? amount.gt(zero) : amount.lt(zero);
  };
  std::size_t m = 0;
  for (const Decimal& amount : t.amounts) m += takes_part(amount) ? 1 : 0;
  if (m == 0) return error_at(kNoCandidates, "");
  std::vector<Slot> slots;
  slots.reserve(m);
  for (std::size_t k = 0; k < t.amounts.size(); ++k) {
    if (!takes_part(t.amounts[k])) continue;
    const LineItem& line = lines[t.first[k]];
    slots.push_back({line.priority, line.id, k, t.amounts[k]});
  }

  const std::optional<U128> quanta = whole_quanta(difference, q);
  if (!quanta) return error_at(kCannotRedistribute, "");
  const U128 each = *quanta / m;
  const auto tail = static_cast<std::size_t>(*quanta % m);
  // Whether a comes before b in the redistribution order.
  const auto before = [positive](const Slot& a, const Slot& b) {
    if (a.priority != b.priority) {
      return positive ? a.priority < b.priority : a.priority > b.priority;
    }
    const int by_amount = a.amount.cmp(b.amount);
    if (by_amount != 0) return by_amount > 0;
    if (a.id != b.id) return a.id > b.id;
    return a.k < b.k;
  };
  if (tail > 0) {
    const auto nth = slots.end() - static_cast<std::ptrdiff_t>(tail);
    std::nth_element(slots.begin(), nth, slots.end(), before);
  }

  for (std::size_t j = each == 0 ? m - tail : 0; j < m; ++j) {
    const U128 extra = each + (j >= m - tail ? 1 : 0);
    Decimal& amount = t.amounts[slots[j].k];
    const std::optional<Decimal> step = decimal_of(extra, q, !positive);
    // A line whose amount already holds as many digits as the type allows
    // would round the quanta away instead of taking them.
    const std::optional<Decimal> grown = step ? exact_add(amount, *step) : std::nullopt;
    if (!grown) return error_at(kCannotRedistribute, "");
    amount = *grown;
  }
  return std::nullopt;
}

// Whether the final amounts add up exactly to the total. Every amount and the
// total have at most q places.
bool adds_up(const Tabulation& t, uint32_t q) noexcept {
  ExactSum sum(q);
  for (const Decimal& amount : t.amounts) sum.add(amount);
  sum.add(t.total, 1, true);
  return sum.is_zero();
}

Result<Tabulation, TabulationError> computed_totals(const std::vector<LineItem>& lines,
                                                    uint32_t q) {
  const Decimal zero = quantized_zero(q);  // panics for q > 28 before any line is read
  Collapsed c = collapse(lines);
  const std::vector<std::size_t> order = tier_order(lines);

  const std::size_t n = lines.size();
  const auto nth = [&order](std::size_t j) { return order.empty() ? j : order[j]; };

  std::vector<Decimal> values(c.first.size());
  std::vector<bool> seen(c.first.size(), false);
  std::vector<std::size_t> tier;  // distinct lines of the tier, in order of first appearance
  tier.reserve(c.first.size());    // once, instead of growing within each tier
  Decimal base = zero;
  Decimal discount = zero;
  for (std::size_t start = 0; start < n;) {
    const int16_t priority = lines[nth(start)].priority;
    tier.clear();
    std::size_t end = start;
    for (; end < n && lines[nth(end)].priority == priority; ++end) {
      const std::size_t i = nth(end);
      const std::size_t k = c.position(i);
      // A line equal to an earlier one has the same value against the same
      // base; it is evaluated once but counts in the discount every time.
      if (!seen[k]) {
        auto value = line_value(lines[i], i, base);
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
  Tabulation t{base, quantize(discount, q), std::move(c.first), std::move(values)};

  Decimal parts = zero;
  for (const Decimal& amount : t.amounts) parts += amount;
  const Decimal difference = t.total - parts;
  if (!difference.is_zero()) {
    if (auto error = redistribute(lines, t, difference, zero, q)) return std::move(*error);
  }
  // At the limit of the type the total, the sum of the amounts or the
  // difference may have been rounded (a bill whose exact sum needs more than 96
  // bits); only amounts that really add up to the total are handed back.
  if (!adds_up(t, q)) return error_at(kCannotRedistribute, "");
  return t;
}

}  // namespace

Result<Tabulation, TabulationError> tabulate(const std::vector<LineItem>& lines, uint32_t q) {
  const bool frozen = !lines.empty() && std::all_of(lines.begin(), lines.end(), [](const auto& l) {
    return l.frozen_value.has_value();
  });
  if (frozen) return frozen_totals(lines);
  return computed_totals(lines, q);
}

Result<Totals, TabulationError> get_totals(std::vector<LineItem> lines, uint32_t q) {
  auto t = tabulate(lines, q);
  if (!t) return std::move(t).error();
  Totals totals{t->total, t->discount, {}};
  totals.subtotals.reserve(t->first.size());
  for (std::size_t k = 0; k < t->first.size(); ++k) {
    totals.subtotals.emplace_back(std::move(lines[t->first[k]]), t->amounts[k]);
  }
  return totals;
}

Result<Decimal, TabulationError> reckon_lines(std::vector<LineItem> lines, uint32_t q) {
  auto t = tabulate(lines, q);
  if (!t) return std::move(t).error();
  return t->total;
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

Result<std::vector<LineItem>, TabulationError> tip_fee_lines(const data::TipLinesContext& context) {
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

  // Only the sign of the purchase's total matters here. It is reckoned on a
  // copy of the lines so far followed by the extra lines, which are moved
  // there rather than copied and taken from there at the end.
  const std::size_t generated = result.size();
  Lines reckoned;
  reckoned.reserve(generated + context.extra_lines.size());
  reckoned.assign(result.begin(), result.end());
  reckoned.insert(reckoned.end(), std::make_move_iterator(context.extra_lines.begin()),
                  std::make_move_iterator(context.extra_lines.end()));
  auto total = tabulate(reckoned, context.quantization);
  if (!total) {
    TabulationError error = std::move(total).error();
    // A line of the reckoning is one of the caller's extra lines (the base
    // price line, the only other, was proved to parse above).
    if (error.line) {
      const std::size_t extra = *error.line - generated;
      error.where = "extra_lines[" + std::to_string(extra) + "]." + error.where;
      error.line.reset();
    }
    return error;
  }
  const bool positive = total->total.gt(quantized_zero(context.quantization));

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

  result.reserve(result.size() + reckoned.size() - generated);
  for (std::size_t i = generated; i < reckoned.size(); ++i) {
    result.push_back(std::move(reckoned[i]));
  }
  return result;
}

}  // namespace funcs
