// Result values and the fatal path shared by the core.
//
// The core never raises for bad input: it returns a Result holding either the
// value or an error value with a message. Arithmetic failures (overflow,
// division by zero, an unusable scale) are different: they abandon the whole
// computation by throwing Panic, which only the module boundary catches.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace tallyforge {

// Fatal failure of the arithmetic. Carries a fixed, human-readable message.
class Panic final : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Throws Panic. Kept out of line and cold so hot callers carry no formatting.
[[noreturn]] void panic(std::string message);

// Either a value of T or an error value of E. A minimal stand-in for
// std::expected, which the C++20 library does not have.
template <class T, class E>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<T, E>, "value and error types must differ");

 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return *std::get_if<0>(&v_); }
  const T& value() const& { return *std::get_if<0>(&v_); }
  T&& value() && { return std::move(*std::get_if<0>(&v_)); }
  E& error() & { return *std::get_if<1>(&v_); }
  const E& error() const& { return *std::get_if<1>(&v_); }
  E&& error() && { return std::move(*std::get_if<1>(&v_)); }

  T* operator->() { return std::get_if<0>(&v_); }
  const T* operator->() const { return std::get_if<0>(&v_); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

 private:
  std::variant<T, E> v_;
};

}  // namespace tallyforge
