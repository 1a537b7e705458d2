#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "funcs.hpp"

namespace {

using data::LineItem;
using data::LineType;
using tallyforge::Decimal;
using tallyforge::Panic;

Decimal dec(const std::string& text) {
  auto parsed = Decimal::from_str_exact(text);
  EXPECT_TRUE(parsed.ok()) << text;
  return parsed.ok() ? parsed.value() : Decimal();
}

std::string panic_text(const std::function<void()>& call) {
  try {
    call();
  } catch (const Panic& p) {
    return p.message();
  }
  return "(no panic)";
}

// ---------------------------------------------------------------------------
// Quantization

struct QuantizeCase {
  const char* value;
  uint32_t q;
  const char* text;
};

TEST(Quantize, CutsTowardZeroAndNeverPads) {
  const QuantizeCase cases[] = {
      {"5", 2, "5"},
      {"2.50", 1, "2.5"},
      {"-0.001", 2, "0.00"},
      {"12.345", 5, "12.345"},
      {"2.999", 2, "2.99"},
      {"-2.999", 2, "-2.99"},
      {"0.99999", 2, "0.99"},
      {"1.005", 2, "1.00"},
      {"2.6666666666666666666666666667", 2, "2.66"},
      {"0.00", 0, "0"},
      {"-7.9", 0, "-7"},
      {"79228162514264337593543950335", 0, "79228162514264337593543950335"},
      {"7.9228162514264337593543950335", 27, "7.922816251426433759354395033"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(funcs::value_string(dec(c.value), c.q), c.text) << c.value << " q=" << c.q;
  }
  EXPECT_FALSE(funcs::quantize(dec("-0.001"), 2).is_negative());
  EXPECT_EQ(funcs::value_string(funcs::quantized_zero(2), 2), "0.00");
  EXPECT_EQ(funcs::value_string(funcs::quantum(0), 0), "1");
  EXPECT_EQ(funcs::quantum(28).to_string(), "0.0000000000000000000000000001");
  EXPECT_EQ(panic_text([] { funcs::quantum(29); }),
            "Scale exceeds the maximum precision allowed: 29 > 28");
  EXPECT_EQ(panic_text([] { funcs::quantized_zero(4294967295u); }),
            "Scale exceeds the maximum precision allowed: 4294967295 > 28");
}

// ---------------------------------------------------------------------------
// Division

struct DivideCase {
  const char* amount;
  uint16_t divisor;
  uint32_t q;
  std::vector<std::string> shares;  // empty when `error` is set
  const char* error;
};

constexpr const char* kImproper = "Amount is improperly quantized. Cannot divide.";
constexpr const char* kCannotDivide = "Amount cannot be divided into shares at this quantization.";

TEST(DivideAmount, Table) {
  const DivideCase cases[] = {
      {"10.00", 3, 2, {"3.34", "3.33", "3.33"}, nullptr},
      {"10", 3, 2, {"3.34", "3.33", "3.33"}, nullptr},
      {"-10.00", 3, 2, {"-3.34", "-3.33", "-3.33"}, nullptr},
      {"1000.00",
       7,
       2,
       {"142.86", "142.86", "142.86", "142.86", "142.86", "142.85", "142.85"},
       nullptr},
      {"1", 8, 2, {"0.13", "0.13", "0.13", "0.13", "0.12", "0.12", "0.12", "0.12"}, nullptr},
      {"0.05", 3, 2, {"0.02", "0.02", "0.01"}, nullptr},
      {"0.01", 3, 2, {"0.01", "0.00", "0.00"}, nullptr},
      {"-0.01", 3, 2, {"-0.01", "0.00", "0.00"}, nullptr},
      {"1", 3, 0, {"1", "0", "0"}, nullptr},
      {"10", 4, 2, {"2.50", "2.50", "2.50", "2.50"}, nullptr},
      {"10", 4, 1, {"2.5", "2.5", "2.5", "2.5"}, nullptr},
      {"10", 4, 3, {"2.50", "2.50", "2.50", "2.50"}, nullptr},
      {"10", 5, 2, {"2", "2", "2", "2", "2"}, nullptr},
      {"10.00", 5, 2, {"2.00", "2.00", "2.00", "2.00", "2.00"}, nullptr},
      {"1.500", 2, 2, {"0.75", "0.75"}, nullptr},
      {"0", 3, 2, {"0", "0", "0"}, nullptr},
      {"0.00", 3, 2, {"0", "0", "0"}, nullptr},
      {"7", 1, 2, {"7"}, nullptr},
      {"1",
       3,
       28,
       {"0.3333333333333333333333333334", "0.3333333333333333333333333333",
        "0.3333333333333333333333333333"},
       nullptr},
      {"79228162514264337593543950333",
       3,
       0,
       {"26409387504754779197847983445", "26409387504754779197847983444",
        "26409387504754779197847983444"},
       nullptr},
      {"1.005", 2, 2, {}, kImproper},
      {"1.005", 0, 2, {}, kImproper},
      {"10.00", 0, 2, {}, "Cannot divide by zero."},
      {"abc", 3, 2, {}, "Invalid decimal: unknown character"},
      {"", 3, 2, {}, "Invalid decimal: empty"},
      // Shares of 29 digits cannot take another quantum at place 28: the
      // quanta would be rounded away and the shares would not add up.
      {"100", 3, 28, {}, kCannotDivide},
      // A quotient rounded at place 1 leaves 2 * 10^27 quanta of place 28.
      {"7922816251426433759354395033", 7, 28, {}, kCannotDivide},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.amount) + " / " + std::to_string(c.divisor) +
                 " q=" + std::to_string(c.q));
    auto result = funcs::divide_amount(c.amount, c.divisor, c.q);
    if (c.error != nullptr) {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().message, c.error);
    } else {
      ASSERT_TRUE(result.ok()) << result.error().message;
      EXPECT_EQ(result.value(), c.shares);
    }
  }
}

TEST(DivideAmount, ArithmeticFailuresPanic) {
  EXPECT_EQ(panic_text([] { (void)funcs::divide_amount("10.00", 3, 29); }),
            "Scale exceeds the maximum precision allowed: 29 > 28");
  // Even when the quotient is exact, the quantum is still built.
  EXPECT_EQ(panic_text([] { (void)funcs::divide_amount("10", 5, 30); }),
            "Scale exceeds the maximum precision allowed: 30 > 28");
  EXPECT_EQ(panic_text([] { (void)funcs::divide_amount("79228162514264337593543950335", 2, 0); }),
            "Multiplication overflowed");
}

TEST(DivideAmount, ManySharesAddUp) {
  auto result = funcs::divide_amount("1", 65535, 2);
  ASSERT_TRUE(result.ok());
  ASSERT_EQ(result->size(), 65535u);
  Decimal sum;
  for (std::size_t i = 0; i < result->size(); ++i) {
    EXPECT_EQ((*result)[i], i < 100 ? "0.01" : "0.00");
    sum += dec((*result)[i]);
  }
  EXPECT_TRUE(sum.eq(dec("1")));
}

}  // namespace
