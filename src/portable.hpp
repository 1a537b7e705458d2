// The compiler-specific pieces the code uses, under portable names: the
// 128-bit integers, counting leading zero bits, and the attribute that exports
// the module's entry point. A compiler that lacks one of them stops here with
// an error naming it, rather than deep in the arithmetic.
//
// The arithmetic works on integer values only (no byte-level view of a wider
// integer), so it does not depend on the byte order of the machine; the C++
// unit tests run on a big-endian target (s390x) to show it.
#pragma once

#include <cstdint>

#if !defined(__SIZEOF_INT128__)
#error "tallyforge needs a compiler with 128-bit integers (unsigned __int128 and __int128, as GCC and clang have them on 64-bit targets)"
#endif

#if !defined(__has_builtin)
#error "tallyforge needs __has_builtin to check for __builtin_clz and __builtin_clzll (GCC 10 or later, clang)"
#else
#if !__has_builtin(__builtin_clz) || !__has_builtin(__builtin_clzll)
#error "tallyforge needs __builtin_clz and __builtin_clzll (count leading zero bits)"
#endif
#endif

#if defined(__GNUC__) || defined(__clang__)
// Exported from the shared object even though everything else is built with
// hidden visibility.
#define TALLYFORGE_EXPORT __attribute__((visibility("default")))
#else
#error "tallyforge needs __attribute__((visibility(\"default\"))) to export the module's entry point (GCC, clang)"
#endif

namespace tallyforge {

// __extension__: the types are not standard C++, which -Wpedantic would note.
__extension__ typedef unsigned __int128 uint128;
__extension__ typedef __int128 int128;

static_assert(sizeof(uint128) == 16 && static_cast<uint128>(-1) >> 127 == 1,
              "unsigned __int128 is not a 128-bit unsigned integer");

// The number of leading zero bits of v, which must not be zero.
[[gnu::always_inline]] inline int leading_zeros(uint32_t v) noexcept { return __builtin_clz(v); }
[[gnu::always_inline]] inline int leading_zeros(uint64_t v) noexcept {
  static_assert(sizeof(unsigned long long) == sizeof(uint64_t));
  return __builtin_clzll(v);
}

}  // namespace tallyforge
