// The computations of the module and the operations at the grain of a
// quantization. They work on records alone and never touch Python: each
// returns its result or a TabulationError, and arithmetic failures throw Panic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/records.hpp"
#include "decimal.hpp"
#include "result.hpp"

namespace funcs {

using data::LineItem;
using data::TabulationError;
using tallyforge::Decimal;
using tallyforge::Result;

// One unit at place q (0.01 for q = 2). Panics for q above 28.
Decimal quantum(uint32_t q);
// Zero at scale q (0.00 for q = 2). Panics for q above 28.
Decimal quantized_zero(uint32_t q);
// The value cut toward zero to at most q places; never pads, never fails.
Decimal quantize(const Decimal& value, uint32_t q) noexcept;
// Text form of quantize(value, q).
std::string value_string(const Decimal& value, uint32_t q);

// The shares of an amount split `count` ways: they take at most two values,
// the first `front` shares one quantum further from zero than the others.
struct Split {
  std::string front_text;  // text of each of the first `front` shares
  std::string rest_text;   // text of each of the others
  std::size_t front = 0;
  std::size_t count = 0;
};

// Splits an amount into `divisor` shares cut to q places that add up exactly
// to the amount; the extra quanta go to the front of the list.
Result<Split, TabulationError> split_amount(std::string_view source_amount, uint16_t divisor,
                                            uint32_t q);
// The same shares, one text per share.
Result<std::vector<std::string>, TabulationError> divide_amount(std::string_view source_amount,
                                                                uint16_t divisor, uint32_t q);

// The result of totalling a bill. `subtotals` holds each distinct line once,
// in the order in which the line first appeared in the input.
struct Totals {
  Decimal total;
  Decimal discount;
  std::vector<std::pair<LineItem, Decimal>> subtotals;
};

// The same result with each distinct line named by the input index of its first
// appearance, so that nothing is moved or copied out of `lines`.
struct Tabulation {
  Decimal total;
  Decimal discount;
  std::vector<std::size_t> first;  // per distinct line, in order of first appearance
  std::vector<Decimal> amounts;    // the final amount of each distinct line
};

Result<Tabulation, TabulationError> tabulate(const std::vector<LineItem>& lines, uint32_t q);
Result<Totals, TabulationError> get_totals(std::vector<LineItem> lines, uint32_t q);
Result<Decimal, TabulationError> reckon_lines(std::vector<LineItem> lines, uint32_t q);

Result<std::vector<LineItem>, TabulationError> tip_fee_lines(const data::TipLinesContext& context);
Result<std::vector<LineItem>, TabulationError> deliverable_lines(
    data::DeliverableLinesContext context);

}  // namespace funcs
