// Exact reference arithmetic for the fuzz targets: unbounded unsigned integers and the
// decimal values they make, so that every result of the core can be compared with the
// mathematically exact one. Deliberately simple (schoolbook multiplication, bitwise long
// division): it has to be obviously right, not fast.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "decimal.hpp"

namespace exact {

using tallyforge::Decimal;
using tallyforge::leading_zeros;
using tallyforge::uint128;

// Unsigned integer in little-endian 32-bit limbs without leading zero limbs.
struct Big {
  std::vector<uint32_t> w;

  Big() = default;
  static Big of(uint128 v) {
    Big r;
    for (; v != 0; v >>= 32) r.w.push_back(static_cast<uint32_t>(v));
    return r;
  }
  bool zero() const { return w.empty(); }
  bool odd() const { return !w.empty() && (w[0] & 1u); }
  size_t bits() const {
    if (w.empty()) return 0;
    return 32 * (w.size() - 1) + (32 - static_cast<size_t>(leading_zeros(w.back())));
  }
  bool bit(size_t i) const { return i / 32 < w.size() && ((w[i / 32] >> (i % 32)) & 1u); }
  void trim() {
    while (!w.empty() && w.back() == 0) w.pop_back();
  }
};

inline int cmp(const Big& a, const Big& b) {
  if (a.w.size() != b.w.size()) return a.w.size() < b.w.size() ? -1 : 1;
  for (size_t i = a.w.size(); i-- > 0;) {
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
  }
  return 0;
}

inline Big add(const Big& a, const Big& b) {
  Big r;
  uint64_t carry = 0;
  for (size_t i = 0; i < std::max(a.w.size(), b.w.size()) || carry; ++i) {
    const uint64_t t = carry + (i < a.w.size() ? a.w[i] : 0) + (i < b.w.size() ? b.w[i] : 0);
    r.w.push_back(static_cast<uint32_t>(t));
    carry = t >> 32;
  }
  r.trim();
  return r;
}

// a - b for a >= b.
inline Big sub(const Big& a, const Big& b) {
  Big r = a;
  int64_t borrow = 0;
  for (size_t i = 0; i < r.w.size(); ++i) {
    int64_t t = static_cast<int64_t>(r.w[i]) - (i < b.w.size() ? b.w[i] : 0) - borrow;
    borrow = t < 0;
    r.w[i] = static_cast<uint32_t>(t + (borrow ? (int64_t{1} << 32) : 0));
  }
  r.trim();
  return r;
}

inline Big mul(const Big& a, const Big& b) {
  if (a.zero() || b.zero()) return {};
  Big r;
  r.w.assign(a.w.size() + b.w.size(), 0);
  for (size_t i = 0; i < a.w.size(); ++i) {
    uint64_t carry = 0;
    for (size_t j = 0; j < b.w.size(); ++j) {
      const uint64_t t = static_cast<uint64_t>(a.w[i]) * b.w[j] + r.w[i + j] + carry;
      r.w[i + j] = static_cast<uint32_t>(t);
      carry = t >> 32;
    }
    r.w[i + b.w.size()] = static_cast<uint32_t>(carry);
  }
  r.trim();
  return r;
}

// 10^n, from a table that grows on demand (the fuzz targets run on one thread).
inline const Big& pow10(uint32_t n) {
  static std::vector<Big> table{Big::of(1)};
  while (table.size() <= n) table.push_back(mul(table.back(), Big::of(10)));
  return table[n];
}

// a * 2 + low, in place.
inline void shl1(Big& a, bool low) {
  uint32_t carry = low;
  for (uint32_t& x : a.w) {
    const uint32_t next = x >> 31;
    x = (x << 1) | carry;
    carry = next;
  }
  if (carry) a.w.push_back(carry);
}

// Quotient and remainder of n / d, d > 0, by binary long division.
inline std::pair<Big, Big> divmod(const Big& n, const Big& d) {
  Big q, r;
  q.w.assign(n.w.size(), 0);
  for (size_t i = n.bits(); i-- > 0;) {
    shl1(r, n.bit(i));
    if (cmp(r, d) >= 0) {
      r = sub(r, d);
      q.w[i / 32] |= 1u << (i % 32);
    }
  }
  q.trim();
  return {q, r};
}

// n / d rounded half to even.
inline Big div_round_even(const Big& n, const Big& d) {
  auto [q, r] = divmod(n, d);
  shl1(r, false);
  const int half = cmp(r, d);
  if (half > 0 || (half == 0 && q.odd())) q = add(q, Big::of(1));
  return q;
}

// 2^96, the bound of every coefficient.
inline const Big& limit() {
  static const Big l = Big::of(static_cast<uint128>(1) << 96);
  return l;
}

// Whether n / d, rounded half to even, reaches 2^96: exactly when 2n >= (2^97 - 1) d (a tie
// at 2^96 - 1/2 rounds to the even 2^96).
inline bool rounds_past_limit(const Big& n, const Big& d) {
  static const Big twice_limit_less_one = Big::of((static_cast<uint128>(1) << 97) - 1);
  return cmp(mul(Big::of(2), n), mul(twice_limit_less_one, d)) >= 0;
}

// A signed exact value: (-1)^negative * magnitude / 10^scale, with any scale.
struct Value {
  Big magnitude;
  bool negative = false;
  uint32_t scale = 0;

  static Value of(const Decimal& d) {
    return {Big::of(d.coefficient()), d.is_negative() && !d.is_zero(), d.scale()};
  }
  // The same number at a larger scale.
  Value at(uint32_t s) const { return {mul(magnitude, pow10(s - scale)), negative, s}; }
};

inline Value add(const Value& a, const Value& b) {
  const uint32_t s = std::max(a.scale, b.scale);
  const Value x = a.at(s), y = b.at(s);
  if (x.negative == y.negative) return {add(x.magnitude, y.magnitude), x.negative, s};
  if (cmp(x.magnitude, y.magnitude) >= 0) {
    Big m = sub(x.magnitude, y.magnitude);
    const bool neg = x.negative && !m.zero();
    return {std::move(m), neg, s};
  }
  return {sub(y.magnitude, x.magnitude), y.negative, s};
}

inline Value negate(Value v) {
  v.negative = !v.negative && !v.magnitude.zero();
  return v;
}

inline int cmp(const Value& a, const Value& b) {
  const Value d = add(a, negate(b));
  if (d.magnitude.zero()) return 0;
  return d.negative ? -1 : 1;
}

// Numerically equal.
inline bool same(const Value& a, const Value& b) { return cmp(a, b) == 0; }

[[noreturn]] inline void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n%s\n", what, detail.c_str());
  std::abort();
}

inline std::string show(const Decimal& d) {
  return d.to_string() + " (scale " + std::to_string(d.scale()) + ")";
}

}  // namespace exact
