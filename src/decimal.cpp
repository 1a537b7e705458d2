#include "decimal.hpp"

#include <cstring>
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
  u128 v[39];
};

constexpr Pow10Table make_pow10() {
  Pow10Table t{};
  t.v[0] = 1;
  for (int i = 1; i < 39; ++i) t.v[i] = t.v[i - 1] * 10;
  return t;
}

// 10^0 to 10^38; 10^28 is below 2^94, 10^38 below 2^127.
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

// (hi * 2^64 + lo) / d for hi < d, with the remainder in `rem`: one native
// 128-by-64-bit division where the processor has it.
inline uint64_t div_2by1(uint64_t hi, uint64_t lo, uint64_t d, uint64_t& rem) noexcept {
#if defined(__x86_64__)
  uint64_t q;
  __asm__("divq %[d]" : "=a"(q), "=d"(rem) : [d] "rm"(d), "a"(lo), "d"(hi));
  return q;
#else
  const u128 n = (static_cast<u128>(hi) << 64) | lo;
  rem = static_cast<uint64_t>(n % d);
  return static_cast<uint64_t>(n / d);
#endif
}

// Unsigned 192-bit integer in little-endian 64-bit limbs: room for the product
// of two coefficients and for a coefficient rescaled by up to 10^28.
struct Wide {
  uint64_t w[3] = {};

  static constexpr Wide from(u128 v) noexcept {
    Wide r;
    r.w[0] = static_cast<uint64_t>(v);
    r.w[1] = static_cast<uint64_t>(v >> 64);
    return r;
  }

  bool fits96() const noexcept { return w[2] == 0 && (w[1] >> 32) == 0; }
  u128 low128() const noexcept { return (static_cast<u128>(w[1]) << 64) | w[0]; }

  // Number of significant bits.
  int bit_length() const noexcept {
    for (int i = 2; i >= 0; --i) {
      if (w[i] != 0) return 64 * i + 64 - leading_zeros(w[i]);
    }
    return 0;
  }

  // Divides in place by d and returns the remainder.
  uint64_t divmod(uint64_t d) noexcept {
    uint64_t r = 0;
    for (int i = 2; i >= 0; --i) {
      if (r == 0 && w[i] < d) {
        r = w[i];  // a leading limb below the divisor: a zero quotient limb
        w[i] = 0;
        continue;
      }
      w[i] = div_2by1(r, w[i], d, r);
    }
    return r;
  }
};

constexpr bool less(const Wide& a, const Wide& b) noexcept {
  for (int i = 2; i >= 0; --i) {
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i];
  }
  return false;
}

int cmp_wide(const Wide& a, const Wide& b) noexcept {
  for (int i = 2; i >= 0; --i) {
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
  }
  return 0;
}

// Exact product of two values below 2^96.
Wide mul_wide(u128 a, u128 b) noexcept {
  const auto a0 = static_cast<uint64_t>(a);
  const auto a1 = static_cast<uint64_t>(a >> 64);  // below 2^32
  const auto b0 = static_cast<uint64_t>(b);
  const auto b1 = static_cast<uint64_t>(b >> 64);
  const u128 low = static_cast<u128>(a0) * b0;
  // Each cross product is below 2^96, their sum with the carry below 2^98.
  const u128 mid = static_cast<u128>(a0) * b1 + static_cast<u128>(a1) * b0 + (low >> 64);
  Wide r;
  r.w[0] = static_cast<uint64_t>(low);
  r.w[1] = static_cast<uint64_t>(mid);
  r.w[2] = static_cast<uint64_t>(mid >> 64) + a1 * b1;  // the whole product is below 2^192
  return r;
}

Wide add_wide(const Wide& a, const Wide& b) noexcept {
  Wide r;
  u128 carry = 0;
  for (int i = 0; i < 3; ++i) {
    const u128 t = static_cast<u128>(a.w[i]) + b.w[i] + carry;
    r.w[i] = static_cast<uint64_t>(t);
    carry = t >> 64;
  }
  return r;
}

// a - b for a >= b.
Wide sub_wide(const Wide& a, const Wide& b) noexcept {
  Wide r;
  uint64_t borrow = 0;
  for (int i = 0; i < 3; ++i) {
    const uint64_t t = a.w[i] - b.w[i];
    const uint64_t next = (a.w[i] < b.w[i]) | (t < borrow);
    r.w[i] = t - borrow;
    borrow = next;
  }
  return r;
}

// 10^n for n up to 19, as native words.
constexpr uint64_t kPow10Word[20] = {1ull,
                                     10ull,
                                     100ull,
                                     1000ull,
                                     10000ull,
                                     100000ull,
                                     1000000ull,
                                     10000000ull,
                                     100000000ull,
                                     1000000000ull,
                                     10000000000ull,
                                     100000000000ull,
                                     1000000000000ull,
                                     10000000000000ull,
                                     100000000000000ull,
                                     1000000000000000ull,
                                     10000000000000000ull,
                                     100000000000000000ull,
                                     1000000000000000000ull,
                                     10000000000000000000ull};

// v / 10^n for n up to 38, with the remainder in `rem`.
Wide divmod_pow10(Wide v, uint32_t n, u128& rem) noexcept {
  if (n <= 19) {
    rem = v.divmod(kPow10Word[n]);
    return v;
  }
  const uint64_t low = v.divmod(kPow10Word[19]);
  const uint64_t high = v.divmod(kPow10Word[n - 19]);
  rem = static_cast<u128>(high) * kPow10Word[19] + low;
  return v;
}

// 2^96 * 10^d for d = 0 to 28: v / 10^d fits in 96 bits exactly when v is
// below the entry d.
struct FitTable {
  Wide v[29];
};

constexpr FitTable make_fit_table() {
  FitTable t{};
  for (int d = 0; d < 29; ++d) {
    const u128 p = kPow10.v[d];  // below 2^94
    t.v[d].w[1] = static_cast<uint64_t>(p) << 32;
    t.v[d].w[2] = static_cast<uint64_t>(p >> 32);
  }
  return t;
}

constexpr FitTable kFit = make_fit_table();

// The fewest digits to drop from v for the quotient to fit in 96 bits.
uint32_t digits_to_fit(const Wide& v) noexcept {
  if (v.fits96()) return 0;
  // v >= 2^(bits - 1), so at least (bits - 97) * log10(2) digits must go;
  // 1233 / 4096 is just below log10(2), which keeps this a lower bound.
  auto d = static_cast<uint32_t>(((v.bit_length() - 97) * 1233) >> 12);
  // Below 2^192 every value fits once 29 digits are gone.
  while (d < 29 && !less(v, kFit.v[d])) ++d;
  return d;
}

// Rounds `v`, exact at `scale` places, half to even (all dropped digits
// counted) to at most `max_scale` places, and further to the largest scale at
// which the rounded coefficient fits in 96 bits. Panics with `message` when it
// does not fit even at scale 0. A zero result is positive.
//
// The digits to drop are worked out first, so that one division by a power of
// ten drops them all; only a rounding that carries to 2^96 costs another.
[[gnu::noinline]] Decimal round_to_fit(const Wide& v, uint32_t scale, uint32_t max_scale,
                                       bool negative, const char* message) {
  uint32_t drop = scale > max_scale ? scale - max_scale : 0;
  const uint32_t fit = digits_to_fit(v);
  if (fit > drop) drop = fit;
  for (;; ++drop) {
    if (drop > scale) fail(message);
    u128 c = v.low128();
    if (drop > 0) {
      u128 rem;
      c = divmod_pow10(v, drop, rem).low128();  // fits: drop >= digits_to_fit(v)
      const u128 half = 5 * kPow10.v[drop - 1];
      if (rem > half || (rem == half && (c & 1) != 0)) ++c;
    }
    if (c < kLimit) return Decimal::from_coefficient(c, scale - drop, negative);
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
  // Money fits in a native word: digits go there until 10^18 is reached, and
  // only longer numbers continue in 128 bits with the range check.
  uint64_t small = 0;
  u128 coefficient = 0;
  bool wide = false;
  uint32_t scale = 0;
  bool point = false;
  bool digits = false;
  for (; i < text.size(); ++i) {
    // Nothing may follow the last representable place, not even a zero.
    if (scale == kMaxScale) return ParseError{kPrecision};
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const unsigned digit = c - static_cast<unsigned>('0');
    if (digit < 10) {
      if (!wide) {
        small = small * 10 + digit;  // below 10^19
        if (small >= 1000000000000000000ull) {
          wide = true;
          coefficient = small;
        }
      } else {
        coefficient = coefficient * 10 + digit;
        if (coefficient >= kLimit) return ParseError{point ? kPrecision : kTooManyDigits};
      }
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
  return from_coefficient(wide ? coefficient : small, scale, negative);
}

namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the four digits of v < 10^4 at p.
inline void four_digits(char* p, uint32_t v) noexcept {
  std::memcpy(p, kDigitPairs + 2 * (v / 100), 2);
  std::memcpy(p + 2, kDigitPairs + 2 * (v % 100), 2);
}

// Writes the eight digits of v < 10^8 at p, leading zeros included. The two
// halves do not depend on each other, so the processor works on both at once.
inline void eight_digits(char* p, uint32_t v) noexcept {
  four_digits(p, v / 10000);
  four_digits(p + 4, v % 10000);
}

// The number of decimal digits of v < 10^8, at least 1: the bit length times
// 1233 / 4096 (just below log10(2)) and one comparison.
inline uint32_t digit_count(uint32_t v) noexcept {
  v |= 1;
  const auto t = static_cast<uint32_t>(((32 - leading_zeros(v)) * 1233) >> 12);
  return t + 1 - (v < kPow10Small[t] ? 1 : 0);
}

// Writes the digits of v < 10^8 so that they end just before `end`, without
// leading zeros; returns where they start. All eight are made, without
// branches, and the leading zeros left in front; `end` has room for them.
inline char* short_digits_before(char* end, uint32_t v) noexcept {
  eight_digits(end - 8, v);
  return end - digit_count(v);
}

// Writes the digits of v so that they end just before `end`; returns where
// they start. Eight digits per block, each block in 32-bit arithmetic.
char* digits_before(char* end, uint64_t v) noexcept {
  while (v >= 100000000u) {
    end -= 8;
    eight_digits(end, static_cast<uint32_t>(v % 100000000u));
    v /= 100000000u;
  }
  return short_digits_before(end, static_cast<uint32_t>(v));
}

// The text of `d`, whose scale is at most 28, into `out`, which has room for
// Decimal::kTextBufferSize characters. The digits are made in a buffer and
// moved to their places in blocks of 32 bytes, a fixed size that compiles to
// a few vector moves instead of calls to copy a few bytes each.
[[gnu::always_inline]] inline size_t write_text(const Decimal& d, char* out) noexcept {
  char buf[64] = {};
  char* const end = buf + 32;  // the digits end here, with 32 readable bytes after the first
  char* p;
  if (d.hi() == 0) {
    p = digits_before(end, (static_cast<uint64_t>(d.mid()) << 32) | d.lo());
  } else {
    // Split off the low 16 digits in one division; the rest is below
    // 2^96 / 10^16 < 10^13.
    uint64_t low;
    const uint64_t high = div_2by1(d.hi(), (static_cast<uint64_t>(d.mid()) << 32) | d.lo(),
                                   kPow10Word[16], low);
    eight_digits(end - 8, static_cast<uint32_t>(low % 100000000u));
    eight_digits(end - 16, static_cast<uint32_t>(low / 100000000u));
    p = digits_before(end - 16, high);
  }
  const auto n = static_cast<uint32_t>(end - p);  // 1 to 29
  const uint32_t s = d.scale();
  char* o = out;
  *o = '-';
  o += d.is_negative() ? 1 : 0;
  if (n > s) {
    std::memcpy(o, p, 32);  // the integer digits, then scratch
    o += n - s;
    if (s > 0) {
      *o++ = '.';
      std::memcpy(o, end - s, 32);  // the places, then scratch
      o += s;
    }
  } else {
    o[0] = '0';
    o[1] = '.';
    std::memset(o + 2, '0', 32);          // the leading zeros of the places, then scratch
    std::memcpy(o + 2 + (s - n), p, 32);  // the digits, then scratch
    o += 2 + s;
  }
  return static_cast<size_t>(o - out);
}

}  // namespace

size_t Decimal::to_chars(char* out) const noexcept {
  return write_text(*this, out);
}

namespace {

// The text of a constant written as its parts with more than 28 places: its
// digits all lie after the point.
[[gnu::cold, gnu::noinline]] std::string long_scale_text(const Decimal& d) {
  char buf[Decimal::kTextBufferSize];
  const size_t n = Decimal::from_parts(d.lo(), d.mid(), d.hi(), 0, false).to_chars(buf);
  std::string text = d.is_negative() ? "-0." : "0.";
  text.append(d.scale() - n, '0');
  text.append(buf, n);
  return text;
}

}  // namespace

std::string Decimal::to_string() const {
  if (scale() > kMaxScale) return long_scale_text(*this);
  char buf[kTextBufferSize];
  return std::string(buf, write_text(*this, buf));
}

Decimal Decimal::add(const Decimal& rhs) const {
  // Money-sized operands of one scale and sign add without rescaling, and
  // their sum stays below 2^65: it keeps both operands' scale and sign, as the
  // general addition gives it (a zero operand included).
  if (flags_ == rhs.flags_ && (hi_ | rhs.hi_) == 0) {
    const uint64_t sum_lo = static_cast<uint64_t>(lo_) + rhs.lo_;
    const uint64_t sum_mid = static_cast<uint64_t>(mid_) + rhs.mid_ + (sum_lo >> 32);
    Decimal d = *this;
    d.lo_ = static_cast<uint32_t>(sum_lo);
    d.mid_ = static_cast<uint32_t>(sum_mid);
    d.hi_ = static_cast<uint32_t>(sum_mid >> 32);
    return d;
  }
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

int Decimal::cmp_rescaled(const Decimal& rhs) const noexcept {
  // A zero is never negative, so the signs alone order values of opposite signs,
  // zeros included.
  const bool a_neg = is_negative();
  const bool b_neg = rhs.is_negative();
  if (a_neg != b_neg) return a_neg ? -1 : 1;

  // Same sign, so the flags differ in the scale alone (cmp takes equal flags inline):
  // bring both coefficients to the larger scale.
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
