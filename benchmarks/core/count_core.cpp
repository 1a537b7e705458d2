// Instruction counts of the Decimal core against libmpdec: runs one operation
// of one implementation M times over 1024 prepared operands. run-core runs it
// under callgrind with M = 0 and M = 100 000 and takes the difference, which
// leaves the instructions of the operations and of the loop around them; a
// machine shared with other work changes times but not these counts.
//
//   count_core OPERATION IMPLEMENTATION M   (IMPLEMENTATION: tallyforge or libmpdec)
#include <mpdecimal.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decimal.hpp"
#include "funcs.hpp"

namespace {

using tallyforge::Decimal;
constexpr size_t kN = 1024;

struct Operands {
  std::vector<std::string> a, b;
};

// The operand families of bench_core.cpp, with the same shapes.
Operands operands(const std::string& op) {
  std::mt19937_64 rng(12345);
  Operands o;
  auto money = [&] {
    const uint64_t cents = 1 + rng() % 9999999;
    return std::string(rng() % 5 == 0 ? "-" : "") + std::to_string(cents / 100) + "." +
           std::to_string(100 + cents % 100).substr(1);
  };
  auto long28 = [&] {
    std::string digits;
    for (int k = 0; k < 28; ++k) digits.push_back(static_cast<char>('0' + rng() % 10));
    return std::to_string(1 + rng() % 6) + "." + digits;
  };
  for (size_t i = 0; i < kN; ++i) {
    if (op == "mul_exact") {
      o.a.push_back(money());
      o.b.push_back("0." + std::to_string(10000 + 1 + rng() % 2999).substr(1));
    } else if (op == "mul_rounding" || op == "text_long") {
      o.a.push_back(long28());
      o.b.push_back(money());
    } else if (op == "div_exact" || op == "div_nonterminating") {
      const std::string m = money();
      const std::string d = std::to_string(2 + rng() % 96);
      o.a.push_back(op == "div_exact" ? (Decimal::from_str_exact(m).value() *
                                         Decimal::from_str_exact(d).value())
                                            .to_string()
                                      : m);
      o.b.push_back(d);
    } else if (op == "quantize") {
      const uint64_t small = 1 + rng() % 99999999;
      o.a.push_back(std::to_string(small / 10000) + "." +
                    std::to_string(10000 + small % 10000).substr(1));
      o.b.push_back("0.01");
    } else {
      o.a.push_back(money());
      o.b.push_back(money());
    }
  }
  return o;
}

volatile uint64_t sink;

// The loop around each operation: the same for both implementations.
template <class F>
int repeat(long m, F f) {
  for (long i = 0; i < m; ++i) sink = sink + f(static_cast<size_t>(i) % kN);
  return 0;
}

int ours(const std::string& op, const Operands& o, long m) {
  static std::vector<Decimal> a, b;
  static std::vector<std::string> texts;
  texts = o.a;
  for (size_t i = 0; i < kN; ++i) {
    a.push_back(Decimal::from_str_exact(o.a[i]).value());
    b.push_back(Decimal::from_str_exact(o.b[i]).value());
  }
  static char buf[Decimal::kTextBufferSize];
  if (op == "parse") return repeat(m, [](size_t k) { return Decimal::from_str_exact(texts[k]).value().lo(); });
  if (op == "text" || op == "text_long") return repeat(m, [](size_t k) { return a[k].to_string().size(); });
  if (op == "text_chars") return repeat(m, [](size_t k) { return a[k].to_chars(buf); });
  if (op == "add") return repeat(m, [](size_t k) { return (a[k] + b[k]).lo(); });
  if (op == "mul_exact" || op == "mul_rounding") return repeat(m, [](size_t k) { return (a[k] * b[k]).lo(); });
  if (op == "div_exact" || op == "div_nonterminating") return repeat(m, [](size_t k) { return (a[k] / b[k]).lo(); });
  if (op == "compare") return repeat(m, [](size_t k) { return static_cast<uint32_t>(a[k].cmp(b[k]) + 1); });
  if (op == "quantize") return repeat(m, [](size_t k) { return funcs::quantize(a[k], 2).lo(); });
  return 2;
}

mpd_context_t ctx, down;
uint32_t status;
mpd_t* r;

int theirs(const std::string& op, const Operands& o, long m) {
  mpd_init(&ctx, 28);
  ctx.round = MPD_ROUND_HALF_EVEN;
  ctx.traps = 0;
  down = ctx;
  down.round = MPD_ROUND_DOWN;
  static std::vector<mpd_t*> a, b;
  static std::vector<std::string> texts;
  texts = o.a;
  for (size_t i = 0; i < kN; ++i) {
    a.push_back(mpd_qnew());
    b.push_back(mpd_qnew());
    mpd_qset_string(a.back(), o.a[i].c_str(), &ctx, &status);
    mpd_qset_string(b.back(), o.b[i].c_str(), &ctx, &status);
  }
  r = mpd_qnew();
  if (op == "parse") {
    return repeat(m, [](size_t k) { mpd_qset_string(r, texts[k].c_str(), &ctx, &status); return r->len; });
  }
  if (op == "text" || op == "text_long") {
    return repeat(m, [](size_t k) {
      char* s = mpd_to_sci(a[k], 0);
      const auto c = static_cast<unsigned char>(s[0]);
      mpd_free(s);
      return c;
    });
  }
  if (op == "add") return repeat(m, [](size_t k) { mpd_qadd(r, a[k], b[k], &ctx, &status); return r->len; });
  if (op == "mul_exact" || op == "mul_rounding") {
    return repeat(m, [](size_t k) { mpd_qmul(r, a[k], b[k], &ctx, &status); return r->len; });
  }
  if (op == "div_exact" || op == "div_nonterminating") {
    return repeat(m, [](size_t k) { mpd_qdiv(r, a[k], b[k], &ctx, &status); return r->len; });
  }
  if (op == "compare") return repeat(m, [](size_t k) { return mpd_qcmp(a[k], b[k], &status) + 1; });
  if (op == "quantize") {
    return repeat(m, [](size_t k) { mpd_qquantize(r, a[k], b[k], &down, &status); return r->len; });
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: count_core OPERATION tallyforge|libmpdec M\n");
    return 2;
  }
  const std::string op = argv[1];
  const Operands o = operands(op);
  const long m = std::atol(argv[3]);
  return std::strcmp(argv[2], "tallyforge") == 0 ? ours(op, o, m) : theirs(op, o, m);
}
