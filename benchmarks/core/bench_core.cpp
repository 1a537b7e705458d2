// The Decimal core against libmpdec at 28 significant digits, operation by
// operation, on money-shaped operands. Each benchmark walks an array of 1024
// prepared operands so that nothing is constant-folded and branch predictors
// see realistic variety. libmpdec works in a context of precision 28, rounding
// half to even; its results go into mpd_t values allocated once, so neither
// side pays for allocation except where its text form must.
#include <benchmark/benchmark.h>
#include <mpdecimal.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "decimal.hpp"
#include "funcs.hpp"

namespace {

using tallyforge::Decimal;

constexpr size_t kN = 1024;

// The operand texts of each family, generated once with a fixed seed.
struct Texts {
  std::vector<std::string> money;      // 0.01 to 99999.99, some negative
  std::vector<std::string> rates;      // percentages as fractions: 0.0001 to 0.2999
  std::vector<std::string> divisors;   // small whole numbers 2 to 97
  std::vector<std::string> places4;    // four places, for cutting to two
  std::vector<std::string> long28;     // 28 places, 29 digits: quotients of the fee formula
};

const Texts& texts() {
  static const Texts t = [] {
    Texts t;
    std::mt19937_64 rng(12345);
    for (size_t i = 0; i < kN; ++i) {
      const uint64_t cents = 1 + rng() % 9999999;
      std::string m = std::to_string(cents / 100) + "." + std::to_string(100 + cents % 100).substr(1);
      if (i % 5 == 0) m = "-" + m;
      t.money.push_back(m);
      t.rates.push_back("0." + std::to_string(10000 + 1 + rng() % 2999).substr(1));
      t.divisors.push_back(std::to_string(2 + rng() % 96));
      const uint64_t small = 1 + rng() % 99999999;
      t.places4.push_back(std::to_string(small / 10000) + "." +
                          std::to_string(10000 + small % 10000).substr(1));
      std::string digits;
      for (int k = 0; k < 28; ++k) digits.push_back(static_cast<char>('0' + rng() % 10));
      t.long28.push_back(std::to_string(1 + rng() % 6) + "." + digits);  // below 2^96
    }
    return t;
  }();
  return t;
}

std::vector<Decimal> ours(const std::vector<std::string>& in) {
  std::vector<Decimal> out;
  for (const auto& s : in) out.push_back(Decimal::from_str_exact(s).value());
  return out;
}

struct Context {
  mpd_context_t ctx;
  mpd_context_t down;
  Context() {
    mpd_init(&ctx, 28);
    ctx.round = MPD_ROUND_HALF_EVEN;
    ctx.traps = 0;
    down = ctx;
    down.round = MPD_ROUND_DOWN;
  }
};
const Context& mpd() {
  static const Context c;
  return c;
}

// libmpdec values that own their storage; released at exit with the process.
std::vector<mpd_t*> theirs(const std::vector<std::string>& in) {
  std::vector<mpd_t*> out;
  for (const auto& s : in) {
    mpd_t* d = mpd_qnew();
    uint32_t status = 0;
    mpd_qset_string(d, s.c_str(), &mpd().ctx, &status);
    out.push_back(d);
  }
  return out;
}

// ---------------------------------------------------------------------------

void Parse_tallyforge(benchmark::State& state) {
  const auto& in = texts().money;
  size_t i = 0;
  for (auto _ : state) {
    auto r = Decimal::from_str_exact(in[i++ % kN]);
    benchmark::DoNotOptimize(r);
  }
}
void Parse_libmpdec(benchmark::State& state) {
  const auto& in = texts().money;
  mpd_t* r = mpd_qnew();
  size_t i = 0;
  for (auto _ : state) {
    uint32_t status = 0;
    mpd_qset_string(r, in[i++ % kN].c_str(), &mpd().ctx, &status);
    benchmark::DoNotOptimize(r);
  }
  mpd_del(r);
}

void Text_tallyforge(benchmark::State& state) {
  const auto in = ours(state.range(0) == 0 ? texts().money : texts().long28);
  size_t i = 0;
  for (auto _ : state) {
    std::string s = in[i++ % kN].to_string();
    benchmark::DoNotOptimize(s);
  }
}
// The text into a caller's buffer, where the core offers it (the boundary can
// then make the Python string straight from it).
template <class D>
concept WritesChars = requires(const D& d, char* p) { d.to_chars(p); };

template <class D>
void TextChars_tallyforge(benchmark::State& state) {
  if constexpr (WritesChars<D>) {
    const auto in = ours(state.range(0) == 0 ? texts().money : texts().long28);
    char buf[64];
    size_t i = 0;
    for (auto _ : state) {
      const D& d = in[i++ % kN];  // dependent, so a build without to_chars compiles
      size_t n = d.to_chars(buf);
      benchmark::DoNotOptimize(n);
      benchmark::DoNotOptimize(buf);
    }
  } else {
    state.SkipWithError("no to_chars in this build");
  }
}

void Text_libmpdec(benchmark::State& state) {
  const auto in = theirs(state.range(0) == 0 ? texts().money : texts().long28);
  size_t i = 0;
  for (auto _ : state) {
    char* s = mpd_to_sci(in[i++ % kN], 0);
    benchmark::DoNotOptimize(s);
    mpd_free(s);
  }
}

// a op b over the two operand families, in both implementations.
template <class Ours>
void binary_ours(benchmark::State& state, const std::vector<std::string>& a,
                 const std::vector<std::string>& b, Ours op) {
  const auto x = ours(a);
  const auto y = ours(b);
  size_t i = 0;
  for (auto _ : state) {
    const size_t k = i++ % kN;
    auto r = op(x[k], y[(k * 7) % kN]);
    benchmark::DoNotOptimize(r);
  }
}
template <class Theirs>
void binary_theirs(benchmark::State& state, const std::vector<std::string>& a,
                   const std::vector<std::string>& b, Theirs op) {
  const auto x = theirs(a);
  const auto y = theirs(b);
  mpd_t* r = mpd_qnew();
  size_t i = 0;
  for (auto _ : state) {
    const size_t k = i++ % kN;
    uint32_t status = 0;
    op(r, x[k], y[(k * 7) % kN], &status);
    benchmark::DoNotOptimize(r);
  }
  mpd_del(r);
}

#define PAIR(NAME, A, B, OURS, THEIRS)                                                   \
  void NAME##_tallyforge(benchmark::State& state) {                                     \
    binary_ours(state, texts().A, texts().B, OURS);                                      \
  }                                                                                      \
  void NAME##_libmpdec(benchmark::State& state) {                                       \
    binary_theirs(state, texts().A, texts().B, THEIRS);                                  \
  }                                                                                      \
  BENCHMARK(NAME##_tallyforge);                                                          \
  BENCHMARK(NAME##_libmpdec);

const auto kAdd = [](const Decimal& a, const Decimal& b) { return a + b; };
const auto kMul = [](const Decimal& a, const Decimal& b) { return a * b; };
const auto kDiv = [](const Decimal& a, const Decimal& b) { return a / b; };
const auto kCmp = [](const Decimal& a, const Decimal& b) { return a.cmp(b); };
const auto kQuantize = [](const Decimal& a, const Decimal&) { return funcs::quantize(a, 2); };

const auto mAdd = [](mpd_t* r, const mpd_t* a, const mpd_t* b, uint32_t* st) {
  mpd_qadd(r, a, b, &mpd().ctx, st);
};
const auto mMul = [](mpd_t* r, const mpd_t* a, const mpd_t* b, uint32_t* st) {
  mpd_qmul(r, a, b, &mpd().ctx, st);
};
const auto mDiv = [](mpd_t* r, const mpd_t* a, const mpd_t* b, uint32_t* st) {
  mpd_qdiv(r, a, b, &mpd().ctx, st);
};
const auto mCmp = [](mpd_t* r, const mpd_t* a, const mpd_t* b, uint32_t* st) {
  benchmark::DoNotOptimize(mpd_qcmp(a, b, st));
  (void)r;
};
mpd_t* two_places() {
  static mpd_t* t = [] {
    mpd_t* d = mpd_qnew();
    uint32_t status = 0;
    mpd_qset_string(d, "0.01", &mpd().ctx, &status);
    return d;
  }();
  return t;
}
const auto mQuantize = [](mpd_t* r, const mpd_t* a, const mpd_t*, uint32_t* st) {
  mpd_qquantize(r, a, two_places(), &mpd().down, st);
};

// Money plus money; money times a rate (exact); a 28-place quotient times money,
// which must round; money over a small whole number that divides it exactly
// (the operands are made so) and one that does not.
PAIR(Add, money, money, kAdd, mAdd)
PAIR(MulExact, money, rates, kMul, mMul)
PAIR(MulRounding, long28, money, kMul, mMul)
PAIR(DivNonTerminating, money, divisors, kDiv, mDiv)
PAIR(Compare, money, money, kCmp, mCmp)
PAIR(Quantize, places4, places4, kQuantize, mQuantize)

// Exact division: each dividend is its divisor times a money amount.
std::vector<std::string> exact_dividends() {
  std::vector<std::string> out;
  const auto& m = texts().money;
  const auto& d = texts().divisors;
  for (size_t k = 0; k < kN; ++k) {
    const Decimal p = Decimal::from_str_exact(m[k]).value() *
                      Decimal::from_str_exact(d[(k * 7) % kN]).value();
    out.push_back(p.to_string());
  }
  return out;
}
void DivExact_tallyforge(benchmark::State& state) {
  static const auto a = exact_dividends();
  binary_ours(state, a, texts().divisors, kDiv);
}
void DivExact_libmpdec(benchmark::State& state) {
  static const auto a = exact_dividends();
  binary_theirs(state, a, texts().divisors, mDiv);
}
BENCHMARK(DivExact_tallyforge);
BENCHMARK(DivExact_libmpdec);

BENCHMARK(Parse_tallyforge);
BENCHMARK(Parse_libmpdec);
// Argument 0: money amounts; 1: 28-place values of 29 digits.
BENCHMARK(Text_tallyforge)->Arg(0)->Arg(1);
BENCHMARK(Text_libmpdec)->Arg(0)->Arg(1);
BENCHMARK(TextChars_tallyforge<Decimal>)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
