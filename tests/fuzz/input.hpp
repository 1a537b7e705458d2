// Reading fuzz input: bytes become small numbers, decimals and texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "decimal.hpp"

namespace fuzzin {

using tallyforge::Decimal;

struct Input {
  const uint8_t* p;
  const uint8_t* end;

  uint8_t byte() { return p == end ? 0 : *p++; }

  // A decimal: a header byte (coefficient length, sign, "near the limit"), a scale byte, the
  // coefficient's bytes little-endian.
  Decimal decimal() {
    const uint8_t head = byte();
    const uint32_t scale = byte() % 29u;
    const size_t len = (head & 0x0Fu) % 13u;
    Decimal::Coefficient c = 0;
    for (size_t i = 0; i < len; ++i) c |= static_cast<Decimal::Coefficient>(byte()) << (8 * i);
    if (head & 0x20u) c = ((static_cast<Decimal::Coefficient>(1) << 96) - 1) - c;
    return Decimal::from_coefficient(c, scale, (head & 0x10u) != 0);
  }

  // Raw bytes of a length given by the next byte (at most 40).
  std::string text() {
    std::string s;
    for (size_t n = byte() % 41u; n > 0 && p != end; --n) s.push_back(static_cast<char>(byte()));
    return s;
  }

  // Mostly the text of a well-formed decimal, sometimes raw bytes.
  std::string amount() { return byte() % 8u == 0 ? text() : decimal().to_string(); }
};

// The messages of a failed parse, which every computation passes on as they are.
#define FUZZ_PARSE_ERRORS                                                                     \
  "Invalid decimal: empty", "Invalid decimal: two decimal points",                             \
      "Invalid decimal: must start lead with a number", "Invalid decimal: unknown character", \
      "Invalid decimal: no digits found", "Invalid decimal: overflow from too many digits",   \
      "Number has a high precision that can not be represented."

}  // namespace fuzzin
