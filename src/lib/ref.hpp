// Owning handle to a Python object. The only place that releases references:
// boundary code holds every new reference in a Ref and hands it to the
// interpreter with release().
#pragma once

#include <Python.h>

#include <utility>

namespace lib {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) reset(std::exchange(other.p_, nullptr));
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (may be NULL, as returned by a failing call).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a new reference to an object owned elsewhere.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller; the handle becomes empty.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset(PyObject* p = nullptr) noexcept { Py_XDECREF(std::exchange(p_, p)); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace lib
