#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "decimal.hpp"

namespace {

using tallyforge::Decimal;
using tallyforge::Panic;
using u128 = Decimal::Coefficient;

constexpr u128 kLimit = static_cast<u128>(1) << 96;
const char* const kPrecision = "Number has a high precision that can not be represented.";

Decimal parse(const std::string& text) {
  auto r = Decimal::from_str_exact(text);
  if (!r.ok()) ADD_FAILURE() << "cannot parse " << text << ": " << r.error().message;
  return r.ok() ? r.value() : Decimal();
}

// The text of f's result, or the message of the Panic it throws.
template <class F>
std::string text_or_panic(F&& f) {
  try {
    return f().to_string();
  } catch (const Panic& p) {
    return p.message();
  }
}

struct Case {
  const char* input;
  const char* expected;  // formatted value, or the error message
};

TEST(Decimal, ParsesOrFailsWithTheFirstProblemMet) {
  const Case cases[] = {
      {"0.50", "0.50"},
      {"-0", "0"},
      {"-0.00", "0.00"},
      {"+1.5", "1.5"},
      {".5", "0.5"},
      {"5.", "5"},
      {"007.0100", "7.0100"},
      {"1_000.5", "1000.5"},
      {"1._5", "1.5"},
      {"1__0_", "10"},
      {"000000000000000000000000000000000001", "1"},
      {"79228162514264337593543950335", "79228162514264337593543950335"},
      {"1.0000000000000000000000000000", "1.0000000000000000000000000000"},
      {"", "Invalid decimal: empty"},
      {"1.2.3", "Invalid decimal: two decimal points"},
      {"._5", "Invalid decimal: must start lead with a number"},
      {"-_1", "Invalid decimal: must start lead with a number"},
      {"--1", "Invalid decimal: unknown character"},
      {"1-", "Invalid decimal: unknown character"},
      {" 1", "Invalid decimal: unknown character"},
      {"1e5", "Invalid decimal: unknown character"},
      {"1\xc2\xa0", "Invalid decimal: unknown character"},
      {"-", "Invalid decimal: no digits found"},
      {"-.", "Invalid decimal: no digits found"},
      {"79228162514264337593543950336", "Invalid decimal: overflow from too many digits"},
      {"7922816251426433759354395033.6", kPrecision},
      {"1.00000000000000000000000000000", kPrecision},
      // Whatever follows the 28th place, even what would otherwise be another error.
      {"1.0000000000000000000000000000.", kPrecision},
      {"1.0000000000000000000000000000_", kPrecision},
  };
  for (const Case& c : cases) {
    auto r = Decimal::from_str_exact(c.input);
    EXPECT_EQ(r.ok() ? r.value().to_string() : std::string(r.error().message), c.expected)
        << '"' << c.input << '"';
  }
  EXPECT_TRUE(parse("-12.340").same_repr(Decimal::from_parts(12340, 0, 0, 3, true)));
  EXPECT_TRUE(parse("-0.00").same_repr(Decimal::from_parts(0, 0, 0, 2, false)));
}

TEST(Decimal, FormatsConstantsAndChecksScale) {
  EXPECT_EQ(Decimal::from_parts(~0u, ~0u, ~0u, 28, true).to_string(),
            "-7.9228162514264337593543950335");
  // 10^19 crosses both a 64-bit and a nine-digit boundary.
  EXPECT_EQ(Decimal::from_parts(0x89E80000, 0x8AC72304, 0, 1, false).to_string(),
            "1000000000000000000.0");
  EXPECT_EQ(Decimal::from_parts(5, 0, 0, 3, false).to_string(), "0.005");
  EXPECT_EQ(Decimal::make(1, 28).to_string(), "0.0000000000000000000000000001");
  EXPECT_EQ(Decimal::make(INT64_MIN, 0).to_string(), "-9223372036854775808");
  EXPECT_EQ(Decimal::make(-1, 2).to_string(), "-0.01");
  EXPECT_EQ(Decimal::make(INT64_MAX, 3).to_string(), "9223372036854775.807");
  // A constant may be written with more places than any operation gives.
  EXPECT_EQ(Decimal::from_parts(7, 0, 0, 30, true).to_string(), "-0.000000000000000000000000000007");
  EXPECT_EQ(Decimal::from_parts(~0u, ~0u, ~0u, 40, false).to_string(),
            "0.0000000000079228162514264337593543950335");
  EXPECT_EQ(Decimal::from_parts(1, 0, 0, 255, false).to_string(), "0." + std::string(254, '0') + "1");
  EXPECT_EQ(text_or_panic([] { return Decimal::make(1, 29); }),
            "Scale exceeds the maximum precision allowed: 29 > 28");
  EXPECT_EQ(text_or_panic([] { return Decimal::make(0, 4294967295u); }),
            "Scale exceeds the maximum precision allowed: 4294967295 > 28");
}

// "a op b = expected", with the result's text or the panic message.
std::string check(const std::string& line) {
  const size_t op = line.find(' ');
  const size_t eq = line.find(" = ");
  const Decimal a = parse(line.substr(0, op));
  const Decimal b = parse(line.substr(op + 3, eq - op - 3));
  return text_or_panic([&] {
    if (line[op + 1] == '+') return a + b;
    if (line[op + 1] == '-') return a - b;
    return line[op + 1] == '*' ? a * b : a / b;
  });
}

TEST(Decimal, ArithmeticGivesExactTextsAndScales) {
  const char* const cases[] = {
      "1 / 3 = 0.3333333333333333333333333333", "2 / 3 = 0.6666666666666666666666666667",
      "10 / 3 = 3.3333333333333333333333333333", "100 / 3 = 33.333333333333333333333333333",
      "80 / 3 = 26.666666666666666666666666667", "1 / 7 = 0.1428571428571428571428571429",
      "10 / 4 = 2.50", "10.00 / 4 = 2.50", "1.000 / 4 = 0.250", "2.00 / 2 = 1.00", "7 / 7 = 1",
      "1 / 2 = 0.50", "1 / 5 = 0.20", "3 / 2 = 1.50", "100 / 8 = 12.50", "1 / 8 = 0.125",
      "12.5 / 100 = 0.125", "0.5 / 2 = 0.250", "1 / 4 = 0.25", "3 / 4 = 0.75", "1 / 20 = 0.05",
      "1 / 40 = 0.025", "1 / 16 = 0.0625", "1.0 / 4 = 0.250", "0.1 / 2 = 0.050",
      "1 / 1024 = 0.00097656250", "1 / 0.80 = 1.25", "1 / 1.00 = 1", "100 / 1.00 = 100",
      "150 / 1.00 = 150", "1 / 0.85 = 1.1764705882352941176470588235",
      "1 / 0.9 = 1.1111111111111111111111111111", "1 / 0.875 = 1.1428571428571428571428571429",
      "0.00 / 3 = 0", "-1 / 3 = -0.3333333333333333333333333333",
      "1 / -3 = -0.3333333333333333333333333333",
      "79228162514264337593543950335 / 2 = 39614081257132168796771975168",
      "5 / 0.0000000000000000000000000001 = 50000000000000000000000000000",
      // The first step stays below scale 0; the following ones reach it.
      "1 / 0.0000000003 = 3333333333.3333333333333333333",
      // The extension passes 96 bits and drops its last digit, a 2: rounded down.
      "5545971375998503631548076524 / 7 = 792281625142643375935439503.4",
      // A carry past 96 bits in the last extension step, and in the rounding.
      "79228162514264337593543950329 / 9999999999999999999999999999 = "
      "7.922816251426433759354395034",
      "79228162514264337593543950328 / 9999999999999999999999999999 = "
      "7.922816251426433759354395034",
      "79228162514264337593543950327 / 9999999999999999999999999999 = "
      "7.9228162514264337593543950335",
      // The carried step drops a 5 with a remainder left: rounded up.
      "792281625142643375927.51668720 / 99999999999999999999 = 7.922816251426433759354395035",
      // ...and an exact 5 to the even neighbour, down or up: when the last place cannot be
      // added, and when the places added carry the quotient past 96 bits.
      "15.845632502852867518708790069 / 2 = 7.922816251426433759354395034",
      "15.845632502852867518708790071 / 2 = 7.922816251426433759354395036",
      "15845632502852867518708790069 / 20 = 792281625142643375935439503.4",
      "15845632502852867518708790071 / 20 = 792281625142643375935439503.6",
      // A product of exactly 2^96: one digit too many, dropped with rounding.
      "2.81474976710656 * 281474976710656 = 792281625142643.3759354395034",
      // The places added reach 2^96 exactly: one place is dropped again.
      "19807040628566084398385987584 / 25 = 792281625142643375935439503.4",
      // Eight zeros of the extension at once (a quotient divisible by 2^32).
      "1099511627776 / 5 = 219902325555.2", "1099511627776 / 0.5 = 2199023255552",
      "1 / 0 = Division by zero", "0 / 0.00 = Division by zero",
      "79228162514264337593543950335 / 0.1 = Division overflowed",
      "79228162514264337593543950335 / -0.0000000000000000000000000007 = Division overflowed",
      "1.50 * 2 = 3.00", "2.5 * 4 = 10.0", "0.01 * 20 = 0.20", "-1.5 * 2 = -3.0", "3.33 * 3 = 9.99",
      "0.01 * 7.5 = 0.075", "0.00 * 5 = 0", "-5 * 0.00 = 0",
      "0.3333333333333333333333333333 * 3 = 0.9999999999999999999999999999",
      "1.5 * 0.0000000000000000000000000001 = 0.0000000000000000000000000002",
      "2.5 * 0.0000000000000000000000000001 = 0.0000000000000000000000000002",
      "-0.5 * 0.0000000000000000000000000001 = 0.0000000000000000000000000000",
      // Scale 48 from coefficients below 2^32: zero at scale 0.
      "0.0000000000000000000000000009 * 0.00000000000000000009 = 0",
      "79228162514264337593543950335 * -0.3 = -23768448754279301278063185100",
      "4294967296 * 4294967296.0000000000 = 18446744073709551616.000000000",
      "39614081257132168796771975168 * 2 = Multiplication overflowed", "1.50 + 1 = 2.50",
      "0.1 + 0.2 = 0.3", "-1.5 + 1.5 = 0.0", "1.5 - 1.50 = 0.00", "1 - 1.01 = -0.01",
      "0.00 + 5 = 5", "5 + 0.00 = 5", "0 + 0.00 = 0.00", "0.00 + 0 = 0", "0 - 5.0 = -5.0",
      "5.0 - 0 = 5.0", "0.00 - 0 = 0",
      "79228162514264337593543950334 + 0.5 = 79228162514264337593543950334",
      "79228162514264337593543950333 + 0.5 = 79228162514264337593543950334",
      // Rounds up to 2^96 at one place, so it takes one place fewer.
      "7922816251426433759354395033.5 + 0.05 = 7922816251426433759354395034",
      "79228162514264337593543950335 - 0.0000000000000000000000000001 = "
      "79228162514264337593543950335",
      "79228162514264337593543950335 + 0.5 = Addition overflowed",
      "79228162514264337593543950335 - -1 = Subtraction overflowed"};
  for (const std::string line : cases) {
    EXPECT_EQ(check(line), line.substr(line.find(" = ") + 3)) << line;
  }
}

TEST(Decimal, CompareIsNumericAndTotal) {
  // Ascending, with values that differ only far beyond each other's scale.
  std::vector<Decimal> ordered;
  for (const char* t :
       {"-79228162514264337593543950335", "-1.01", "-1", "-0.0000000000000000000000000001", "0",
        "0.99", "1.00", "1.0000000000000000000000000001", "7922816251426433759354395033.5",
        "79228162514264337593543950335"}) {
    ordered.push_back(parse(t));
  }
  for (size_t i = 0; i < ordered.size(); ++i) {
    for (size_t j = 0; j < ordered.size(); ++j) {
      const int c = ordered[i].cmp(ordered[j]);
      EXPECT_EQ((c > 0) - (c < 0), (i > j) - (i < j)) << i << " vs " << j;
    }
  }
  EXPECT_TRUE(parse("1.0") == parse("1.00"));
  EXPECT_TRUE(parse("-0") == parse("0.0000000000000000000000000000"));
}

// ---------------------------------------------------------------------------
// Random operands checked against exact arithmetic on unbounded integers

// Unsigned integer of any size, little-endian 32-bit limbs without high zeros.
struct Big {
  std::vector<uint32_t> w;

  static Big of(u128 v) {
    Big r;
    for (; v != 0; v >>= 32) r.w.push_back(static_cast<uint32_t>(v));
    return r;
  }
  friend Big operator*(const Big& a, const Big& b) {
    Big r;
    r.w.assign(a.w.size() + b.w.size() + 1, 0);
    for (size_t i = 0; i < a.w.size(); ++i) {
      uint64_t carry = 0;
      for (size_t j = 0; j <= b.w.size(); ++j) {
        const uint64_t t = (j < b.w.size() ? uint64_t{a.w[i]} * b.w[j] : 0) + r.w[i + j] + carry;
        r.w[i + j] = static_cast<uint32_t>(t);
        carry = t >> 32;
      }
    }
    while (!r.w.empty() && r.w.back() == 0) r.w.pop_back();
    return r;
  }
  // a + b, or |a - b| when `subtract` is set.
  static Big combine(const Big& a, const Big& b, bool subtract) {
    if (subtract && cmp(a, b) < 0) return combine(b, a, true);
    Big r;
    int64_t carry = 0;
    for (size_t i = 0; i < a.w.size() || i < b.w.size() || carry != 0; ++i) {
      const int64_t x = i < a.w.size() ? a.w[i] : 0;
      const int64_t y = i < b.w.size() ? b.w[i] : 0;
      const int64_t t = x + (subtract ? -y : y) + carry;
      r.w.push_back(static_cast<uint32_t>(t));
      carry = t >> 32;  // -1 for a borrow
    }
    while (!r.w.empty() && r.w.back() == 0) r.w.pop_back();
    return r;
  }
  friend int cmp(const Big& a, const Big& b) {
    if (a.w.size() != b.w.size()) return a.w.size() < b.w.size() ? -1 : 1;
    for (size_t i = a.w.size(); i-- > 0;) {
      if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
    }
    return 0;
  }
};

Big pow10(unsigned n) {
  return n == 0 ? Big::of(1) : pow10(n - 1) * Big::of(10);
}
Big scaled(const Decimal& d, unsigned to_scale) {
  return Big::of(d.coefficient()) * pow10(to_scale - d.scale());
}
// Whether num / den, rounded half to even, reaches 2^96.
bool rounds_past_96_bits(const Big& num, const Big& den) {
  return cmp(Big::of(2) * num, Big::of(2 * kLimit - 1) * den) >= 0;
}
// Whether q, taken at `scale` places, is num / den rounded half to even there.
bool nearest_even(u128 q, unsigned scale, const Big& num, const Big& den) {
  const Big err2 = Big::of(2) * Big::combine(Big::of(q) * den, num * pow10(scale), true);
  const int c = cmp(err2, den);
  return c < 0 || (c == 0 && (q & 1) == 0);
}

class RandomDecimals : public testing::Test {
 protected:
  std::mt19937_64 rng{20240611};
  // A coefficient of random bit length, so that small and huge ones both occur.
  Decimal next(unsigned max_bits = 96) {
    const auto bits = static_cast<unsigned>(rng() % (max_bits + 1));
    const u128 c = bits == 0 ? 0 : ((static_cast<u128>(rng()) << 64) | rng()) >> (128 - bits);
    return Decimal::from_coefficient(c, static_cast<uint32_t>(rng() % 29), (rng() & 1) != 0);
  }
};

// Sums, differences and products are the exact result rounded half to even to
// the largest scale (at most 28) at which it fits, or overflow when none does.
TEST_F(RandomDecimals, AddSubMulRoundToTheLargestScaleThatFits) {
  for (int i = 0; i < 30000; ++i) {
    const Decimal a = next();
    const Decimal b = next(i % 6 == 2 ? 32 : 96);
    if (a.is_zero() || b.is_zero()) continue;
    const int op = i % 3;  // +, -, *
    const bool b_neg = b.is_negative() != (op == 1);
    unsigned s = std::max(a.scale(), b.scale());
    Big exact;
    bool negative = a.is_negative() != b_neg;
    if (op == 2) {
      s = a.scale() + b.scale();
      exact = Big::of(a.coefficient()) * Big::of(b.coefficient());
      if (a.coefficient() < (u128{1} << 32) && b.coefficient() < (u128{1} << 32) && s > 47) {
        EXPECT_TRUE((a * b).same_repr(Decimal()));
        continue;
      }
    } else {
      const bool same_sign = a.is_negative() == b_neg;
      exact = Big::combine(scaled(a, s), scaled(b, s), !same_sign);
      negative = same_sign || cmp(scaled(a, s), scaled(b, s)) >= 0 ? a.is_negative() : b_neg;
    }
    SCOPED_TRACE(a.to_string() + " " + "+-*"[op] + " " + b.to_string());
    try {
      const Decimal r = op == 0 ? a + b : (op == 1 ? a - b : a * b);
      const unsigned top = std::min(s, 28u);
      ASSERT_LE(r.scale(), top);
      EXPECT_TRUE(nearest_even(r.coefficient(), r.scale(), exact, pow10(s)));
      if (r.scale() < top) {
        EXPECT_TRUE(rounds_past_96_bits(exact, pow10(s - r.scale() - 1)));
      }
      EXPECT_EQ(r.is_negative(), negative && !r.is_zero());
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(),
                op == 0 ? "Addition overflowed"
                        : (op == 1 ? "Subtraction overflowed" : "Multiplication overflowed"));
      EXPECT_TRUE(rounds_past_96_bits(exact, pow10(s)));
    }
  }
}

// Quotients are rounded half to even with as many places as fit (trailing
// zeros aside), or overflow when the quotient does not fit at scale 0.
TEST_F(RandomDecimals, DivideRoundsWithAllPlacesThatFit) {
  for (int i = 0; i < 20000; ++i) {
    const Decimal a = next();
    const Decimal b = next(i % 2 == 0 ? 40 : 96);
    if (a.is_zero() || b.is_zero()) continue;
    SCOPED_TRACE(a.to_string() + " / " + b.to_string());
    // a / b = num / den with num = A * 10^sb and den = B * 10^sa.
    const Big num = scaled(a, a.scale() + b.scale());
    const Big den = Big::of(b.coefficient()) * pow10(a.scale());
    try {
      const Decimal q = a / b;
      ASSERT_LE(q.scale(), 28u);
      unsigned t = q.scale();
      u128 c = q.coefficient();
      for (; t < 28 && c * 10 < kLimit; ++t) c *= 10;  // put removed trailing zeros back
      EXPECT_TRUE(nearest_even(c, t, num, den)) << q.to_string();
      if (t < 28 && cmp(Big::of(c) * den, num * pow10(t)) != 0) {
        EXPECT_TRUE(rounds_past_96_bits(num * pow10(t + 1), den)) << q.to_string();
      }
      EXPECT_EQ(q.is_negative(), !q.is_zero() && a.is_negative() != b.is_negative());
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(), "Division overflowed");
      EXPECT_TRUE(rounds_past_96_bits(num, den));
    }
  }
}

// The text form against the plainest formatting: one digit per division.
std::string reference_text(const Decimal& d) {
  std::string reversed;
  u128 c = d.coefficient();
  do {
    reversed.push_back(static_cast<char>('0' + static_cast<int>(c % 10)));
    c /= 10;
  } while (c != 0);
  const size_t s = d.scale();
  while (reversed.size() <= s) reversed.push_back('0');
  std::string out = d.is_negative() ? "-" : "";
  for (size_t i = reversed.size(); i-- > 0;) {
    out.push_back(reversed[i]);
    if (i == s && s > 0) out.push_back('.');
  }
  return out;
}

TEST_F(RandomDecimals, TextFormMatchesDigitByDigitFormatting) {
  std::vector<Decimal> values = {Decimal(), Decimal::from_parts(~0u, ~0u, ~0u, 28, true),
                                 Decimal::from_parts(~0u, ~0u, ~0u, 0, true),
                                 Decimal::from_parts(~0u, ~0u, 0, 28, false),
                                 Decimal::from_parts(0, 0, 1, 19, false)};
  for (int i = 0; i < 20000; ++i) values.push_back(next());
  char buf[Decimal::kTextBufferSize];
  for (const Decimal& d : values) {
    const std::string expected = reference_text(d);
    EXPECT_EQ(d.to_string(), expected);
    EXPECT_EQ(std::string(buf, d.to_chars(buf)), expected);
  }
}

// A product that must lose digits loses them all at once: the dropped digits
// just below, at and just above the half (49..9, 50..0, 50..1) round to the
// nearest with ties to even, whether the scale limit or the 96 bits force the
// cut. Half the products drop exactly k digits: a value at scale 28 times 10^-k.
TEST_F(RandomDecimals, RoundingMultiplyDropsDigitsHalfToEven) {
  for (int i = 0; i < 20000; ++i) {
    const auto k = static_cast<unsigned>(1 + rng() % 27);
    u128 unit = 1;
    for (unsigned j = 0; j < k; ++j) unit *= 10;
    const u128 half = unit / 2;
    const u128 tails[] = {0, 1, half - 1, half, half + 1, unit - 1};
    const Decimal base = next();
    const u128 c = base.coefficient() / unit * unit + tails[rng() % 6];
    if (c == 0 || c >= kLimit) continue;
    const Decimal a = Decimal::from_coefficient(c, 28, base.is_negative());
    const Decimal b = i % 2 ? Decimal::from_coefficient(1, k, false) : next();
    if (b.is_zero()) continue;
    SCOPED_TRACE(a.to_string() + " * " + b.to_string());
    const unsigned s = a.scale() + b.scale();
    if (s > 47 && a.coefficient() >> 32 == 0 && b.coefficient() >> 32 == 0) continue;
    const Big exact = Big::of(a.coefficient()) * Big::of(b.coefficient());
    try {
      const Decimal r = a * b;
      ASSERT_LE(r.scale(), 28u);
      EXPECT_TRUE(nearest_even(r.coefficient(), r.scale(), exact, pow10(s)));
      if (r.scale() < 28) {
        EXPECT_TRUE(rounds_past_96_bits(exact, pow10(s - r.scale() - 1)));
      }
      EXPECT_EQ(r.is_negative(), !r.is_zero() && a.is_negative() != b.is_negative());
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(), "Multiplication overflowed");
      EXPECT_TRUE(rounds_past_96_bits(exact, pow10(s)));
    }
  }
}

// Operands of one scale and sign below 2^64 take a shortcut in addition; it
// gives what the general addition (reached through subtraction) gives,
// zeros and the largest such coefficients included.
TEST_F(RandomDecimals, AdditionOfOneScaleAndSignMatchesTheGeneralPath) {
  const u128 top = ~uint64_t{0};
  for (int i = 0; i < 20000; ++i) {
    const Decimal a = i % 7 == 0 ? Decimal::from_coefficient(top - i % 3, 28, i % 2 != 0) : next(64);
    const u128 c = i % 5 == 0 ? (i % 10 == 0 ? 0 : top) : next(64).coefficient();
    const Decimal b = Decimal::from_coefficient(c, a.scale(), a.is_negative() && c != 0);
    SCOPED_TRACE(a.to_string() + " + " + b.to_string());
    EXPECT_TRUE((a + b).same_repr(a - b.neg()));
    EXPECT_TRUE((b + a).same_repr(b - a.neg()));
  }
}

TEST_F(RandomDecimals, IdentitiesHold) {
  for (int i = 0; i < 20000; ++i) {
    const Decimal a = next(40);
    const Decimal b = next(40);
    SCOPED_TRACE(a.to_string() + ", " + b.to_string());
    // The text reads back to the same representation.
    const Decimal x = next();
    EXPECT_TRUE(parse(x.to_string()).same_repr(x)) << x.to_string();
    // Comparison agrees with the sign of the (here exact) difference.
    const Decimal d = a - b;
    EXPECT_EQ((a.cmp(b) > 0) - (a.cmp(b) < 0), d.is_zero() ? 0 : (d.is_negative() ? -1 : 1));
    EXPECT_EQ(a.cmp(b), -b.cmp(a));
    if (std::max(a.scale(), b.scale()) - std::min(a.scale(), b.scale()) <= 9) {
      EXPECT_TRUE(((a + b) - b) == a);  // nothing rounded
    }
    // An exact product divided back gives the operand, scale included.
    if (!a.is_zero() && !b.is_zero() && a.scale() + b.scale() <= 28) {
      EXPECT_TRUE(((a * b) / b).same_repr(a));
    }
  }
}

}  // namespace
