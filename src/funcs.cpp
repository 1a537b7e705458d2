#include "funcs.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>

namespace funcs {
namespace {

using data::Account;
using data::Category;
using data::LineType;

// Coefficients are 96 bits wide; whole numbers of quanta and the digits cut
// off by quantizing need a little more room than that.
__extension__ typedef unsigned __int128 U128;
__extension__ typedef __int128 I128;

constexpr U128 kCoefficientLimit = static_cast<U128>(1) << 96;

// 10^n for n up to 38.
U128 pow10(uint32_t n) noexcept {
  U128 r = 1;
  while (n-- > 0) r *= 10;
  return r;
}

U128 coefficient(const Decimal& d) noexcept {
  return (static_cast<U128>(d.hi()) << 64) | (static_cast<U128>(d.mid()) << 32) | d.lo();
}

// A coefficient known to fit in 96 bits, at a scale of at most 28. Zero is positive.
Decimal from_coefficient(U128 c, uint32_t scale, bool negative) noexcept {
  return Decimal::from_parts(static_cast<uint32_t>(c), static_cast<uint32_t>(c >> 32),
                             static_cast<uint32_t>(c >> 64), scale, negative && c != 0);
}

// c / 10^scale with the given sign. Trailing zeros are dropped only when the
// coefficient would not fit otherwise; nothing when the value cannot be held.
std::optional<Decimal> decimal_of(U128 c, uint32_t scale, bool negative) noexcept {
  while (c >= kCoefficientLimit && scale > 0 && c % 10 == 0) {
    c /= 10;
    --scale;
  }
  if (c >= kCoefficientLimit) return std::nullopt;
  return from_coefficient(c, scale, negative);
}

// The digits of x beyond place `place`, as a signed count of units of 10^-to
// (to >= x.scale() > place, or the result is zero).
I128 digits_beyond(const Decimal& x, uint32_t place, uint32_t to) noexcept {
  if (x.scale() <= place) return 0;
  const U128 cut = coefficient(x) % pow10(x.scale() - place) * pow10(to - x.scale());
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
  const U128 c = coefficient(x);
  const uint32_t s = x.scale();
  if (s > q) {
    const U128 unit = pow10(s - q);
    if (c % unit != 0) return std::nullopt;
    return c / unit;
  }
  // c < 2^96 and q - s <= 28 < log10(2^32), so the product fits in 128 bits.
  return c * pow10(q - s);
}

TabulationError parse_failure(const tallyforge::ParseError& error) {
  return TabulationError{std::string(error.message)};
}

constexpr const char* kCannotDivide = "Amount cannot be divided into shares at this quantization.";
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
  return from_coefficient(coefficient(value) / pow10(s - q), q, value.is_negative());
}

std::string value_string(const Decimal& value, uint32_t q) {
  return quantize(value, q).to_string();
}

Result<std::vector<std::string>, TabulationError> divide_amount(std::string_view source_amount,
                                                                uint16_t divisor, uint32_t q) {
  auto parsed = Decimal::from_str_exact(source_amount);
  if (!parsed) return parse_failure(parsed.error());
  const Decimal amount = parsed.value();
  if (quantize(amount, q).ne(amount)) {
    return TabulationError{"Amount is improperly quantized. Cannot divide."};
  }
  if (divisor == 0) return TabulationError{"Cannot divide by zero."};

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
  if (!quanta) return TabulationError{kCannotDivide};
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
    if (!grown) return TabulationError{kCannotDivide};
    shares[i] = *grown;
  }

  // At the limit of the type the product of step 5 may itself have been
  // rounded; only shares that really sum to the amount are handed back.
  Decimal sum = shares.front();
  for (std::size_t i = 1; i < shares.size(); ++i) {
    const std::optional<Decimal> next = exact_add(sum, shares[i]);
    if (!next) return TabulationError{kCannotDivide};
    sum = *next;
  }
  if (sum.ne(amount)) return TabulationError{kCannotDivide};

  std::vector<std::string> texts;
  texts.reserve(shares.size());
  for (const Decimal& s : shares) texts.push_back(value_string(s, q));
  return texts;
}

}  // namespace funcs
