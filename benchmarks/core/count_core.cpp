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

int ours(const std::string& op, const Operands& o, long m) {
  std::vector<Decimal> a, b;
  for (size_t i = 0; i < kN; ++i) {
    a.push_back(Decimal::from_str_exact(o.a[i]).value());
    b.push_back(Decimal::from_str_exact(o.b[i]).value());
  }
  char buf[Decimal::kTextBufferSize];
  for (long i = 0; i < m; ++i) {
    const size_t k = static_cast<size_t>(i) % kN;
    if (op == "parse") {
      sink = sink + Decimal::from_str_exact(o.a[k]).value().lo();
    } else if (op == "text" || op == "text_long") {
      sink = sink + a[k].to_string().size();
    } else if (op == "text_chars") {
      sink = sink + a[k].to_chars(buf);
    } else if (op == "add") {
      sink = sink + (a[k] + b[k]).lo();
    } else if (op == "mul_exact" || op == "mul_rounding") {
      sink = sink + (a[k] * b[k]).lo();
    } else if (op == "div_exact" || op == "div_nonterminating") {
      sink = sink + (a[k] / b[k]).lo();
    } else if (op == "compare") {
      sink = sink + static_cast<uint64_t>(a[k].cmp(b[k]) + 1);
    } else if (op == "quantize") {
      sink = sink + funcs::quantize(a[k], 2).lo();
    } else {
      return 2;
    }
  }
  return 0;
}

int theirs(const std::string& op, const Operands& o, long m) {
  mpd_context_t ctx;
  mpd_init(&ctx, 28);
  ctx.round = MPD_ROUND_HALF_EVEN;
  ctx.traps = 0;
  mpd_context_t down = ctx;
  down.round = MPD_ROUND_DOWN;
  std::vector<mpd_t*> a, b;
  uint32_t status = 0;
  for (size_t i = 0; i < kN; ++i) {
    a.push_back(mpd_qnew());
    b.push_back(mpd_qnew());
    mpd_qset_string(a.back(), o.a[i].c_str(), &ctx, &status);
    mpd_qset_string(b.back(), o.b[i].c_str(), &ctx, &status);
  }
  mpd_t* r = mpd_qnew();
  for (long i = 0; i < m; ++i) {
    const size_t k = static_cast<size_t>(i) % kN;
    if (op == "parse") {
      mpd_qset_string(r, o.a[k].c_str(), &ctx, &status);
    } else if (op == "text" || op == "text_long" || op == "text_chars") {
      char* s = mpd_to_sci(a[k], 0);
      sink = sink + static_cast<uint64_t>(s[0]);
      mpd_free(s);
    } else if (op == "add") {
      mpd_qadd(r, a[k], b[k], &ctx, &status);
    } else if (op == "mul_exact" || op == "mul_rounding") {
      mpd_qmul(r, a[k], b[k], &ctx, &status);
    } else if (op == "div_exact" || op == "div_nonterminating") {
      mpd_qdiv(r, a[k], b[k], &ctx, &status);
    } else if (op == "compare") {
      sink = sink + static_cast<uint64_t>(mpd_qcmp(a[k], b[k], &status) + 1);
    } else if (op == "quantize") {
      mpd_qquantize(r, a[k], b[k], &down, &status);
    } else {
      return 2;
    }
  }
  return 0;
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
