#include "data/records.hpp"

#include <algorithm>
#include <functional>
#include <string>

namespace data {
namespace {

// Folds one field's hash into the running hash (the boost combiner, widened to
// 64 bits), so that the order of the fields matters.
void mix(std::size_t& seed, std::size_t h) noexcept {
  seed ^= h + static_cast<std::size_t>(0x9e3779b97f4a7c15ULL) + (seed << 6) + (seed >> 2);
}

// The integer hashes of the standard library may be the identity; spreading
// the bits keeps small ids and priorities from clustering in the buckets.
std::size_t spread(uint64_t x) noexcept {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return static_cast<std::size_t>(x);
}

std::size_t text_hash(const std::string& text) noexcept {
  return std::hash<std::string>{}(text);
}

}  // namespace

Excerpt Excerpt::of(std::string_view text) {
  // A code point starts at every byte that is not a continuation byte.
  const auto starts = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; };
  // No code point takes more than four bytes, so the head of any text fits in
  // that many, and a text that is not UTF-8 cannot make it longer.
  constexpr std::size_t kMaxBytes = 4 * kMaxChars;
  std::size_t end = 0;
  std::size_t chars = 0;
  for (; end < text.size() && end < kMaxBytes; ++end) {
    if (!starts(text[end])) continue;
    if (chars == kMaxChars) break;
    ++chars;
  }
  Excerpt excerpt{std::string(text.substr(0, end)), chars};
  // The rest is only counted, never copied.
  excerpt.length += static_cast<std::size_t>(std::count_if(text.begin() + end, text.end(), starts));
  return excerpt;
}

std::size_t LineItemHash::operator()(const LineItem& line) const noexcept {
  std::size_t seed = 0;
  mix(seed, spread(static_cast<uint32_t>(line.id)));
  mix(seed, spread(static_cast<uint16_t>(line.priority)));
  mix(seed, spread(static_cast<uint16_t>(line.kind)));
  mix(seed, text_hash(line.amount));
  mix(seed, text_hash(line.description));
  // An absent value and a present one hash apart even when the text is empty.
  mix(seed, spread(line.frozen_value.has_value() ? 1 : 0));
  if (line.frozen_value) mix(seed, text_hash(*line.frozen_value));
  mix(seed, text_hash(line.percentage));
  mix(seed, spread(static_cast<uint16_t>(line.category)));
  mix(seed, spread(line.destination_user_id.has_value() ? 1 : 0));
  if (line.destination_user_id) mix(seed, spread(static_cast<uint64_t>(*line.destination_user_id)));
  mix(seed, spread(static_cast<uint16_t>(line.destination_account)));
  mix(seed, spread(line.back_into_percentage ? 1 : 0));
  return seed;
}

}  // namespace data
