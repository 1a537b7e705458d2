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

// ---------------------------------------------------------------------------
// Totals

LineItem line(int32_t id, int16_t priority, std::string amount, std::string percentage = "0",
              bool back_into = false, std::optional<std::string> frozen = std::nullopt) {
  LineItem l;
  l.id = id;
  l.priority = priority;
  l.amount = std::move(amount);
  l.percentage = std::move(percentage);
  l.back_into_percentage = back_into;
  l.frozen_value = std::move(frozen);
  return l;
}

LineItem frozen(int32_t id, std::string value) {
  return line(id, 0, "abc", "abc", false, std::move(value));
}

// Appends `count` lines of the same amount with consecutive ids.
std::vector<LineItem> with_many(std::vector<LineItem> lines, int32_t first_id, int count,
                                const std::string& amount) {
  for (int i = 0; i < count; ++i) lines.push_back(line(first_id + i, 0, amount));
  return lines;
}

using Subtotals = std::vector<std::pair<int32_t, std::string>>;

Subtotals texts(const funcs::Totals& totals) {
  Subtotals out;
  for (const auto& [l, amount] : totals.subtotals) out.emplace_back(l.id, amount.to_string());
  return out;
}

struct BillCase {
  const char* name;
  std::vector<LineItem> lines;
  uint32_t q;
  const char* total;  // value_string(total, q), or the error message
  const char* discount;
  Subtotals subtotals;
};

constexpr const char* kNoCandidates =
    "No line items to distribute difference to. You may be missing a base price line item, "
    "which should be included even if the base price would be zero.";

// Appends `count` entries of "0.00" with consecutive ids.
Subtotals with_zeros(Subtotals head, int32_t first_id, int count) {
  for (int i = 0; i < count; ++i) head.emplace_back(first_id + i, "0.00");
  return head;
}

TEST(GetTotals, Table) {
  const BillCase cases[] = {
      {"empty", {}, 2, "0.00", "0.00", {}},
      {"one quantum to the smallest id",
       {line(1, 0, "0.335"), line(2, 0, "0.335"), line(3, 0, "0.335")},
       2,
       "1.00",
       "0.00",
       {{1, "0.34"}, {2, "0.33"}, {3, "0.33"}}},
      {"percentage of the tier below",
       {line(1, 0, "100.00"), line(2, 1, "0", "15")},
       2,
       "115.00",
       "0.00",
       {{1, "100.00"}, {2, "15.00"}}},
      {"percentage in the same tier sees zero",
       {line(1, 0, "100.00"), line(2, 0, "0", "15")},
       2,
       "100.00",
       "0.00",
       {{1, "100.00"}, {2, "0"}}},
      {"backing into a percentage",
       {line(1, 0, "100.00"), line(2, 1, "0", "3", true)},
       2,
       "103.09",
       "0.00",
       {{1, "100.00"}, {2, "3.09"}}},
      {"tiers evaluated by signed priority, not input order",
       {line(2, 1, "0", "3", true), line(1, -5, "100.00")},
       2,
       "103.09",
       "0.00",
       {{2, "3.09"}, {1, "100.00"}}},
      {"difference to the highest priority",
       {line(1, 0, "0.335"), line(2, 0, "0.335"), line(3, 5, "1.00")},
       2,
       "1.67",
       "0.00",
       {{1, "0.33"}, {2, "0.33"}, {3, "1.01"}}},
      {"negative difference to the lowest priority, most negative, smallest id",
       {line(3, 5, "-1.00"), line(2, 0, "-0.335"), line(1, 0, "-0.335")},
       2,
       "-1.67",
       "-1.67",
       {{3, "-1.00"}, {2, "-0.33"}, {1, "-0.34"}}},
      {"single candidate visited repeatedly", with_many({line(1, 0, "1.00")}, 2, 5, "0.009"), 2,
       "1.04", "0.00", with_zeros({{1, "1.04"}}, 2, 5)},
      {"smaller amount served first",
       with_many({line(1, 0, "1.00"), line(2, 0, "2.00")}, 3, 4, "0.009"), 2, "3.03", "0.00",
       with_zeros({{1, "1.02"}, {2, "2.01"}}, 3, 4)},
      {"100 quanta over three candidates",
       with_many({line(3, 0, "2.00"), line(2, 0, "1.00"), line(1, 0, "1.00")}, 10, 112, "0.009"), 2,
       "5.00", "0.00", with_zeros({{3, "2.33"}, {2, "1.33"}, {1, "1.34"}}, 10, 112)},
      {"negative line takes a negative difference",
       {line(1, 0, "10.005"), line(2, 0, "-3.007")},
       2,
       "6.99",
       "-3.00",
       {{1, "10.00"}, {2, "-3.01"}}},
      {"no candidate of the difference's sign",
       {line(1, 0, "1.00"), line(2, 0, "-0.009")},
       2,
       kNoCandidates,
       "",
       {}},
      {"frozen bill",
       {frozen(1, "10.5"), frozen(2, "-2.255")},
       2,
       "8.24",
       "-2.25",
       {{1, "10.5"}, {2, "-2.255"}}},
      {"frozen bill without a negative line", {frozen(1, "1.00")}, 2, "1.00", "0", {{1, "1.00"}}},
      {"frozen bill ignores q", {frozen(1, "1.005")}, 40, "1.005", "0", {{1, "1.005"}}},
      {"one unfrozen line makes the bill computed",
       {line(1, 0, "5.00", "0", false, "7.00"), line(2, 0, "1.00")},
       2,
       "6.00",
       "0.00",
       {{1, "5.00"}, {2, "1.00"}}},
      {"no decimal places added", {line(1, 0, "100")}, 2, "100", "0.00", {{1, "100"}}},
      {"zero line keeps the total's places", {line(1, 0, "0")}, 2, "0.00", "0.00", {{1, "0"}}},
      {"equal lines collapse but count in the discount",
       {line(1, 0, "-1.00"), line(1, 0, "-1.00")},
       2,
       "-1.00",
       "-2.00",
       {{1, "-1.00"}}},
      {"equal frozen lines", {frozen(1, "1.00"), frozen(1, "1.00")}, 2, "2.00", "0", {{1, "1.00"}}},
      {"texts compare as bytes",
       {line(1, 0, "1.0"), line(1, 0, "1.00")},
       2,
       "2.00",
       "0.00",
       {{1, "1.0"}, {1, "1.00"}}},
      {"whole quanta at q = 0",
       {line(1, 0, "1.5"), line(2, 0, "1.5")},
       0,
       "3",
       "0",
       {{1, "2"}, {2, "1"}}},
      {"sum in first-appearance order (zero shortcut)",
       {line(1, 0, "1.5"), line(2, 0, "-1.50"), line(3, 0, "2")},
       2,
       "2",
       "-1.50",
       {{1, "1.5"}, {2, "-1.50"}, {3, "2"}}},
      {"sum in first-appearance order",
       {line(3, 0, "2"), line(1, 0, "1.5"), line(2, 0, "-1.50")},
       2,
       "2.00",
       "-1.50",
       {{3, "2"}, {1, "1.5"}, {2, "-1.50"}}},
      {"empty amount", {line(1, 0, "")}, 2, "Invalid decimal: empty", "", {}},
      {"lowest tier fails first",
       {line(1, 5, ""), line(2, 0, "1", "x")},
       2,
       "Invalid decimal: unknown character",
       "",
       {}},
      {"bad frozen value", {frozen(1, "1.2.3")}, 2, "Invalid decimal: two decimal points", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = funcs::get_totals(c.lines, c.q);
    if (c.discount[0] == '\0') {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().message, c.total);
      auto reckoned = funcs::reckon_lines(c.lines, c.q);
      ASSERT_FALSE(reckoned.ok());
      EXPECT_EQ(reckoned.error().message, c.total);
      continue;
    }
    ASSERT_TRUE(result.ok()) << result.error().message;
    EXPECT_EQ(funcs::value_string(result->total, c.q), c.total);
    EXPECT_EQ(funcs::value_string(result->discount, c.q), c.discount);
    EXPECT_EQ(texts(*result), c.subtotals);
  }

  auto reckoned = funcs::reckon_lines({frozen(1, "10.5"), frozen(2, "-2.255")}, 2);
  ASSERT_TRUE(reckoned.ok());
  EXPECT_EQ(reckoned->to_string(), "8.245");
}

TEST(GetTotals, ArithmeticFailuresPanic) {
  // A computed bill builds its zero before it parses any line.
  EXPECT_EQ(panic_text([] { (void)funcs::get_totals({line(1, 0, "")}, 29); }),
            "Scale exceeds the maximum precision allowed: 29 > 28");
  EXPECT_EQ(panic_text([] { (void)funcs::get_totals({}, 29); }),
            "Scale exceeds the maximum precision allowed: 29 > 28");
  EXPECT_EQ(panic_text([] {
              (void)funcs::get_totals({line(1, 0, "1"), line(2, 1, "0", "100", true)}, 2);
            }),
            "Division by zero");
}

TEST(GetTotals, RoundingAtTheLimitIsNotHandedOut) {
  // The difference of -0.02 can only go to line 1, whose amount already has
  // 29 digits: adding a quantum at place 2 would round straight back.
  const std::vector<LineItem> bill = {
      line(1, 0, "-7922816251426433759354395033.4"), line(2, 0, "7922816251426433759354395033.4"),
      line(3, 0, "-0.009"), line(4, 0, "-0.009"), line(5, 0, "-0.009")};
  auto result = funcs::get_totals(bill, 2);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message,
            "Rounding difference cannot be distributed at this quantization.");
}

TEST(GetTotals, LargeBillsAcrossTheWholePriorityRange) {
  std::vector<LineItem> bill;
  for (int32_t i = 0; i < 20000; ++i) {
    bill.push_back(line(i, static_cast<int16_t>(-32768 + (i * 7919) % 65536), "0.009"));
  }
  bill.push_back(line(-1, 32767, "1.00"));
  auto result = funcs::get_totals(bill, 2);
  ASSERT_TRUE(result.ok());
  // Each tier holds one line and cuts it to zero, so everything lands on the base line.
  EXPECT_EQ(result->total.to_string(), "1.00");
  EXPECT_EQ(result->subtotals.back().second.to_string(), "1.00");

  bill.back().priority = 0;
  for (auto& l : bill) l.priority = static_cast<int16_t>(l.id % 3);
  result = funcs::get_totals(bill, 2);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->total.to_string(), "180.99");  // three tiers of 60.00-ish sums
  EXPECT_EQ(result->subtotals.back().second.to_string(), "180.99");
}

int sign(int x) {
  return (x > 0) - (x < 0);
}

// Computed bills: the subtotals add up to the total exactly, no line takes a
// quantum against the sign of the difference, and the result is repeatable.
TEST(GetTotals, RandomBillsAddUp) {
  std::mt19937 rng(20240611);
  const char* percentages[] = {"0", "0", "0", "10", "-5", "12.5", "33.3"};
  int checked = 0;
  for (int round = 0; round < 400; ++round) {
    const uint32_t q = static_cast<uint32_t>(rng() % 5);
    std::vector<LineItem> bill;
    const int n = 1 + static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) {
      // An amount of up to 1000000 units with 0 to 4 decimal places.
      const std::size_t places = rng() % 5;
      const long long units = static_cast<long long>(rng() % 2000001) - 1000000;
      const long long magnitude = units < 0 ? -units : units;
      long long unit = 1;
      for (std::size_t p = 0; p < places; ++p) unit *= 10;
      std::string amount = units < 0 ? "-" : "";
      amount += std::to_string(magnitude / unit);
      if (places > 0) {
        const std::string fraction = std::to_string(magnitude % unit);
        amount.push_back('.');
        amount.append(places - fraction.size(), '0');
        amount += fraction;
      }
      const int16_t priority = static_cast<int16_t>(static_cast<int>(rng() % 7) - 3);
      bill.push_back(line(i, priority, amount, percentages[rng() % 7], rng() % 4 == 0));
    }
    auto result = funcs::get_totals(bill, q);
    if (!result.ok()) {
      EXPECT_EQ(result.error().message, kNoCandidates);
      continue;
    }
    ++checked;
    Decimal sum = funcs::quantized_zero(q);
    int direction = 0;
    for (std::size_t i = 0; i < result->subtotals.size(); ++i) {
      const auto& [l, amount] = result->subtotals[i];
      sum += amount;
      if (l.percentage != "0") continue;
      const Decimal cut = funcs::quantize(dec(l.amount), q);
      const int moved = sign(amount.cmp(cut));
      if (moved == 0) continue;
      EXPECT_EQ(moved, sign(cut.cmp(Decimal()))) << "quantum against the line's sign";
      if (direction == 0) direction = moved;
      EXPECT_EQ(moved, direction) << "quanta of both signs";
    }
    EXPECT_TRUE(sum.eq(result->total)) << sum.to_string() << " vs " << result->total.to_string();
    auto again = funcs::get_totals(bill, q);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(texts(*again), texts(*result));
  }
  EXPECT_GT(checked, 300);
}

}  // namespace
