// Division of an amount into shares: the shares add up exactly to the amount, are cut to the
// quantization, differ by at most one quantum with the larger ones first; or the call ends
// with one of its own messages.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "exact.hpp"
#include "funcs.hpp"
#include "input.hpp"

namespace {

using exact::Value;
using tallyforge::Decimal;
using tallyforge::Panic;

const std::set<std::string> kErrors = {
    FUZZ_PARSE_ERRORS,
    "Amount is improperly quantized. Cannot divide.", "Cannot divide by zero.",
    "Amount cannot be divided into shares at this quantization.",
};
const std::set<std::string> kPanics = {"Addition overflowed", "Subtraction overflowed",
                                       "Multiplication overflowed", "Division overflowed"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzin::Input in{data, data + size};
  const uint8_t lo = in.byte(), hi = in.byte();
  // Mostly small divisors, sometimes up to 4095: a large one costs a list of that many
  // shares (the Python tests split into the largest divisor, 65535).
  const uint16_t divisor = static_cast<uint16_t>((hi & 0x80u) ? (lo | hi << 8) % 4096u : lo % 64u);
  const uint32_t q = in.byte() % 31u;
  const std::string amount = in.amount();
  const std::string what = "'" + amount + "' / " + std::to_string(divisor) + " at " + std::to_string(q);

  tallyforge::Result<std::vector<std::string>, data::TabulationError> result =
      data::TabulationError{};
  try {
    result = funcs::divide_amount(amount, divisor, q);
  } catch (const Panic& p) {
    const std::string scale = "Scale exceeds the maximum precision allowed: " + std::to_string(q) + " > 28";
    // The share is computed before the quantum, so an arithmetic failure may come first.
    if (kPanics.count(p.message()) == 0 && (q <= 28 || p.message() != scale)) {
      exact::fail("unexpected panic", what + ": " + p.message());
    }
    return 0;
  }
  if (!result) {
    if (kErrors.count(result.error().message) == 0) exact::fail("unexpected error", what + ": " + result.error().message);
    return 0;
  }
  const std::vector<std::string>& shares = result.value();
  if (q > 28) exact::fail("no panic for a quantization above 28", what);
  if (shares.size() != divisor) exact::fail("wrong number of shares", what);
  const auto parsed_amount = Decimal::from_str_exact(amount);
  if (!parsed_amount) exact::fail("an unparsable amount was divided", what);
  // At most two values one quantum apart, the shares that carry the extra quanta first (at
  // 28 places the quotient may be rounded away from zero, and the extra quanta then bring
  // the front shares toward zero).
  Value sum, first, last;
  size_t changes = 0;
  for (size_t i = 0; i < shares.size(); ++i) {
    const auto share = Decimal::from_str_exact(shares[i]);
    if (!share) exact::fail("share is not a decimal text", what + ": " + shares[i]);
    if (share->scale() > q) exact::fail("share not cut to the quantization", what + ": " + shares[i]);
    const Value v = Value::of(*share);
    if (i == 0) first = v;
    if (i > 0 && !exact::same(v, last)) ++changes;
    sum = exact::add(sum, v);
    last = v;
  }
  const Value gap = exact::add(first, exact::negate(last));
  const Value quantum{exact::Big::of(1), false, q};
  if (changes > 1 || exact::cmp(Value{gap.magnitude, false, gap.scale}, quantum) > 0) {
    exact::fail("shares uneven or extra quanta not in front", what);
  }
  if (!exact::same(sum, Value::of(*parsed_amount))) exact::fail("shares do not add up to the amount", what);
  return 0;
}
