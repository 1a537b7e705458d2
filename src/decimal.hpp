// Exact decimal number: a 96-bit unsigned coefficient, a sign and a scale of
// 0 to 28 decimal places. The value is (-1)^negative * coefficient / 10^scale.
//
// The scale belongs to the representation, not to the value: 1.5 and 1.50 are
// equal numbers with different texts, and every operation has a fixed rule for
// the scale of its result. A zero is never negative.
//
// Parsing is the only way text becomes a Decimal and returns a ParseError
// value on bad input. Arithmetic that cannot be represented (overflow,
// division by zero, a scale above 28) is fatal and throws Panic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "portable.hpp"
#include "result.hpp"

namespace tallyforge {

// A parse failure. The message is one of a fixed set of static texts.
struct ParseError {
  std::string_view message;
};

class Decimal {
 public:
  static constexpr uint32_t kMaxScale = 28;

  // Positive zero at scale 0.
  constexpr Decimal() noexcept = default;

  // A constant written as its parts; no check is made on them.
  static constexpr Decimal from_parts(uint32_t lo, uint32_t mid, uint32_t hi, uint32_t scale,
                                      bool negative) noexcept {
    Decimal d;
    d.lo_ = lo;
    d.mid_ = mid;
    d.hi_ = hi;
    d.flags_ = (scale << kScaleShift) | (negative ? kSignBit : 0u);
    return d;
  }

  // An unsigned 128-bit integer wide enough for any coefficient.
  using Coefficient = uint128;

  // The value (-1)^negative * coefficient / 10^scale from a coefficient below
  // 2^96 (higher bits are dropped); a zero is made positive. No check on scale.
  static constexpr Decimal from_coefficient(Coefficient coefficient, uint32_t scale,
                                            bool negative) noexcept {
    return from_parts(static_cast<uint32_t>(coefficient), static_cast<uint32_t>(coefficient >> 32),
                      static_cast<uint32_t>(coefficient >> 64), scale,
                      negative && coefficient != 0);
  }

  // The value n / 10^scale. Panics with the scale message when scale > 28.
  static Decimal make(int64_t n, uint32_t scale);

  // Exact parse of a decimal text; never rounds.
  static Result<Decimal, ParseError> from_str_exact(std::string_view text);

  // Text form: optional "-", integer digits (at least "0"), and for a scale
  // above zero a point followed by exactly `scale` digits.
  std::string to_string() const;

  // The longest text of a value with a scale of at most 28: a sign and either
  // 29 digits with a point or "0." and 28 places.
  static constexpr size_t kMaxTextSize = 31;
  // The room to_chars needs: it writes in fixed-size blocks, and what lies
  // beyond the text's length is scratch.
  static constexpr size_t kTextBufferSize = 64;

  // Writes the text form to `out`, which has room for kTextBufferSize
  // characters, and returns its length (at most kMaxTextSize). Never
  // allocates. The scale must be at most 28, as it is for every value the
  // operations make.
  size_t to_chars(char* out) const noexcept;

  Decimal add(const Decimal& rhs) const;
  Decimal sub(const Decimal& rhs) const;
  Decimal mul(const Decimal& rhs) const;
  Decimal div(const Decimal& rhs) const;
  void add_assign(const Decimal& rhs) { *this = add(rhs); }
  void sub_assign(const Decimal& rhs) { *this = sub(rhs); }

  // Flips the sign of a non-zero value; a zero stays positive.
  Decimal neg() const noexcept {
    Decimal d = *this;
    if (!d.is_zero()) d.flags_ ^= kSignBit;
    return d;
  }

  // Three-way numeric comparison: negative, zero or positive.
  int cmp(const Decimal& rhs) const noexcept {
    // Same scale and sign, as money mostly has: the coefficients decide. A zero
    // is never negative, so this also orders zeros against positive values.
    if (flags_ == rhs.flags_) {
      const Coefficient a = coefficient();
      const Coefficient b = rhs.coefficient();
      const int m = (a > b) - (a < b);
      return is_negative() ? -m : m;
    }
    return cmp_rescaled(rhs);
  }
  bool eq(const Decimal& rhs) const noexcept { return cmp(rhs) == 0; }
  bool ne(const Decimal& rhs) const noexcept { return cmp(rhs) != 0; }
  bool lt(const Decimal& rhs) const noexcept { return cmp(rhs) < 0; }
  bool gt(const Decimal& rhs) const noexcept { return cmp(rhs) > 0; }

  constexpr bool is_zero() const noexcept { return (lo_ | mid_ | hi_) == 0; }
  constexpr bool is_negative() const noexcept { return (flags_ & kSignBit) != 0; }
  constexpr uint32_t scale() const noexcept { return (flags_ >> kScaleShift) & 0xFFu; }
  constexpr uint32_t lo() const noexcept { return lo_; }
  constexpr uint32_t mid() const noexcept { return mid_; }
  constexpr uint32_t hi() const noexcept { return hi_; }
  constexpr Coefficient coefficient() const noexcept {
    return (static_cast<Coefficient>(hi_) << 64) | (static_cast<uint64_t>(mid_) << 32) | lo_;
  }

  friend Decimal operator+(const Decimal& a, const Decimal& b) { return a.add(b); }
  friend Decimal operator-(const Decimal& a, const Decimal& b) { return a.sub(b); }
  friend Decimal operator*(const Decimal& a, const Decimal& b) { return a.mul(b); }
  friend Decimal operator/(const Decimal& a, const Decimal& b) { return a.div(b); }
  Decimal& operator+=(const Decimal& b) {
    add_assign(b);
    return *this;
  }
  Decimal& operator-=(const Decimal& b) {
    sub_assign(b);
    return *this;
  }

  // Numeric comparison (1.0 == 1.00). Representation equality is same_repr.
  friend bool operator==(const Decimal& a, const Decimal& b) noexcept { return a.eq(b); }
  friend bool operator<(const Decimal& a, const Decimal& b) noexcept { return a.lt(b); }
  friend bool operator>(const Decimal& a, const Decimal& b) noexcept { return a.gt(b); }
  friend bool operator<=(const Decimal& a, const Decimal& b) noexcept { return !a.gt(b); }
  friend bool operator>=(const Decimal& a, const Decimal& b) noexcept { return !a.lt(b); }

  // Same coefficient, sign and scale.
  constexpr bool same_repr(const Decimal& rhs) const noexcept {
    return flags_ == rhs.flags_ && lo_ == rhs.lo_ && mid_ == rhs.mid_ && hi_ == rhs.hi_;
  }

 private:
  // cmp of values whose flags differ: opposite signs, or one sign at two scales.
  int cmp_rescaled(const Decimal& rhs) const noexcept;

  static constexpr uint32_t kScaleShift = 16;
  static constexpr uint32_t kSignBit = 0x80000000u;

  // Scale in bits 16..23, sign in bit 31, all other bits zero.
  uint32_t flags_ = 0;
  uint32_t lo_ = 0;
  uint32_t mid_ = 0;
  uint32_t hi_ = 0;
};

static_assert(sizeof(Decimal) == 16);
static_assert(std::is_trivially_copyable_v<Decimal>);

}  // namespace tallyforge
