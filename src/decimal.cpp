#include "decimal.hpp"

#include <string>

namespace tallyforge {

void panic(std::string message) {
  throw Panic(std::move(message));
}

namespace {

using u128 = Decimal::Coefficient;

// Every coefficient is below this bound.
constexpr u128 kLimit = static_cast<u128>(1) << 96;

// Messages of the parse errors.
constexpr std::string_view kEmpty = "Invalid decimal: empty";
constexpr std::string_view kTwoPoints = "Invalid decimal: two decimal points";
constexpr std::string_view kLeadUnderscore = "Invalid decimal: must start lead with a number";
constexpr std::string_view kUnknownChar = "Invalid decimal: unknown character";
constexpr std::string_view kNoDigits = "Invalid decimal: no digits found";
constexpr std::string_view kTooManyDigits = "Invalid decimal: overflow from too many digits";
constexpr std::string_view kPrecision = "Number has a high precision that can not be represented.";

// Messages of the fatal failures.
constexpr const char* kAddOverflow = "Addition overflowed";
constexpr const char* kSubOverflow = "Subtraction overflowed";
constexpr const char* kMulOverflow = "Multiplication overflowed";
constexpr const char* kDivOverflow = "Division overflowed";
constexpr const char* kDivByZero = "Division by zero";

constexpr uint32_t kPow10Small[10] = {1,      10,      100,      1000,      10000,
                                      100000, 1000000, 10000000, 100000000, 1000000000};

struct Pow10Table {
  u128 v[29];
};

constexpr Pow10Table make_pow10() {
  Pow10Table t{};
  t.v[0] = 1;
  for (int i = 1; i < 29; ++i) t.v[i] = t.v[i - 1] * 10;
  return t;
}

// 10^0 to 10^28; 10^28 is below 2^94.
constexpr Pow10Table kPow10 = make_pow10();

[[noreturn, gnu::cold, gnu::noinline]] void fail(const char* message) {
  panic(std::string(message));
}

[[noreturn, gnu::cold, gnu::noinline]] void fail_scale(uint32_t scale) {
  panic("Scale exceeds the maximum precision allowed: " + std::to_string(scale) + " > " +
        std::to_string(Decimal::kMaxScale));
}

// v / d for a divisor below 2^32, with the remainder in `rem`. Works on 32-bit
// limbs so that every step is a native 64-by-32-bit division.
inline u128 divmod_small(u128 v, uint32_t d, uint32_t& rem) {
  uint64_t r = 0;
  u128 q = 0;
  for (int shift = 96; shift >= 0; shift -= 32) {
    const uint64_t cur = (r << 32) | static_cast<uint32_t>(v >> shift);
    q |= static_cast<u128>(cur / d) << shift;
    r = cur % d;
  }
  rem = static_cast<uint32_t>(r);
  return q;
}

// Unsigned 192-bit integer in little-endian 32-bit limbs: room for the product
// of two coefficients and for a coefficient rescaled by up to 10^28.
struct Wide {
  uint32_t w[6] = {};

  static Wide from(u128 v) {
    Wide r;
    for (int i = 0; i < 4; ++i) r.w[i] = static_cast<uint32_t>(v >> (32 * i));
    return r;
  }

  bool fits96() const { return (w[3] | w[4] | w[5]) == 0; }
  u128 low96() const {
    return (static_cast<u128>(w[2]) << 64) | (static_cast<u128>(w[1]) << 32) | w[0];
  }
  bool odd() const { return (w[0] & 1u) != 0; }

  // Divides in place by d (below 2^32) and returns the remainder.
  uint32_t divmod(uint32_t d) {
    uint64_t r = 0;
    for (int i = 5; i >= 0; --i) {
      const uint64_t cur = (r << 32) | w[i];
      w[i] = static_cast<uint32_t>(cur / d);
      r = cur % d;
    }
    return static_cast<uint32_t>(r);
  }
};

// Exact product of two values below 2^96.
Wide mul_wide(u128 a, u128 b) {
  const Wide x = Wide::from(a);
  const Wide y = Wide::from(b);
  Wide r;
  for (int i = 0; i < 3; ++i) {
    uint64_t carry = 0;
    for (int j = 0; j < 3; ++j) {
      const uint64_t t = static_cast<uint64_t>(x.w[i]) * y.w[j] + r.w[i + j] + carry;
      r.w[i + j] = static_cast<uint32_t>(t);
      carry = t >> 32;
    }
    r.w[i + 3] = static_cast<uint32_t>(carry);
  }
  return r;
}

Wide add_wide(const Wide& a, const Wide& b) {
  Wide r;
  uint64_t carry = 0;
  for (int i = 0; i < 6; ++i) {
    const uint64_t t = static_cast<uint64_t>(a.w[i]) + b.w[i] + carry;
    r.w[i] = static_cast<uint32_t>(t);
    carry = t >> 32;
  }
  return r;
}

// a - b for a >= b.
Wide sub_wide(const Wide& a, const Wide& b) {
  Wide r;
  uint64_t borrow = 0;
  for (int i = 0; i < 6; ++i) {
    const uint64_t t = static_cast<uint64_t>(a.w[i]) - b.w[i] - borrow;
    r.w[i] = static_cast<uint32_t>(t);
    borrow = (t >> 32) & 1u;
  }
  return r;
}

int cmp_wide(const Wide& a, const Wide& b) {
  for (int i = 5; i >= 0; --i) {
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
  }
  return 0;
}

// Rounds `v`, exact at `scale` places, half to even (all dropped digits
// counted) to at most `max_scale` places, and further to the largest scale at
// which the rounded coefficient fits in 96 bits. Panics with `message` when it
// does not fit even at scale 0. A zero result is positive.
[[gnu::noinline]] Decimal round_to_fit(Wide v, uint32_t scale, uint32_t max_scale, bool negative,
                                       const char* message) {
  uint32_t target = scale < max_scale ? scale : max_scale;
  uint32_t last = 0;    // the highest dropped digit
  bool sticky = false;  // whether any lower dropped digit is non-zero
  if (scale > target) {
    for (uint32_t rest = scale - target - 1; rest > 0;) {
      const uint32_t k = rest < 9 ? rest : 9;
      if (v.divmod(kPow10Small[k]) != 0) sticky = true;
      rest -= k;
    }
    last = v.divmod(10);
  }
  for (;;) {
    if (v.fits96()) {
      u128 c = v.low96();
      if (last > 5 || (last == 5 && (sticky || v.odd()))) ++c;
      if (c < kLimit) return Decimal::from_coefficient(c, target, negative);
    }
    if (target == 0) fail(message);
    sticky = sticky || last != 0;
    last = v.divmod(10);
    --target;
  }
}

// Brings the coefficient of the smaller scale up to the larger scale, for a
// scale difference of at most 9 (so both stay below 2^126).
void align_small(u128& ca, u128& cb, uint32_t sa, uint32_t sb, uint32_t diff) noexcept {
  (sa < sb ? ca : cb) *= kPow10Small[diff];
}

// a + b, or a - b when `subtract` is set.
Decimal add_signed(const Decimal& a, const Decimal& b, bool subtract, const char* message) {
  if (a.is_zero()) return subtract ? b.neg() : b;
  if (b.is_zero()) return a;
  const bool a_neg = a.is_negative();
  const bool b_neg = b.is_negative() != subtract;
  const uint32_t sa = a.scale();
  const uint32_t sb = b.scale();
  u128 ca = a.coefficient();
  u128 cb = b.coefficient();
  const uint32_t scale = sa > sb ? sa : sb;
  const uint32_t diff = sa > sb ? sa - sb : sb - sa;

  if (diff <= 9) {
    // Rescaled coefficients stay below 2^126, their sum below 2^127.
    align_small(ca, cb, sa, sb, diff);
    u128 r;
    bool negative = a_neg;
    if (a_neg == b_neg) {
      r = ca + cb;
    } else if (ca >= cb) {
      r = ca - cb;
    } else {
      r = cb - ca;
      negative = b_neg;
    }
    if (r < kLimit) return Decimal::from_coefficient(r, scale, negative);
    return round_to_fit(Wide::from(r), scale, scale, negative, message);
  }

  const Wide wa = sa < sb ? mul_wide(ca, kPow10.v[diff]) : Wide::from(ca);
  const Wide wb = sb < sa ? mul_wide(cb, kPow10.v[diff]) : Wide::from(cb);
  if (a_neg == b_neg) return round_to_fit(add_wide(wa, wb), scale, scale, a_neg, message);
  if (cmp_wide(wa, wb) >= 0) return round_to_fit(sub_wide(wa, wb), scale, scale, a_neg, message);
  return round_to_fit(sub_wide(wb, wa), scale, scale, b_neg, message);
}

}  // namespace

Decimal Decimal::make(int64_t n, uint32_t scale) {
  if (scale > kMaxScale) fail_scale(scale);
  const uint64_t magnitude = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  return from_parts(static_cast<uint32_t>(magnitude), static_cast<uint32_t>(magnitude >> 32), 0,
                    scale, n < 0);
}

Result<Decimal, ParseError> Decimal::from_str_exact(std::string_view text) {
  if (text.empty()) return ParseError{kEmpty};
  size_t i = 0;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    i = 1;
  }
  u128 coefficient = 0;
  uint32_t scale = 0;
  bool point = false;
  bool digits = false;
  for (; i < text.size(); ++i) {
    // Nothing may follow the last representable place, not even a zero.
    if (scale == kMaxScale) return ParseError{kPrecision};
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const unsigned digit = c - static_cast<unsigned>('0');
    if (digit < 10) {
      coefficient = coefficient * 10 + digit;
      if (coefficient >= kLimit) return ParseError{point ? kPrecision : kTooManyDigits};
      digits = true;
      if (point) ++scale;
    } else if (c == '.') {
      if (point) return ParseError{kTwoPoints};
      point = true;
    } else if (c == '_') {
      if (!digits) return ParseError{kLeadUnderscore};
    } else {
      return ParseError{kUnknownChar};
    }
  }
  if (!digits) return ParseError{kNoDigits};
  return from_coefficient(coefficient, scale, negative);
}

std::string Decimal::to_string() const {
  // Room for 29 digits, or for the zeros of any scale a constant may carry.
  char buf[264];
  char* const end = buf + sizeof buf;
  char* p = end;
  u128 c = coefficient();
  do {
    uint32_t chunk;
    c = divmod_small(c, 1000000000u, chunk);
    if (c != 0) {
      for (int k = 0; k < 9; ++k) {
        *--p = static_cast<char>('0' + chunk % 10);
        chunk /= 10;
      }
    } else {
      do {
        *--p = static_cast<char>('0' + chunk % 10);
        chunk /= 10;
      } while (chunk != 0);
    }
  } while (c != 0);
  const uint32_t s = scale();
  while (static_cast<uint32_t>(end - p) < s + 1) *--p = '0';

  std::string out;
  const size_t digits = static_cast<size_t>(end - p);
  out.reserve(digits + 2);
  if (is_negative()) out.push_back('-');
  out.append(p, digits - s);
  if (s > 0) {
    out.push_back('.');
    out.append(end - s, s);
  }
  return out;
}

Decimal Decimal::add(const Decimal& rhs) const {
  return add_signed(*this, rhs, false, kAddOverflow);
}

Decimal Decimal::sub(const Decimal& rhs) const {
  return add_signed(*this, rhs, true, kSubOverflow);
}

Decimal Decimal::mul(const Decimal& rhs) const {
  if (is_zero() || rhs.is_zero()) return Decimal();
  const bool negative = is_negative() != rhs.is_negative();
  const uint32_t s = scale() + rhs.scale();
  if (hi_ == 0 && rhs.hi_ == 0) {
    if (mid_ == 0 && rhs.mid_ == 0 && s > 47) return Decimal();
    const u128 p = static_cast<u128>((static_cast<uint64_t>(mid_) << 32) | lo_) *
                   ((static_cast<uint64_t>(rhs.mid_) << 32) | rhs.lo_);
    if (p < kLimit && s <= kMaxScale) return from_coefficient(p, s, negative);
    return round_to_fit(Wide::from(p), s, kMaxScale, negative, kMulOverflow);
  }
  return round_to_fit(mul_wide(coefficient(), rhs.coefficient()), s, kMaxScale, negative,
                      kMulOverflow);
}

Decimal Decimal::div(const Decimal& rhs) const {
  const u128 b = rhs.coefficient();
  if (b == 0) fail(kDivByZero);
  const u128 a = coefficient();
  if (a == 0) return Decimal();
  const bool negative = is_negative() != rhs.is_negative();

  // x / b with the remainder in `rem`; money mostly fits in 64 bits, where a
  // single native division does.
  const auto divide = [b](u128 x, u128& rem) -> u128 {
    if ((x >> 64) == 0 && (b >> 64) == 0) {
      const auto x64 = static_cast<uint64_t>(x);
      const auto b64 = static_cast<uint64_t>(b);
      rem = x64 % b64;
      return x64 / b64;
    }
    rem = x % b;
    return x / b;
  };

  int s = static_cast<int>(scale()) - static_cast<int>(rhs.scale());
  u128 r;
  u128 q = divide(a, r);
  bool extended = false;
  bool round = false;
  for (;;) {
    if (r == 0) {
      if (s >= 0) break;
      // Exact but at a negative scale: bring the quotient up to scale 0.
      const int k = -s < 9 ? -s : 9;
      q *= kPow10Small[k];
      if (q >= kLimit) fail(kDivOverflow);
      s += k;
      continue;
    }
    if (s == static_cast<int>(kMaxScale)) {
      round = true;
      break;
    }
    // Extend by as many places (up to nine) as keep the quotient in 96 bits.
    const int max_k = 28 - s < 9 ? 28 - s : 9;
    int k = max_k;
    while (k > 0 && q * kPow10Small[k] >= kLimit) --k;
    // A negative scale is only out of range when the size of the quotient,
    // not the nine-place step, stopped the extension; otherwise the next
    // step continues toward scale 0.
    if (s + k < 0 && k < 9) fail(kDivOverflow);
    if (k == 0) {
      round = true;
      break;
    }
    extended = true;
    const uint32_t p = kPow10Small[k];
    const u128 rp = r * p;  // below 2^126
    q = q * p + divide(rp, r);
    s += k;
    if (q >= kLimit) {
      uint32_t dropped;
      q = divmod_small(q, 10, dropped);
      if (dropped > 5 || (dropped == 5 && (r != 0 || (q & 1) != 0))) ++q;
      if (s <= 0) fail(kDivOverflow);
      --s;
      break;
    }
  }
  if (round) {
    const u128 twice = r * 2;  // r < b < 2^96
    if (twice > b || (twice == b && (q & 1) != 0)) {
      ++q;
      if (q >= kLimit) {
        uint32_t dropped;
        q = divmod_small(q, 10, dropped);
        if (dropped >= 5) ++q;
        if (s == 0) fail(kDivOverflow);
        --s;
      }
    }
    extended = true;
  }
  if (extended) {
    // Drop trailing zeros that the extension produced, in fixed steps.
    uint32_t rem;
    for (;;) {
      if ((q & 0xFFFFFFFFu) != 0 || s < 8) break;
      const u128 t = divmod_small(q, 100000000u, rem);
      if (rem != 0) break;
      q = t;
      s -= 8;
    }
    if ((q & 0xFu) == 0 && s >= 4) {
      const u128 t = divmod_small(q, 10000u, rem);
      if (rem == 0) {
        q = t;
        s -= 4;
      }
    }
    if ((q & 0x3u) == 0 && s >= 2) {
      const u128 t = divmod_small(q, 100u, rem);
      if (rem == 0) {
        q = t;
        s -= 2;
      }
    }
    if ((q & 0x1u) == 0 && s >= 1) {
      const u128 t = divmod_small(q, 10u, rem);
      if (rem == 0) {
        q = t;
        s -= 1;
      }
    }
  }
  return from_coefficient(q, static_cast<uint32_t>(s), negative);
}

int Decimal::cmp(const Decimal& rhs) const noexcept {
  const bool a_zero = is_zero();
  const bool b_zero = rhs.is_zero();
  if (a_zero && b_zero) return 0;
  const bool a_neg = !a_zero && is_negative();
  const bool b_neg = !b_zero && rhs.is_negative();
  if (a_neg != b_neg) return a_neg ? -1 : 1;

  const uint32_t sa = scale();
  const uint32_t sb = rhs.scale();
  u128 ca = coefficient();
  u128 cb = rhs.coefficient();
  int m;
  const uint32_t diff = sa > sb ? sa - sb : sb - sa;
  if (diff <= 9) {
    align_small(ca, cb, sa, sb, diff);
    m = ca < cb ? -1 : (ca > cb ? 1 : 0);
  } else {
    const u128 p = kPow10.v[diff < 28 ? diff : 28];
    m = sa < sb ? cmp_wide(mul_wide(ca, p), Wide::from(cb))
                : cmp_wide(Wide::from(ca), mul_wide(cb, p));
  }
  return a_neg ? -m : m;
}

}  // namespace tallyforge
