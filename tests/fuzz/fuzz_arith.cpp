// Addition, subtraction, multiplication, division and comparison of two decimals taken from
// the input, each checked against exact arithmetic: the result must be the exact value
// rounded half to even to the most places that fit (at most 28; a quotient may drop trailing
// zeros), and an overflow is reported only when not even the integer part fits.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "decimal.hpp"
#include "exact.hpp"
#include "input.hpp"

namespace {

using exact::Big;
using exact::Value;
using tallyforge::Decimal;
using tallyforge::Panic;

// v rounded half to even to the largest scale <= max_scale that fits in 96 bits.
std::optional<Value> fit(const Value& v, uint32_t max_scale) {
  for (uint32_t t = std::min(v.scale, max_scale) + 1; t-- > 0;) {
    const Big& unit = exact::pow10(v.scale - t);
    if (exact::rounds_past_limit(v.magnitude, unit)) continue;
    Big m = exact::div_round_even(v.magnitude, unit);
    const bool neg = v.negative && !m.zero();
    return Value{std::move(m), neg, t};
  }
  return std::nullopt;
}

// Runs op; an empty result means it panicked with `message`, any other panic fails.
template <class F>
std::optional<Decimal> run(F op, const char* message, const std::string& what) {
  try {
    return op();
  } catch (const Panic& p) {
    if (p.message() != message) exact::fail("unexpected panic message", what + ": " + p.message());
    return std::nullopt;
  }
}

// The result must have exactly the expected representation, or the operation must have
// overflowed exactly when nothing fits.
void expect_fit(const std::optional<Decimal>& got, const std::optional<Value>& want,
                const std::string& what) {
  if (!want) {
    if (got) exact::fail("no overflow although nothing fits", what + " = " + exact::show(*got));
    return;
  }
  if (!got) exact::fail("overflow although the result fits", what);
  const Value g = Value::of(*got);
  if (g.scale != want->scale || exact::cmp(g.magnitude, want->magnitude) != 0 ||
      g.negative != want->negative || (got->is_zero() && got->is_negative())) {
    exact::fail("wrong result", what + " = " + exact::show(*got));
  }
}

void check(const Decimal& a, const Decimal& b) {
  const std::string pair = exact::show(a) + ", " + exact::show(b);
  const Value va = Value::of(a), vb = Value::of(b);

  // Addition and subtraction: an operand of zero leaves the other unchanged.
  for (const bool minus : {false, true}) {
    const std::string what = (minus ? "sub " : "add ") + pair;
    const auto got = run([&] { return minus ? a.sub(b) : a.add(b); },
                         minus ? "Subtraction overflowed" : "Addition overflowed", what);
    const Decimal b_signed = minus ? b.neg() : b;
    if (a.is_zero() || b.is_zero()) {
      const Decimal& want = a.is_zero() ? b_signed : a;
      if (!got || !got->same_repr(want)) exact::fail("zero operand changed the other", what);
      continue;
    }
    const Value sum = exact::add(va, minus ? exact::negate(vb) : vb);
    expect_fit(got, fit(sum, sum.scale), what);
  }

  // Multiplication: a zero factor, or a product of two small coefficients beyond 47
  // places, gives the zero of scale 0.
  {
    const std::string what = "mul " + pair;
    const auto got = run([&] { return a.mul(b); }, "Multiplication overflowed", what);
    const bool tiny = (a.coefficient() >> 32) == 0 && (b.coefficient() >> 32) == 0 &&
                      a.scale() + b.scale() > 47;
    if (a.is_zero() || b.is_zero() || tiny) {
      if (!got || !got->same_repr(Decimal())) exact::fail("product is not the zero of scale 0", what);
    } else {
      const Value p{exact::mul(va.magnitude, vb.magnitude), a.is_negative() != b.is_negative(),
                    a.scale() + b.scale()};
      expect_fit(got, fit(p, Decimal::kMaxScale), what);
    }
  }

  // Division: the quotient rounded at the most places that fit, numerically; trailing zeros
  // may have been dropped.
  {
    const std::string what = "div " + pair;
    if (b.is_zero()) {
      if (run([&] { return a.div(b); }, "Division by zero", what)) exact::fail("no division by zero", what);
    } else {
      const auto got = run([&] { return a.div(b); }, "Division overflowed", what);
      std::optional<Value> want;
      const Big den = exact::mul(vb.magnitude, exact::pow10(a.scale()));
      for (uint32_t t = Decimal::kMaxScale + 1; t-- > 0 && !a.is_zero();) {
        const Big num = exact::mul(va.magnitude, exact::pow10(b.scale() + t));
        if (exact::rounds_past_limit(num, den)) continue;
        Big m = exact::div_round_even(num, den);
        const bool neg = a.is_negative() != b.is_negative() && !m.zero();
        want = Value{std::move(m), neg, t};
        break;
      }
      if (a.is_zero()) {
        if (!got || !got->same_repr(Decimal())) exact::fail("zero dividend", what);
      } else if (!want) {
        if (got) exact::fail("no overflow although nothing fits", what + " = " + exact::show(*got));
      } else if (!got) {
        exact::fail("overflow although the quotient fits", what);
      } else if (got->scale() > want->scale || !exact::same(Value::of(*got), *want) ||
                 (got->is_zero() && got->is_negative())) {
        exact::fail("wrong quotient", what + " = " + exact::show(*got));
      }
    }
  }

  // Comparison.
  const int want = exact::cmp(va, vb);
  const int got = a.cmp(b);
  if ((got > 0) != (want > 0) || (got < 0) != (want < 0)) exact::fail("wrong comparison", pair);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzin::Input in{data, data + size};
  const Decimal a = in.decimal();
  const Decimal b = in.decimal();
  check(a, b);
  return 0;
}
