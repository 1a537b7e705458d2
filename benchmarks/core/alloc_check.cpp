// Counts the heap allocations of each Decimal operation over many calls on
// varied operands, by replacing the global allocation functions. Prints one
// JSON object: operation name to allocations per call. Every operation must
// make none; the text form as a std::string is listed apart, since a text
// longer than the string's inline buffer is the one allocation it may make.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "decimal.hpp"
#include "funcs.hpp"

namespace {
std::atomic<long> allocations{0};
}

void* operator new(std::size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using tallyforge::Decimal;

template <class F>
double per_call(long calls, F&& f) {
  const long before = allocations.load();
  for (long i = 0; i < calls; ++i) f(i);
  return static_cast<double>(allocations.load() - before) / static_cast<double>(calls);
}

}  // namespace

int main() {
  constexpr size_t kN = 4096;
  std::mt19937_64 rng(7);
  std::vector<std::string> texts;
  std::vector<Decimal> money, rates, long28;
  texts.reserve(kN);
  for (size_t i = 0; i < kN; ++i) {
    const uint64_t cents = 1 + rng() % 999999999;
    texts.push_back((i % 3 == 0 ? "-" : "") + std::to_string(cents / 100) + "." +
                    std::to_string(100 + cents % 100).substr(1));
  }
  for (size_t i = 0; i < kN; ++i) {
    money.push_back(Decimal::from_str_exact(texts[i]).value());
    rates.push_back(Decimal::from_parts(static_cast<uint32_t>(1 + rng() % 2999), 0, 0, 4, false));
    const Decimal c = Decimal::from_coefficient(
        ((static_cast<Decimal::Coefficient>(rng()) << 64) | rng()) >> 35, 28, false);
    long28.push_back(c);
  }
  const Decimal seven = Decimal::make(7, 0);
  const Decimal eight = Decimal::make(8, 0);
  const long calls = 200000;
  volatile int sink = 0;
  char buf[Decimal::kTextBufferSize];
  auto at = [&](const std::vector<Decimal>& v, long i) { return v[static_cast<size_t>(i) % kN]; };

  struct Row {
    const char* name;
    double value;
  };
  const Row rows[] = {
      {"parse", per_call(calls, [&](long i) {
         sink = sink + Decimal::from_str_exact(texts[static_cast<size_t>(i) % kN]).ok();
       })},
      {"add", per_call(calls, [&](long i) { sink = sink + (at(money, i) + at(money, i + 1)).is_zero(); })},
      {"sub", per_call(calls, [&](long i) { sink = sink + (at(money, i) - at(money, i + 1)).is_zero(); })},
      {"multiply exact", per_call(calls, [&](long i) { sink = sink + (at(money, i) * at(rates, i)).is_zero(); })},
      {"multiply rounding", per_call(calls, [&](long i) { sink = sink + (at(long28, i) * at(money, i)).is_zero(); })},
      {"divide exact", per_call(calls, [&](long i) { sink = sink + ((at(money, i) * eight) / eight).is_zero(); })},
      {"divide non-terminating", per_call(calls, [&](long i) { sink = sink + (at(money, i) / seven).is_zero(); })},
      {"compare", per_call(calls, [&](long i) { sink = sink + at(money, i).cmp(at(money, i + 3)); })},
      {"quantize", per_call(calls, [&](long i) { sink = sink + funcs::quantize(at(long28, i), 2).is_zero(); })},
      {"text form (to_chars)", per_call(calls, [&](long i) { sink = sink + static_cast<int>(at(long28, i).to_chars(buf)); })},
      {"text form (std::string, money)", per_call(calls, [&](long i) { sink = sink + static_cast<int>(at(money, i).to_string().size()); })},
      {"text form (std::string, 29 digits)", per_call(calls, [&](long i) { sink = sink + static_cast<int>(at(long28, i).to_string().size()); })},
  };
  std::printf("{");
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    std::printf("%s\"%s\": %.4f", i ? ", " : "", rows[i].name, rows[i].value);
  }
  std::printf("}\n");
  return 0;
}
