#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "funcs.hpp"

namespace {

using data::LineItem;
using data::LineType;
using tallyforge::Decimal;

constexpr const char* kScale29 = "Scale exceeds the maximum precision allowed: 29 > 28";
constexpr const char* kImproper = "Amount is improperly quantized. Cannot divide.";
constexpr const char* kCannotDivide = "Amount cannot be divided into shares at this quantization.";
constexpr const char* kNoCandidates =
    "No line items to distribute difference to. You may be missing a base price line item, "
    "which should be included even if the base price would be zero.";

Decimal dec(const std::string& text) {
  return Decimal::from_str_exact(text).value();
}

std::string panic_text(const std::function<void()>& call) {
  try {
    call();
  } catch (const tallyforge::Panic& p) {
    return p.message();
  }
  return "(no panic)";
}

TEST(Quantize, CutsTowardZeroAndNeverPads) {
  struct Case {
    const char* value;
    uint32_t q;
    const char* text;
  };
  // clang-format off
  const Case cases[] = {
      {"5", 2, "5"}, {"2.50", 1, "2.5"}, {"-0.001", 2, "0.00"}, {"12.345", 5, "12.345"},
      {"2.999", 2, "2.99"}, {"-2.999", 2, "-2.99"}, {"1.005", 2, "1.00"}, {"-7.9", 0, "-7"},
      {"2.6666666666666666666666666667", 2, "2.66"}, {"0.00", 0, "0"},
      {"7.9228162514264337593543950335", 27, "7.922816251426433759354395033"},
  };
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(funcs::value_string(dec(c.value), c.q), c.text) << c.value << " q=" << c.q;
  }
  EXPECT_FALSE(funcs::quantize(dec("-0.001"), 2).is_negative());
  EXPECT_EQ(funcs::value_string(funcs::quantized_zero(2), 2), "0.00");
  EXPECT_EQ(funcs::quantum(28).to_string(), "0.0000000000000000000000000001");
  EXPECT_EQ(panic_text([] { funcs::quantum(29); }), kScale29);
  EXPECT_EQ(panic_text([] { funcs::quantized_zero(29); }), kScale29);
}

TEST(DivideAmount, Table) {
  struct Case {
    const char* amount;
    uint16_t divisor;
    uint32_t q;
    std::vector<std::string> shares;  // empty when `error` is set
    const char* error;
  };
  // clang-format off
  const Case cases[] = {
      {"10.00", 3, 2, {"3.34", "3.33", "3.33"}, nullptr},
      {"10", 3, 2, {"3.34", "3.33", "3.33"}, nullptr},
      {"-10.00", 3, 2, {"-3.34", "-3.33", "-3.33"}, nullptr},
      {"1000.00", 7, 2, {"142.86", "142.86", "142.86", "142.86", "142.86", "142.85", "142.85"}, nullptr},
      {"1", 8, 2, {"0.13", "0.13", "0.13", "0.13", "0.12", "0.12", "0.12", "0.12"}, nullptr},
      {"0.01", 3, 2, {"0.01", "0.00", "0.00"}, nullptr},
      {"-0.01", 3, 2, {"-0.01", "0.00", "0.00"}, nullptr},
      {"1", 3, 0, {"1", "0", "0"}, nullptr},
      {"10", 4, 2, {"2.50", "2.50", "2.50", "2.50"}, nullptr},
      {"10", 4, 1, {"2.5", "2.5", "2.5", "2.5"}, nullptr},
      {"10", 5, 2, {"2", "2", "2", "2", "2"}, nullptr},
      {"10.00", 5, 2, {"2.00", "2.00", "2.00", "2.00", "2.00"}, nullptr},
      {"1.500", 2, 2, {"0.75", "0.75"}, nullptr},
      // places beyond q that are zeros: the remainder 0.0100 is one quantum
      {"1.0000", 3, 2, {"0.34", "0.33", "0.33"}, nullptr},
      {"0.00", 3, 2, {"0", "0", "0"}, nullptr},
      {"1", 3, 28, {"0.3333333333333333333333333334", "0.3333333333333333333333333333",
                    "0.3333333333333333333333333333"}, nullptr},
      {"79228162514264337593543950333", 3, 0, {"26409387504754779197847983445",
       "26409387504754779197847983444", "26409387504754779197847983444"}, nullptr},
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
  // clang-format on
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
  auto many = funcs::divide_amount("1", 65535, 2);
  ASSERT_TRUE(many.ok());
  EXPECT_EQ((*many)[99], "0.01");
  EXPECT_EQ((*many)[100], "0.00");
}

TEST(DivideAmount, ArithmeticFailuresPanic) {
  EXPECT_EQ(panic_text([] { (void)funcs::divide_amount("10.00", 3, 29); }), kScale29);
  // The quantum is built even when the quotient is exact.
  EXPECT_EQ(panic_text([] { (void)funcs::divide_amount("10", 5, 29); }), kScale29);
  EXPECT_EQ(panic_text([] { (void)funcs::divide_amount("79228162514264337593543950335", 2, 0); }),
            "Multiplication overflowed");
}

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
  return line(id, 0, "x", "x", false, value);
}

using Subtotals = std::vector<std::pair<int32_t, std::string>>;

// `count` more lines of `amount` (with their expected "0.00") from id `first`.
std::vector<LineItem> with_many(std::vector<LineItem> lines, int32_t first, int count,
                                const char* amount) {
  for (int i = 0; i < count; ++i) lines.push_back(line(first + i, 0, amount));
  return lines;
}
Subtotals with_zeros(Subtotals head, int32_t first, int count) {
  for (int i = 0; i < count; ++i) head.emplace_back(first + i, "0.00");
  return head;
}

Subtotals texts(const funcs::Totals& totals) {
  Subtotals out;
  for (const auto& [l, amount] : totals.subtotals) out.emplace_back(l.id, amount.to_string());
  return out;
}

TEST(GetTotals, Table) {
  struct Case {
    const char* name;
    std::vector<LineItem> lines;
    uint32_t q;
    const char* total;     // value_string(total, q), or the error message
    const char* discount;  // empty for an error
    Subtotals subtotals;   // in order of first appearance
  };
  // clang-format off
  const Case cases[] = {
      {"empty", {}, 2, "0.00", "0.00", {}},
      {"one quantum to the smallest id", {line(1, 0, "0.335"), line(2, 0, "0.335"), line(3, 0, "0.335")},
       2, "1.00", "0.00", {{1, "0.34"}, {2, "0.33"}, {3, "0.33"}}},
      {"percentage of the tier below", {line(1, 0, "100.00"), line(2, 1, "0", "15")},
       2, "115.00", "0.00", {{1, "100.00"}, {2, "15.00"}}},
      {"percentage in the same tier sees zero", {line(1, 0, "100.00"), line(2, 0, "0", "15")},
       2, "100.00", "0.00", {{1, "100.00"}, {2, "0"}}},
      {"backing into a percentage, tiers by signed priority",
       {line(2, 1, "0", "3", true), line(1, -5, "100.00")},
       2, "103.09", "0.00", {{2, "3.09"}, {1, "100.00"}}},
      {"difference to the highest priority",
       {line(1, 0, "0.335"), line(2, 0, "0.335"), line(3, 5, "1.00")},
       2, "1.67", "0.00", {{1, "0.33"}, {2, "0.33"}, {3, "1.01"}}},
      {"negative difference to the lowest priority, most negative, smallest id",
       {line(3, 5, "-1.00"), line(2, 0, "-0.335"), line(1, 0, "-0.335")},
       2, "-1.67", "-1.67", {{3, "-1.00"}, {2, "-0.33"}, {1, "-0.34"}}},
      {"single candidate visited repeatedly", with_many({line(1, 0, "1.00")}, 2, 5, "0.009"),
       2, "1.04", "0.00", with_zeros({{1, "1.04"}}, 2, 5)},
      {"smaller amount served first", with_many({line(1, 0, "1.00"), line(2, 0, "2.00")}, 3, 4, "0.009"),
       2, "3.03", "0.00", with_zeros({{1, "1.02"}, {2, "2.01"}}, 3, 4)},
      {"100 quanta over three candidates",
       with_many({line(3, 0, "2.00"), line(2, 0, "1.00"), line(1, 0, "1.00")}, 10, 112, "0.009"),
       2, "5.00", "0.00", with_zeros({{3, "2.33"}, {2, "1.33"}, {1, "1.34"}}, 10, 112)},
      {"negative line takes a negative difference", {line(1, 0, "10.005"), line(2, 0, "-3.007")},
       2, "6.99", "-3.00", {{1, "10.00"}, {2, "-3.01"}}},
      {"no candidate of the difference's sign", {line(1, 0, "1.00"), line(2, 0, "-0.009")},
       2, kNoCandidates, "", {}},
      {"frozen bill", {frozen(1, "10.5"), frozen(2, "-2.255")}, 2, "8.24", "-2.25", {{1, "10.5"}, {2, "-2.255"}}},
      {"frozen bill without a negative line, any q", {frozen(1, "1.005")}, 40, "1.005", "0", {{1, "1.005"}}},
      {"one unfrozen line makes the bill computed", {line(1, 0, "5.00", "0", false, "7.00"), line(2, 0, "1.00")},
       2, "6.00", "0.00", {{1, "5.00"}, {2, "1.00"}}},
      {"no decimal places added", {line(1, 0, "100")}, 2, "100", "0.00", {{1, "100"}}},
      {"zero line keeps the total's places", {line(1, 0, "0")}, 2, "0.00", "0.00", {{1, "0"}}},
      {"equal lines collapse but count in the discount", {line(1, 0, "-1.00"), line(1, 0, "-1.00")},
       2, "-1.00", "-2.00", {{1, "-1.00"}}},
      {"equal frozen lines", {frozen(1, "1.00"), frozen(1, "1.00")}, 2, "2.00", "0", {{1, "1.00"}}},
      {"texts compare as bytes", {line(1, 0, "1.0"), line(1, 0, "1.00")}, 2, "2.00", "0.00", {{1, "1.0"}, {1, "1.00"}}},
      {"whole quanta at q = 0", {line(1, 0, "1.5"), line(2, 0, "1.5")}, 0, "3", "0", {{1, "2"}, {2, "1"}}},
      {"sum in first-appearance order (zero shortcut)", {line(1, 0, "1.5"), line(2, 0, "-1.50"), line(3, 0, "2")},
       2, "2", "-1.50", {{1, "1.5"}, {2, "-1.50"}, {3, "2"}}},
      {"sum in first-appearance order", {line(3, 0, "2"), line(1, 0, "1.5"), line(2, 0, "-1.50")},
       2, "2.00", "-1.50", {{3, "2"}, {1, "1.5"}, {2, "-1.50"}}},
      {"empty amount", {line(1, 0, "")}, 2, "Invalid decimal: empty", "", {}},
      {"lowest tier fails first", {line(1, 5, ""), line(2, 0, "1", "x")}, 2, "Invalid decimal: unknown character", "", {}},
      {"bad frozen value", {frozen(1, "1.2.3")}, 2, "Invalid decimal: two decimal points", "", {}},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = funcs::get_totals(c.lines, c.q);
    auto reckoned = funcs::reckon_lines(c.lines, c.q);
    if (c.discount[0] == '\0') {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().message, c.total);
      ASSERT_FALSE(reckoned.ok());
      EXPECT_EQ(reckoned.error().message, c.total);
      continue;
    }
    ASSERT_TRUE(result.ok()) << result.error().message;
    EXPECT_EQ(funcs::value_string(result->total, c.q), c.total);
    EXPECT_EQ(funcs::value_string(result->discount, c.q), c.discount);
    EXPECT_EQ(texts(*result), c.subtotals);
    ASSERT_TRUE(reckoned.ok());
    EXPECT_TRUE(reckoned->same_repr(result->total));
  }
}

// Lines sharing an id are compared field by field in small groups and hashed in large
// ones. Either way the distinct lines must be exactly those that a pairwise comparison
// finds, named by their first appearance, and the amounts must add up to the total.
TEST(GetTotals, LargeGroupsOfOneId) {
  const LineItem fee = line(7, 0, "1.25");
  // One line for each field: equal to `fee` in every other field.
  std::vector<LineItem> variants(11, fee);
  variants[0].id = 8;
  variants[1].priority = 1;
  variants[2].kind = LineType::Tip;
  variants[3].amount = "2.50";
  variants[4].description = "x";
  variants[5].frozen_value = "1.25";
  variants[6].percentage = "0.0";
  variants[7].category = data::Category::EscrowHold;
  variants[8].destination_user_id = 5;
  variants[9].destination_account = data::Account::Fund;
  variants[10].back_into_percentage = true;
  std::vector<LineItem> interleaved;
  for (const auto& v : variants) {
    for (const LineItem& l : {fee, v, fee, v}) interleaved.push_back(l);
  }
  std::vector<LineItem> variants_once(17, fee);
  variants_once.insert(variants_once.end(), variants.begin(), variants.end());
  std::vector<LineItem> steps;  // ids 1, amounts 0.00 to 19.00 and a copy of 7.00
  for (int i = 0; i < 20; ++i) steps.push_back(line(1, 0, std::to_string(i) + ".00"));
  steps.push_back(line(1, 0, "7.00"));
  const auto cycle = [](int n) {  // amounts 0.005, 1.005, 2.005, 3.005, 0.005, ...
    std::vector<LineItem> out;
    for (int i = 0; i < n; ++i) out.push_back(line(3, 0, std::to_string(i % 4) + ".005"));
    return out;
  };
  std::vector<LineItem> two_groups;
  for (int i = 0; i < 20; ++i) {
    two_groups.push_back(line(9, 0, "-0.335"));
    two_groups.push_back(line(2, static_cast<int16_t>(i % 2), "1.00"));
  }

  struct Case {
    const char* name;
    std::vector<LineItem> lines;
    const char* total;
    const char* discount;
  };
  // clang-format off
  const Case cases[] = {
      {"twenty amounts and a copy", steps, "190.00", "0.00"},
      {"copies collapse, each counts in the discount", std::vector<LineItem>(17, line(7, 0, "-1.00")),
       "-1.00", "-17.00"},
      // ten lines of 1.25 and one of 2.50 in tier 0, one of 1.25 in tier 1
      {"each field tells lines apart", variants_once, "16.25", "0.00"},
      {"variants between copies", interleaved, "16.25", "0.00"},
      // 6.02 cut from 0.00 + 1.00 + 2.00 + 3.00: the two smallest positive amounts take a quantum
      {"sixteen lines, compared", cycle(16), "6.02", "0.00"},
      {"seventeen lines, hashed", cycle(17), "6.02", "0.00"},
      {"two groups, alternating", two_groups, "1.66", "-6.70"},  // 0.665 cut, then 1.00
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::size_t> first;
    for (std::size_t i = 0; i < c.lines.size(); ++i) {
      bool seen = false;
      for (std::size_t j = 0; j < i && !seen; ++j) seen = c.lines[j] == c.lines[i];
      if (!seen) first.push_back(i);
    }
    auto t = funcs::tabulate(c.lines, 2);
    ASSERT_TRUE(t.ok()) << t.error().message;
    EXPECT_EQ(t->first, first);
    ASSERT_EQ(t->amounts.size(), first.size());
    EXPECT_EQ(funcs::value_string(t->total, 2), c.total);
    EXPECT_EQ(funcs::value_string(t->discount, 2), c.discount);
    Decimal sum = funcs::quantized_zero(2);
    for (const Decimal& amount : t->amounts) sum += amount;
    EXPECT_TRUE(sum.eq(t->total)) << sum.to_string();
  }
}

TEST(GetTotals, Failures) {
  // A computed bill builds its zero before it parses any line.
  EXPECT_EQ(panic_text([] { (void)funcs::get_totals({line(1, 0, "")}, 29); }), kScale29);
  EXPECT_EQ(panic_text([] {
              (void)funcs::get_totals({line(1, 0, "1"), line(2, 1, "0", "100", true)}, 2);
            }),
            "Division by zero");
  // The difference of -0.02 can only go to line 1, whose amount already has
  // 29 digits: a quantum at place 2 would round straight back.
  auto limit = funcs::get_totals(
      {line(1, 0, "-7922816251426433759354395033.4"), line(2, 0, "7922816251426433759354395033.4"),
       line(3, 0, "-0.009"), line(4, 0, "-0.009"), line(5, 0, "-0.009")},
      2);
  ASSERT_FALSE(limit.ok());
  EXPECT_EQ(limit.error().message,
            "Rounding difference cannot be distributed at this quantization.");
  // Found by fuzzing: the line amounts sum to 79228162514264337585621134083.573566240646,
  // which the type can only hold rounded to ...084, the very total of the tier; the
  // difference then came out as zero and amounts that do not add up were returned.
  auto rounded_sum = funcs::get_totals(
      {line(4, 2, "-7922816251.4264337593543935172"), line(5, 2, "79228162514264337593543950335")},
      12);
  ASSERT_FALSE(rounded_sum.ok());
  EXPECT_EQ(rounded_sum.error().message,
            "Rounding difference cannot be distributed at this quantization.");
}

TEST(GetTotals, AmountsAddUpExactlyAtTheLimitOfTheType) {
  // The exact sums need more than 96 bits, so the total rounds in the same way
  // as the sum of the amounts and no difference shows; the bill is refused
  // rather than returned with amounts that do not add up.
  for (auto [big, tiny, q] : {std::tuple{"1000000000", "0.00000000000000000001", 20u},
                              std::tuple{"1000", "0.0000000000000000000000000001", 28u}}) {
    auto result = funcs::get_totals({line(1, 0, big), line(2, 0, tiny)}, q);
    ASSERT_FALSE(result.ok()) << big;
    EXPECT_EQ(result.error().message,
              "Rounding difference cannot be distributed at this quantization.");
  }
  // A line at the limit of the type takes a whole number of quanta: the sum drops the
  // places that no longer fit, which are zeros, so it is exact and the bill adds up.
  std::vector<LineItem> bill = with_many({}, 2, 200, "0.005");  // cut to 0.00: 1.00 short
  bill.push_back(line(1, 0, "79228162514264337593543950000"));
  auto limit = funcs::get_totals(bill, 2);
  ASSERT_TRUE(limit.ok()) << limit.error().message;
  EXPECT_EQ(limit->total.to_string(), "79228162514264337593543950001");
  EXPECT_EQ(limit->subtotals.back().second.to_string(), "79228162514264337593543950001");
  // Shares whose running sum passes 96 bits, though each share is exact.
  auto shares = funcs::divide_amount("19807040628566084398385.987584", 5, 28);
  ASSERT_TRUE(shares.ok()) << shares.error().message;
  EXPECT_EQ(*shares, std::vector<std::string>(5, "3961408125713216879677.1975168"));
}

// The error value of a computation that must fail; a success shows as an error
// that matches no expectation.
template <class R>
data::TabulationError error_of(R result) {
  if (result.ok()) return data::TabulationError{"(succeeded)", 99, "(succeeded)", {}};
  return std::move(result).error();
}

TEST(Errors, SayWhereTheyArose) {
  struct Case {
    const char* name;
    data::TabulationError error;
    std::optional<size_t> line;
    const char* where;
    std::optional<std::string> input;
  };
  data::Pricing pricing;
  pricing.processing_percentage = "2,9";
  data::DeliverableLinesContext context;
  context.base_price = "10";
  context.plan_name = "B";
  context.pricing = data::Pricing{};
  context.pricing->plans.resize(2);
  context.pricing->plans[1].name = "B";
  context.pricing->plans[1].per_deliverable_price = "1";
  context.extra_lines = {line(7, 0, "1"), line(8, 0, "1", "?")};
  const Case cases[] = {
      {"line amount", error_of(funcs::get_totals({line(1, 0, "1"), line(2, 0, "x")}, 2)), 1,
       "amount", "x"},
      {"frozen value", error_of(funcs::get_totals({frozen(1, "1"), frozen(2, "")}, 2)), 1,
       "frozen_value", ""},
      {"whole bill", error_of(funcs::get_totals({line(1, 0, "1.00"), line(2, 0, "-0.009")}, 2)),
       std::nullopt, "", std::nullopt},
      {"split", error_of(funcs::divide_amount("1.005", 2, 2)), std::nullopt, "source_amount",
       "1.005"},
      {"tip percentage", error_of(funcs::tip_fee_lines({pricing, false, 2})), std::nullopt,
       "pricing.processing_percentage", "2,9"},
      {"extra line of a purchase", error_of(funcs::deliverable_lines(context)), std::nullopt,
       "extra_lines[1].percentage", "?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error.line, c.line);
    EXPECT_EQ(c.error.where, c.where);
    ASSERT_EQ(c.error.input.has_value(), c.input.has_value());
    if (c.input) {
      EXPECT_EQ(c.error.input->head, *c.input);
      EXPECT_EQ(c.error.input->length, c.input->size());
    }
  }
}

// A text repeated to `count` copies.
std::string times(std::string_view piece, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += piece;
  return out;
}

TEST(Errors, KeepOnlyTheHeadOfTheirText) {
  constexpr size_t kMax = data::Excerpt::kMaxChars;
  struct Case {
    const char* name;
    std::string text;
    std::string head;
    size_t length;
  };
  // One- to four-byte code points, each at the cut.
  const std::string_view pieces[] = {"7", "\xC3\xA9", "\xE2\x80\xAE", "\xF0\x9F\x92\xB0"};
  std::vector<Case> cases = {{"empty", "", "", 0}};
  for (const std::string_view piece : pieces) {
    for (const size_t n : {size_t{1}, kMax - 1, kMax, kMax + 1, size_t{10'000'000}}) {
      cases.push_back({"repeated", times(piece, n), times(piece, std::min(n, kMax)), n});
    }
    // A wider code point just past the cut or just before it.
    cases.push_back({"wide after the cut", times("0", kMax) + std::string(piece),
                     times("0", kMax), kMax + 1});
    cases.push_back({"wide at the cut", times("0", kMax - 1) + std::string(piece) + "0",
                     times("0", kMax - 1) + std::string(piece), kMax + 1});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(c.text.size()) + " bytes");
    const data::Excerpt excerpt = data::Excerpt::of(c.text);
    EXPECT_EQ(excerpt.head, c.head);
    EXPECT_EQ(excerpt.length, c.length);
    EXPECT_EQ(excerpt.cut(), c.length > kMax);
  }
}

TEST(Errors, HeadOfATextThatIsNotUtf8StaysShort) {
  // Continuation bytes alone start no code point; the head is bounded anyway.
  const data::Excerpt excerpt = data::Excerpt::of(std::string(100'000, '\x80'));
  EXPECT_LE(excerpt.head.size(), 4 * data::Excerpt::kMaxChars);
  EXPECT_EQ(excerpt.length, 0u);
}

TEST(GetTotals, LargeBillsAcrossTheWholePriorityRange) {
  std::vector<LineItem> bill;
  for (int32_t i = 0; i < 30000; ++i) {
    bill.push_back(line(i, static_cast<int16_t>(-32768 + (i * 7919) % 65536), "0.009"));
  }
  bill.push_back(line(-1, -32768, "1.00"));
  auto result = funcs::get_totals(bill, 2);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->total.to_string(), "1.00");  // 30000 tiers, all but one cut to 0.00

  for (auto& l : bill) l.priority = static_cast<int16_t>(l.id % 3);  // tiers -1, 0, 1, 2
  result = funcs::get_totals(bill, 2);
  ASSERT_TRUE(result.ok());
  // 1.00 + 3 * 90.00: 27000 quanta, all handed to the one line above zero.
  EXPECT_EQ(result->total.to_string(), "271.00");
  EXPECT_EQ(result->subtotals.back().second.to_string(), "271.00");
}

int sign(int x) {
  return (x > 0) - (x < 0);
}

// Computed bills: the subtotals add up to the total exactly, no line takes a
// quantum against its own sign or the sign of the others, and the result is repeatable.
TEST(GetTotals, RandomBillsAddUp) {
  std::mt19937 rng(20240611);
  const char* percentages[] = {"0", "0", "0", "10", "-5", "12.5", "33.3"};
  int checked = 0;
  for (int round = 0; round < 400; ++round) {
    const uint32_t q = static_cast<uint32_t>(rng() % 5);
    std::vector<LineItem> bill;
    for (int i = 0, n = 1 + static_cast<int>(rng() % 40); i < n; ++i) {
      const int64_t units = static_cast<int64_t>(rng() % 2000001) - 1000000;
      const std::string amount = Decimal::make(units, static_cast<uint32_t>(rng() % 5)).to_string();
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
    for (const auto& [l, amount] : result->subtotals) {
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
    EXPECT_EQ(texts(funcs::get_totals(bill, q).value()), texts(*result));
  }
  EXPECT_GT(checked, 300);
}

// clang-format off
data::Pricing pricing() {
  data::ServicePlan basic{1, "Basic", false, "5", 1, false, false, "0.75", "4"};
  data::ServicePlan pro{2, "Pro", true, "0", 1, false, false, "0.75", "4"};
  data::ServicePlan shadow = basic;  // a later plan of the same name is never used
  shadow.shield_static_price = "99";
  // The payout percentage is copied and never parsed.
  return data::Pricing{{basic, pro, shadow}, "1", "10", "1.50", "8.875", "2.9", "0.50", "1.0",
                       "Basic", "2.9", "0.30", "1", "2.00", "0.25", "abc"};
}
// clang-format on

std::vector<int32_t> ids(const std::vector<LineItem>& lines) {
  std::vector<int32_t> out;
  for (const auto& l : lines) out.push_back(l.id);
  return out;
}

TEST(TipFeeLines, LinesAndFailures) {
  data::TipLinesContext context{pricing(), false, 2};
  context.pricing->international_conversion_percentage = "not read";
  auto local = funcs::tip_fee_lines(context).value();
  EXPECT_EQ(ids(local), (std::vector<int32_t>{-1, -7, -9}));
  EXPECT_EQ(local[0].kind, LineType::Processing);
  EXPECT_EQ(local[0].amount + " " + local[0].percentage, "0.50 2.9");
  EXPECT_FALSE(local[1].back_into_percentage);
  EXPECT_EQ(local[2].percentage, "abc");

  context.pricing->international_conversion_percentage = "1.0";
  context.international = true;
  auto abroad = funcs::tip_fee_lines(context).value();
  EXPECT_EQ(ids(abroad), (std::vector<int32_t>{-1, -7, -9, -8}));
  EXPECT_EQ(abroad[0].percentage, "3.9");
  EXPECT_EQ(abroad[3].amount + " " + abroad[3].percentage, "0 1");

  context.pricing->international_conversion_percentage = "x";
  EXPECT_EQ(funcs::tip_fee_lines(context).error().message, "Invalid decimal: unknown character");
  context.pricing->processing_percentage = "";
  EXPECT_EQ(funcs::tip_fee_lines(context).error().message, "Invalid decimal: empty");
  context.pricing.reset();
  EXPECT_EQ(funcs::tip_fee_lines(context).error().message, "Pricing not specified.");
}

data::DeliverableLinesContext purchase(std::string base_price, bool table, bool escrow,
                                       bool international, std::string plan = "Basic",
                                       std::vector<LineItem> extra = {}) {
  return {std::move(base_price), table,     escrow, international, std::move(extra),
          std::move(plan),       pricing(), 77,     false,         2};
}

TEST(DeliverableLines, Branches) {
  LineItem discount = line(7, 0, "-20.00");
  discount.kind = LineType::AddOn;
  LineItem own_base = line(5, 0, "3.00");
  own_base.kind = LineType::BasePrice;
  const std::pair<data::DeliverableLinesContext, std::vector<int32_t>> cases[] = {
      {purchase("0", false, false, false), {-1, -6}},
      {purchase("0", false, false, false, "Pro"), {-1}},  // no tracking price
      {purchase("0.00", false, true, false), {-1, -6}},
      {purchase("10.00", false, false, true), {-1, -6}},
      {purchase("10.00", false, true, false), {-1, -5, -7, -9, -10}},
      {purchase("10.00", true, true, true, "Pro"), {-1, -3, -4, -7, -9, -8}},
      {purchase("0", true, false, true), {-1, -3, -4}},
      {purchase("10.00", false, true, false, "Basic", {discount}), {-1, -6, 7}},
      {purchase("1", false, true, false, "Basic", {own_base}), {-5, -7, -9, -10, 5}},
  };
  for (const auto& [context, expected] : cases) {
    auto result = funcs::deliverable_lines(context);
    ASSERT_TRUE(result.ok()) << result.error().message;
    EXPECT_EQ(ids(*result), expected) << context.base_price;
    if (!context.extra_lines.empty()) {
      EXPECT_EQ(result->back(), context.extra_lines.back());
    }
  }

  auto escrow = funcs::deliverable_lines(purchase("10.00", false, true, true)).value();
  EXPECT_EQ(escrow[0].amount, "10.00");
  EXPECT_EQ(escrow[0].destination_user_id, std::optional<int64_t>(77));
  EXPECT_EQ(escrow[0].category, data::Category::EscrowHold);
  EXPECT_EQ(escrow[1].amount + " " + escrow[1].percentage, "0.75 5.0");  // first Basic; 4 + 1.0
  EXPECT_TRUE(escrow[2].back_into_percentage);
}

TEST(DeliverableLines, SoftAndHardFailures) {
  using Context = data::DeliverableLinesContext;
  const struct {
    std::function<void(Context&)> change;
    const char* message;
    bool soft_gives_empty;
  } cases[] = {
      {[](Context& c) { c.plan_name.reset(), c.pricing.reset(); }, "No plan name specified.", true},
      {[](Context& c) { c.pricing.reset(); }, "Pricing specification not provided.", true},
      {[](Context& c) { c.plan_name = std::string("basic"); }, "Could not find basic in plan list.",
       true},
      // a name that sorts before every plan's: found by equality alone
      {[](Context& c) { c.plan_name = std::string("Aa"); }, "Could not find Aa in plan list.", true},
      {[](Context& c) { c.base_price = "abc"; }, "Invalid decimal: unknown character", true},
      {[](Context& c) { c.pricing->plans[0].per_deliverable_price = "1.2.3"; },
       "Invalid decimal: two decimal points", false},
      {[](Context& c) { c.extra_lines.push_back(line(9, 0, "")); }, "Invalid decimal: empty",
       false},
      {[](Context& c) { c.pricing->plans[0].shield_percentage_price = "4 %"; },
       "Invalid decimal: unknown character", false},
      {[](Context& c) { c.pricing->international_conversion_percentage = ""; },
       "Invalid decimal: empty", false},
  };
  for (const auto& c : cases) {
    for (const bool soft : {false, true}) {
      auto context = purchase("10.00", false, true, true);
      context.allow_soft_failure = soft;
      c.change(context);
      auto result = funcs::deliverable_lines(context);
      if (soft && c.soft_gives_empty) {
        EXPECT_TRUE(result.ok() && result->empty()) << c.message;
      } else {
        EXPECT_EQ(result.ok() ? "(lines)" : result.error().message, c.message) << soft;
      }
    }
  }
  // The shield percentages are parsed only on the shield path.
  auto tracked = purchase("0", false, true, true);
  tracked.pricing->plans[0].shield_percentage_price = "x";
  EXPECT_TRUE(funcs::deliverable_lines(tracked).ok());

  auto beyond = purchase("10.00", false, false, false);
  beyond.quantization = 29;
  beyond.allow_soft_failure = true;
  EXPECT_EQ(panic_text([&] { (void)funcs::deliverable_lines(beyond); }), kScale29);
}

}  // namespace
