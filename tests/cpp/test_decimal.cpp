#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "decimal.hpp"

namespace {

using tallyforge::Decimal;
using tallyforge::Panic;
using u128 = Decimal::Coefficient;

constexpr u128 kLimit = static_cast<u128>(1) << 96;

Decimal parse(const std::string& text) {
  auto r = Decimal::from_str_exact(text);
  if (!r.ok()) ADD_FAILURE() << "cannot parse " << text << ": " << r.error().message;
  return r.ok() ? r.value() : Decimal();
}

// The message of the Panic thrown by f, or "no panic".
template <class F>
std::string panic_message(F&& f) {
  try {
    f();
  } catch (const Panic& p) {
    return p.message();
  }
  return "no panic";
}

// ---------------------------------------------------------------------------
// Parsing and formatting

struct ParseCase {
  const char* text;
  const char* expected;  // formatted value, or the error message
};

void PrintTo(const ParseCase& c, std::ostream* os) {
  *os << '"' << c.text << '"';
}

class ParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, ParsesOrFailsWithMessage) {
  const ParseCase& c = GetParam();
  auto r = Decimal::from_str_exact(c.text);
  const std::string got = r.ok() ? r.value().to_string() : std::string(r.error().message);
  EXPECT_EQ(got, c.expected) << "text: \"" << c.text << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Decimal, ParseTest,
    testing::Values(ParseCase{"0.50", "0.50"}, ParseCase{"-0", "0"}, ParseCase{"-0.00", "0.00"},
                    ParseCase{"+1.5", "1.5"}, ParseCase{"-1.5", "-1.5"}, ParseCase{".5", "0.5"},
                    ParseCase{"5.", "5"}, ParseCase{"007.0100", "7.0100"},
                    ParseCase{"1_000.5", "1000.5"}, ParseCase{"1._5", "1.5"},
                    ParseCase{"1__0_", "10"}, ParseCase{"0.005", "0.005"},
                    ParseCase{"79228162514264337593543950335", "79228162514264337593543950335"},
                    ParseCase{"000000000000000000000000000000000001", "1"},
                    ParseCase{"7.9228162514264337593543950335", "7.9228162514264337593543950335"},
                    ParseCase{"1.0000000000000000000000000000", "1.0000000000000000000000000000"},
                    ParseCase{"", "Invalid decimal: empty"},
                    ParseCase{"1.2.3", "Invalid decimal: two decimal points"},
                    ParseCase{"._5", "Invalid decimal: must start lead with a number"},
                    ParseCase{"_1", "Invalid decimal: must start lead with a number"},
                    ParseCase{"-_1", "Invalid decimal: must start lead with a number"},
                    ParseCase{"--1", "Invalid decimal: unknown character"},
                    ParseCase{"1-", "Invalid decimal: unknown character"},
                    ParseCase{" 1", "Invalid decimal: unknown character"},
                    ParseCase{"1e5", "Invalid decimal: unknown character"},
                    ParseCase{"1\xc2\xa0", "Invalid decimal: unknown character"},
                    ParseCase{"-", "Invalid decimal: no digits found"},
                    ParseCase{"+", "Invalid decimal: no digits found"},
                    ParseCase{"-.", "Invalid decimal: no digits found"},
                    ParseCase{"._", "Invalid decimal: must start lead with a number"},
                    ParseCase{"79228162514264337593543950336",
                              "Invalid decimal: overflow from too many digits"},
                    ParseCase{"792281625142643375935439503350",
                              "Invalid decimal: overflow from too many digits"},
                    ParseCase{"7922816251426433759354395033.6",
                              "Number has a high precision that can not be represented."},
                    ParseCase{"1.00000000000000000000000000000",
                              "Number has a high precision that can not be represented."},
                    // Anything after the 28th place, even what would otherwise be another error.
                    ParseCase{"1.0000000000000000000000000000.",
                              "Number has a high precision that can not be represented."},
                    ParseCase{"1.0000000000000000000000000000_",
                              "Number has a high precision that can not be represented."},
                    ParseCase{"1.0000000000000000000000000000x",
                              "Number has a high precision that can not be represented."}));

TEST(Decimal, ParseKeepsRepresentation) {
  const Decimal d = parse("-12.340");
  EXPECT_EQ(d.coefficient(), 12340u);
  EXPECT_EQ(d.scale(), 3u);
  EXPECT_TRUE(d.is_negative());
  const Decimal z = parse("-0.00");
  EXPECT_TRUE(z.same_repr(Decimal::from_parts(0, 0, 0, 2, false)));
}

TEST(Decimal, FormatsConstantsWrittenAsParts) {
  EXPECT_EQ(Decimal::from_parts(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0, false).to_string(),
            "79228162514264337593543950335");
  EXPECT_EQ(Decimal::from_parts(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 28, true).to_string(),
            "-7.9228162514264337593543950335");
  EXPECT_EQ(Decimal::from_parts(1, 0, 0, 28, false).to_string(), "0.0000000000000000000000000001");
  // 10^19 crosses a 64-bit and a nine-digit boundary.
  EXPECT_EQ(Decimal::from_parts(0x89E80000, 0x8AC72304, 0, 1, false).to_string(),
            "1000000000000000000.0");
  EXPECT_EQ(Decimal::from_parts(5, 0, 0, 3, false).to_string(), "0.005");
  EXPECT_EQ(Decimal::from_parts(0, 0, 0, 2, false).to_string(), "0.00");
}

TEST(Decimal, MakeChecksScale) {
  EXPECT_EQ(Decimal::make(1, 28).to_string(), "0.0000000000000000000000000001");
  EXPECT_EQ(Decimal::make(0, 2).to_string(), "0.00");
  EXPECT_EQ(Decimal::make(-1, 0).to_string(), "-1");
  EXPECT_EQ(Decimal::make(INT64_MIN, 0).to_string(), "-9223372036854775808");
  EXPECT_EQ(panic_message([] { Decimal::make(1, 29); }),
            "Scale exceeds the maximum precision allowed: 29 > 28");
  EXPECT_EQ(panic_message([] { Decimal::make(0, 4294967295u); }),
            "Scale exceeds the maximum precision allowed: 4294967295 > 28");
}

// ---------------------------------------------------------------------------
// Arithmetic on worked examples

struct OpCase {
  const char* a;
  char op;
  const char* b;
  const char* expected;  // formatted result, or the panic message
};

void PrintTo(const OpCase& c, std::ostream* os) {
  *os << c.a << ' ' << c.op << ' ' << c.b;
}

class ArithmeticTest : public testing::TestWithParam<OpCase> {};

TEST_P(ArithmeticTest, GivesExactText) {
  const OpCase& c = GetParam();
  const Decimal a = parse(c.a);
  const Decimal b = parse(c.b);
  std::string got;
  try {
    switch (c.op) {
      case '+':
        got = (a + b).to_string();
        break;
      case '-':
        got = (a - b).to_string();
        break;
      case '*':
        got = (a * b).to_string();
        break;
      default:
        got = (a / b).to_string();
        break;
    }
  } catch (const Panic& p) {
    got = p.message();
  }
  EXPECT_EQ(got, c.expected) << c.a << " " << c.op << " " << c.b;
}

INSTANTIATE_TEST_SUITE_P(
    Division, ArithmeticTest,
    testing::Values(
        OpCase{"1", '/', "3", "0.3333333333333333333333333333"},
        OpCase{"2", '/', "3", "0.6666666666666666666666666667"},
        OpCase{"10", '/', "3", "3.3333333333333333333333333333"},
        OpCase{"100", '/', "3", "33.333333333333333333333333333"},
        OpCase{"80", '/', "3", "26.666666666666666666666666667"},
        OpCase{"1", '/', "7", "0.1428571428571428571428571429"}, OpCase{"10", '/', "4", "2.50"},
        OpCase{"10.00", '/', "4", "2.50"}, OpCase{"1.000", '/', "4", "0.250"},
        OpCase{"2.00", '/', "2", "1.00"}, OpCase{"7", '/', "7", "1"}, OpCase{"1", '/', "2", "0.50"},
        OpCase{"1", '/', "5", "0.20"}, OpCase{"3", '/', "2", "1.50"},
        OpCase{"100", '/', "8", "12.50"}, OpCase{"1", '/', "8", "0.125"},
        OpCase{"12.5", '/', "100", "0.125"}, OpCase{"0.5", '/', "2", "0.250"},
        OpCase{"1", '/', "4", "0.25"}, OpCase{"3", '/', "4", "0.75"},
        OpCase{"1", '/', "20", "0.05"}, OpCase{"1", '/', "40", "0.025"},
        OpCase{"1", '/', "16", "0.0625"}, OpCase{"1.0", '/', "4", "0.250"},
        OpCase{"0.1", '/', "2", "0.050"}, OpCase{"1", '/', "1024", "0.00097656250"},
        OpCase{"1", '/', "0.80", "1.25"}, OpCase{"1", '/', "1.00", "1"},
        OpCase{"100", '/', "1.00", "100"}, OpCase{"150", '/', "1.00", "150"},
        OpCase{"1", '/', "0.85", "1.1764705882352941176470588235"},
        OpCase{"1", '/', "0.9", "1.1111111111111111111111111111"},
        OpCase{"1", '/', "0.875", "1.1428571428571428571428571429"}, OpCase{"0.00", '/', "3", "0"},
        OpCase{"-1", '/', "3", "-0.3333333333333333333333333333"},
        OpCase{"1", '/', "-3", "-0.3333333333333333333333333333"}, OpCase{"-6", '/', "-3", "2"},
        OpCase{"79228162514264337593543950335", '/', "2", "39614081257132168796771975168"},
        // Exact at a negative scale: brought up to scale 0 without extension.
        OpCase{"5", '/', "0.0000000000000000000000000001", "50000000000000000000000000000"},
        // The quotient's first step lands below scale 0 but later steps reach it.
        OpCase{"1", '/', "0.0000000003", "3333333333.3333333333333333333"},
        // The last extension step carries past 96 bits: one place fewer.
        OpCase{"79228162514264337593543950329", '/', "9999999999999999999999999999",
               "7.922816251426433759354395034"},
        // Rounding up carries past 96 bits: one place fewer.
        OpCase{"79228162514264337593543950328", '/', "9999999999999999999999999999",
               "7.922816251426433759354395034"},
        OpCase{"79228162514264337593543950327", '/', "9999999999999999999999999999",
               "7.9228162514264337593543950335"},
        OpCase{"1", '/', "0", "Division by zero"}, OpCase{"0", '/', "0.00", "Division by zero"},
        OpCase{"79228162514264337593543950335", '/', "0.1", "Division overflowed"},
        OpCase{"79228162514264337593543950335", '/', "0.3", "Division overflowed"},
        OpCase{"79228162514264337593543950335", '/', "0.0000000000000000000000000007",
               "Division overflowed"}));

INSTANTIATE_TEST_SUITE_P(
    Multiplication, ArithmeticTest,
    testing::Values(
        OpCase{"1.50", '*', "2", "3.00"}, OpCase{"2.5", '*', "4", "10.0"},
        OpCase{"0.01", '*', "20", "0.20"}, OpCase{"-1.5", '*', "2", "-3.0"},
        OpCase{"3.33", '*', "3", "9.99"}, OpCase{"0.01", '*', "7.5", "0.075"},
        OpCase{"0.00", '*', "5", "0"}, OpCase{"5", '*', "0.00", "0"},
        OpCase{"-5", '*', "0.00", "0"}, OpCase{"-2", '*', "-3", "6"},
        OpCase{"0.3333333333333333333333333333", '*', "3", "0.9999999999999999999999999999"},
        OpCase{"1.5", '*', "0.0000000000000000000000000001", "0.0000000000000000000000000002"},
        OpCase{"2.5", '*', "0.0000000000000000000000000001", "0.0000000000000000000000000002"},
        OpCase{"0.5", '*', "0.0000000000000000000000000001", "0.0000000000000000000000000000"},
        OpCase{"-0.5", '*', "0.0000000000000000000000000001", "0.0000000000000000000000000000"},
        // Scale 56 from coefficients below 2^32: zero at scale 0.
        OpCase{"0.0000000000000000000000000009", '*', "0.0000000000000000000000000009", "0"},
        OpCase{"0.0000000000000000000000000001", '*', "0.0000000000000000000", "0"},
        OpCase{"79228162514264337593543950335", '*', "0.5", "39614081257132168796771975168"},
        OpCase{"79228162514264337593543950335", '*', "-0.1", "-7922816251426433759354395033.5"},
        OpCase{"79228162514264337593543950335", '*', "-0.3", "-23768448754279301278063185100"},
        OpCase{"4294967296", '*', "4294967296.0000000000", "18446744073709551616.000000000"},
        OpCase{"79228162514264337593543950335", '*', "2", "Multiplication overflowed"},
        OpCase{"39614081257132168796771975168", '*', "2", "Multiplication overflowed"}));

INSTANTIATE_TEST_SUITE_P(
    AdditionSubtraction, ArithmeticTest,
    testing::Values(
        OpCase{"1.50", '+', "1", "2.50"}, OpCase{"0.1", '+', "0.2", "0.3"},
        OpCase{"-1.5", '+', "1.5", "0.0"}, OpCase{"1.5", '-', "1.50", "0.00"},
        OpCase{"1", '-', "1.01", "-0.01"}, OpCase{"0.00", '+', "5", "5"},
        OpCase{"5", '+', "0.00", "5"}, OpCase{"0", '+', "0.00", "0.00"},
        OpCase{"0.00", '+', "0", "0"}, OpCase{"0", '-', "5.0", "-5.0"},
        OpCase{"5.0", '-', "0", "5.0"}, OpCase{"0.00", '-', "0", "0"},
        OpCase{"1", '+', "0.0000000000000000000000000001", "1.0000000000000000000000000001"},
        OpCase{"79228162514264337593543950334", '+', "0.5", "79228162514264337593543950334"},
        OpCase{"79228162514264337593543950333", '+', "0.5", "79228162514264337593543950334"},
        OpCase{"79228162514264337593543950334", '+', "0.51", "79228162514264337593543950335"},
        // Rounds up to 2^96 at one place, so one place fewer.
        OpCase{"7922816251426433759354395033.5", '+', "0.05", "7922816251426433759354395034"},
        OpCase{"79228162514264337593543950335", '-', "0.0000000000000000000000000001",
               "79228162514264337593543950335"},
        OpCase{"-79228162514264337593543950335", '+', "-1", "Addition overflowed"},
        OpCase{"79228162514264337593543950335", '+', "0.5", "Addition overflowed"},
        OpCase{"79228162514264337593543950335", '-', "-1", "Subtraction overflowed"}));

TEST(Decimal, CompareIsNumericAndTotal) {
  const char* ordered[] = {"-79228162514264337593543950335",
                           "-1.01",
                           "-1",
                           "-0.0000000000000000000000000001",
                           "0",
                           "0.0000000000000000000000000001",
                           "0.99",
                           "1.00",
                           "1.0000000000000000000000000001",
                           "7922816251426433759354395033.5",
                           "79228162514264337593543950335"};
  const int n = sizeof ordered / sizeof ordered[0];
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      const int c = parse(ordered[i]).cmp(parse(ordered[j]));
      EXPECT_EQ(c < 0 ? -1 : (c > 0 ? 1 : 0), i < j ? -1 : (i > j ? 1 : 0))
          << ordered[i] << " vs " << ordered[j];
    }
  }
  EXPECT_TRUE(parse("1.0") == parse("1.00"));
  EXPECT_TRUE(parse("0") == parse("0.00"));
  EXPECT_TRUE(parse("-0") == parse("0.0000000000000000000000000000"));
  EXPECT_TRUE(parse("1.5") <= parse("1.50") && parse("1.5") >= parse("1.50"));
}

// ---------------------------------------------------------------------------
// Randomized checks against an independent arbitrary-size integer

// Unsigned integer of any size, little-endian 32-bit limbs without high zeros.
struct Big {
  std::vector<uint32_t> w;

  static Big of(u128 v) {
    Big r;
    for (; v != 0; v >>= 32) r.w.push_back(static_cast<uint32_t>(v));
    return r;
  }
  static Big pow10(unsigned n) {
    Big r = of(1);
    while (n-- > 0) r = r * of(10);
    return r;
  }
  bool even() const { return w.empty() || (w[0] & 1u) == 0; }

  friend Big operator*(const Big& a, const Big& b) {
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
  friend Big operator+(const Big& a, const Big& b) {
    Big r;
    uint64_t carry = 0;
    for (size_t i = 0; i < std::max(a.w.size(), b.w.size()) || carry != 0; ++i) {
      const uint64_t t = carry + (i < a.w.size() ? a.w[i] : 0) + (i < b.w.size() ? b.w[i] : 0);
      r.w.push_back(static_cast<uint32_t>(t));
      carry = t >> 32;
    }
    r.trim();
    return r;
  }
  // |a - b|
  friend Big absdiff(const Big& a, const Big& b) {
    if (cmp(a, b) < 0) return absdiff(b, a);
    Big r = a;
    int64_t borrow = 0;
    for (size_t i = 0; i < r.w.size(); ++i) {
      const int64_t t = static_cast<int64_t>(r.w[i]) - (i < b.w.size() ? b.w[i] : 0) - borrow;
      r.w[i] = static_cast<uint32_t>(t);
      borrow = t < 0 ? 1 : 0;
    }
    r.trim();
    return r;
  }
  friend int cmp(const Big& a, const Big& b) {
    if (a.w.size() != b.w.size()) return a.w.size() < b.w.size() ? -1 : 1;
    for (size_t i = a.w.size(); i-- > 0;) {
      if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
    }
    return 0;
  }
  void trim() {
    while (!w.empty() && w.back() == 0) w.pop_back();
  }
};

const Big kTwo = Big::of(2);
const Big kTwiceLimitLessOne = Big::of((kLimit << 1) - 1);  // 2^97 - 1

// Whether a value x / 10^d rounded half to even reaches 2^96.
bool rounds_past_96_bits(const Big& x, unsigned d) {
  return cmp(kTwo * x, kTwiceLimitLessOne * Big::pow10(d)) >= 0;
}

// Checks that r is the exact value e / 10^s (with sign `negative`) rounded half
// to even to the largest scale not above max_scale at which it fits.
testing::AssertionResult rounded_to_fit(const Big& e, unsigned s, unsigned max_scale, bool negative,
                                        const Decimal& r) {
  const unsigned top = std::min(s, max_scale);
  const unsigned t = r.scale();
  if (t > top) return testing::AssertionFailure() << "scale " << t << " above " << top;
  const Big unit = Big::pow10(s - t);
  const Big err2 = kTwo * absdiff(Big::of(r.coefficient()) * unit, e);
  const int c = cmp(err2, unit);
  if (c > 0 || (c == 0 && !Big::of(r.coefficient()).even())) {
    return testing::AssertionFailure() << "not rounded half to even: " << r.to_string();
  }
  if (t < top && !rounds_past_96_bits(e, s - t - 1)) {
    return testing::AssertionFailure() << "scale " << t << " not the largest that fits";
  }
  if (r.is_negative() != (negative && !r.is_zero())) {
    return testing::AssertionFailure() << "wrong sign: " << r.to_string();
  }
  return testing::AssertionSuccess();
}

class RandomDecimals : public testing::Test {
 protected:
  std::mt19937_64 rng{20240611};

  // A coefficient of random bit length, so that small and huge ones both occur.
  Decimal next(unsigned max_bits = 96) {
    const unsigned bits = static_cast<unsigned>(rng() % (max_bits + 1));
    u128 c = (static_cast<u128>(rng()) << 64) | rng();
    c = bits == 0 ? 0 : c >> (128 - bits);
    const auto scale = static_cast<uint32_t>(rng() % 29);
    return Decimal::from_coefficient(c, scale, (rng() & 1u) != 0);
  }
};

Big scaled(const Decimal& d, unsigned to_scale) {
  return Big::of(d.coefficient()) * Big::pow10(to_scale - d.scale());
}

TEST_F(RandomDecimals, AddAndSubtractRoundOnlyPast96Bits) {
  for (int i = 0; i < 20000; ++i) {
    const Decimal a = next();
    const Decimal b = next();
    if (a.is_zero() || b.is_zero()) continue;
    const bool subtract = (i & 1) != 0;
    const bool b_neg = b.is_negative() != subtract;
    const unsigned s = std::max(a.scale(), b.scale());
    const Big ea = scaled(a, s);
    const Big eb = scaled(b, s);
    Big e;
    bool negative;
    if (a.is_negative() == b_neg) {
      e = ea + eb;
      negative = b_neg;
    } else {
      e = absdiff(ea, eb);
      negative = cmp(ea, eb) >= 0 ? a.is_negative() : b_neg;
    }
    SCOPED_TRACE(a.to_string() + (subtract ? " - " : " + ") + b.to_string());
    try {
      const Decimal r = subtract ? a - b : a + b;
      EXPECT_TRUE(rounded_to_fit(e, s, s, negative, r));
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(), subtract ? "Subtraction overflowed" : "Addition overflowed");
      EXPECT_TRUE(rounds_past_96_bits(e, s));
    }
  }
}

TEST_F(RandomDecimals, MultiplyRoundsToFit) {
  for (int i = 0; i < 20000; ++i) {
    const Decimal a = next();
    const Decimal b = next(i % 3 == 0 ? 32 : 96);
    if (a.is_zero() || b.is_zero()) continue;
    const unsigned s = a.scale() + b.scale();
    SCOPED_TRACE(a.to_string() + " * " + b.to_string());
    try {
      const Decimal r = a * b;
      if (a.coefficient() < (u128{1} << 32) && b.coefficient() < (u128{1} << 32) && s > 47) {
        EXPECT_TRUE(r.same_repr(Decimal()));
      } else {
        const Big e = Big::of(a.coefficient()) * Big::of(b.coefficient());
        EXPECT_TRUE(rounded_to_fit(e, s, 28, a.is_negative() != b.is_negative(), r));
      }
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(), "Multiplication overflowed");
      EXPECT_TRUE(rounds_past_96_bits(Big::of(a.coefficient()) * Big::of(b.coefficient()), s));
    }
  }
}

TEST_F(RandomDecimals, DivideRoundsHalfEvenAndUsesAllPlacesThatFit) {
  for (int i = 0; i < 20000; ++i) {
    const Decimal a = next();
    const Decimal b = next(i % 2 == 0 ? 40 : 96);
    if (a.is_zero() || b.is_zero()) continue;
    SCOPED_TRACE(a.to_string() + " / " + b.to_string());
    // a / b = A * 10^sb / (B * 10^sa); the quotient Q at scale t is compared
    // as Q * B * 10^sa against A * 10^(sb + t).
    const Big num = Big::of(a.coefficient()) * Big::pow10(b.scale());
    const Big den = Big::of(b.coefficient()) * Big::pow10(a.scale());
    try {
      const Decimal q = a / b;
      ASSERT_LE(q.scale(), 28u);
      // Trailing zeros may have been removed: pad back to the largest scale
      // (at most 28) at which the coefficient still fits, then check there.
      unsigned t = q.scale();
      u128 c = q.coefficient();
      while (t < 28 && c * 10 < kLimit) {
        c *= 10;
        ++t;
      }
      const Big err2 = kTwo * absdiff(Big::of(c) * den, num * Big::pow10(t));
      const int order = cmp(err2, den);
      EXPECT_TRUE(order < 0 || (order == 0 && Big::of(c).even())) << q.to_string();
      if (!err2.w.empty() && t < 28) {
        // Inexact: one more place would not have fitted.
        EXPECT_GE(cmp(kTwo * num * Big::pow10(t + 1), kTwiceLimitLessOne * den), 0)
            << q.to_string();
      }
      EXPECT_EQ(q.is_negative(), !q.is_zero() && a.is_negative() != b.is_negative());
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(), "Division overflowed");
      EXPECT_GE(cmp(kTwo * num, kTwiceLimitLessOne * den), 0);
    }
  }
}

TEST_F(RandomDecimals, ExactProductDividedBackGivesOperand) {
  for (int i = 0; i < 20000; ++i) {
    const Decimal a = next(40);
    const Decimal b = next(40);
    if (a.is_zero() || b.is_zero() || a.scale() + b.scale() > 28) continue;
    const Decimal p = a * b;
    EXPECT_TRUE((p / b).same_repr(a)) << a.to_string() << " * " << b.to_string();
    EXPECT_TRUE((p - b * a).same_repr(Decimal::make(0, p.scale())));
  }
}

TEST_F(RandomDecimals, CompareAgreesWithExactOrderAndDifference) {
  for (int i = 0; i < 20000; ++i) {
    const Decimal a = next();
    // Often the same value at another scale, to exercise equality.
    Decimal b = next();
    if (i % 4 == 0 && a.scale() < 28) {
      const auto k = static_cast<uint32_t>(1 + rng() % (28 - a.scale()));
      const Big up = scaled(a, a.scale() + k);
      if (up.w.size() <= 3 && (up.w.size() < 3 || up.w[2] != 0 || true)) {
        u128 c = 0;
        for (size_t j = up.w.size(); j-- > 0;) c = (c << 32) | up.w[j];
        if (c < kLimit) b = Decimal::from_coefficient(c, a.scale() + k, a.is_negative());
      }
    }
    const unsigned s = std::max(a.scale(), b.scale());
    int expected = cmp(scaled(a, s), scaled(b, s));
    if (a.is_negative() != b.is_negative()) {
      expected = a.is_zero() && b.is_zero() ? 0 : (a.is_negative() ? -1 : 1);
    } else if (a.is_negative()) {
      expected = -expected;
    }
    const int c = a.cmp(b);
    EXPECT_EQ((c > 0) - (c < 0), expected) << a.to_string() << " vs " << b.to_string();
    EXPECT_EQ((b.cmp(a) > 0) - (b.cmp(a) < 0), -expected);
    try {
      const Decimal d = a - b;
      EXPECT_EQ(d.is_zero() ? 0 : (d.is_negative() ? -1 : 1), expected);
    } catch (const Panic&) {
      EXPECT_NE(expected, 0);
    }
  }
}

TEST_F(RandomDecimals, TextRoundTripsExactly) {
  for (int i = 0; i < 20000; ++i) {
    const Decimal x = next();
    const std::string text = x.to_string();
    // Independent digits: repeated division of the coefficient by ten.
    char digits[64];
    size_t n = 0;
    unsigned places = 0;
    for (u128 c = x.coefficient(); c != 0 || places <= x.scale(); c /= 10, ++places) {
      if (places == x.scale() && places > 0) digits[n++] = '.';
      digits[n++] = static_cast<char>('0' + static_cast<int>(c % 10));
    }
    std::string expected(x.is_negative() ? "-" : "");
    expected.append(std::make_reverse_iterator(digits + n), std::make_reverse_iterator(digits));
    EXPECT_EQ(text, expected);
    const auto back = Decimal::from_str_exact(text);
    ASSERT_TRUE(back.ok()) << text;
    EXPECT_TRUE(back.value().same_repr(x)) << text;
  }
}

}  // namespace
