// Parsing of arbitrary bytes, checked against the grammar read directly from the text, and
// the text round trip: a parsed value formats to a text that parses to the same value with
// the same scale.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "decimal.hpp"
#include "exact.hpp"

namespace {

using exact::Big;
using tallyforge::Decimal;

struct Expected {
  std::string_view error;  // empty when the text is a number
  Big coefficient;
  uint32_t scale = 0;
  bool negative = false;
};

// The grammar: [sign] then digits, at most one point, and underscores after a digit; the
// first problem met decides; nothing may follow the 28th place; the coefficient stays below
// 2^96.
Expected expected(std::string_view text) {
  Expected e;
  if (text.empty()) return {"Invalid decimal: empty"};
  size_t i = 0;
  if (text[0] == '+' || text[0] == '-') {
    e.negative = text[0] == '-';
    i = 1;
  }
  bool point = false, digit = false;
  const Big ten = Big::of(10);
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (e.scale == 28) return {"Number has a high precision that can not be represented."};
    if (c >= '0' && c <= '9') {
      e.coefficient = exact::add(exact::mul(e.coefficient, ten), Big::of(static_cast<unsigned>(c - '0')));
      if (exact::cmp(e.coefficient, exact::limit()) >= 0) {
        return {point ? "Number has a high precision that can not be represented."
                      : "Invalid decimal: overflow from too many digits"};
      }
      digit = true;
      e.scale += point;
    } else if (c == '.') {
      if (point) return {"Invalid decimal: two decimal points"};
      point = true;
    } else if (c == '_') {
      if (!digit) return {"Invalid decimal: must start lead with a number"};
    } else {
      return {"Invalid decimal: unknown character"};
    }
  }
  if (!digit) return {"Invalid decimal: no digits found"};
  e.negative = e.negative && !e.coefficient.zero();
  return e;
}

// Text form: optional "-", at least one integer digit, and exactly `scale` digits after a
// point when the scale is above zero.
bool well_formed(const std::string& s, const Decimal& d) {
  size_t i = d.is_negative() ? 1 : 0;
  if (d.is_negative() != (!s.empty() && s[0] == '-')) return false;
  const size_t point = s.find('.');
  const size_t int_end = point == std::string::npos ? s.size() : point;
  if (int_end <= i) return false;
  if (int_end - i > 1 && s[i] == '0') return false;  // no leading zeros
  if (d.scale() == 0) return point == std::string::npos;
  return point != std::string::npos && s.size() - point - 1 == d.scale();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = Decimal::from_str_exact(text);
  const Expected want = expected(text);
  const std::string quoted = "'" + std::string(text) + "'";
  if (!parsed) {
    if (parsed.error().message != want.error) {
      exact::fail("wrong parse error", quoted + ": " + std::string(parsed.error().message));
    }
    return 0;
  }
  const Decimal d = parsed.value();
  if (!want.error.empty()) exact::fail("parsed an invalid text", quoted + " -> " + exact::show(d));
  if (exact::cmp(Big::of(d.coefficient()), want.coefficient) != 0 || d.scale() != want.scale ||
      d.is_negative() != want.negative) {
    exact::fail("wrong value", quoted + " -> " + exact::show(d));
  }
  const std::string out = d.to_string();
  if (!well_formed(out, d)) exact::fail("malformed text", quoted + " -> " + out);
  const auto again = Decimal::from_str_exact(out);
  if (!again || !again->same_repr(d)) exact::fail("text does not round-trip", quoted + " -> " + out);
  return 0;
}
