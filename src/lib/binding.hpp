// The conversion rules between Python objects and the core's values, the
// errors of argument binding and conversion, and the mapping of core
// outcomes onto Python exceptions. Every conversion returns false (or NULL)
// with a Python exception set on failure and never throws.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decimal.hpp"
#include "lib/ref.hpp"
#include "lib/state.hpp"
#include "result.hpp"

namespace lib {

// The text of a key.
const char* key_name(Key k) noexcept;

// ---- Errors -------------------------------------------------------------

// The exception being raised, taken over (an empty Ref when there is none).
inline Ref take_exception() noexcept { return Ref::steal(PyErr_GetRaisedException()); }
// Makes `cause` the __cause__ of the exception being raised now.
void chain_cause(Ref cause);

// Whether the exception being raised is an Exception. Anything else (a
// KeyboardInterrupt, SystemExit, PanicException) is never discarded or
// wrapped, so that an interrupt always reaches the caller as it was raised.
inline bool raising_ordinary_exception() noexcept {
  return PyErr_ExceptionMatches(PyExc_Exception) != 0;
}

// Adds a note (BaseException.add_note) to the exception being raised when it
// is an Exception other than MemoryError. If the note cannot be added, the
// exception stays as it was.
void add_note(const std::string& text);

// Where a conversion is within a call's arguments: a chain of nodes on the
// stack from the value being read out to its argument. Nothing is formatted
// unless a conversion fails; then the innermost place that knows the failure
// writes the path ("lines[3].amount") into the argument's node.
struct Path {
  const Path* parent = nullptr;
  const char* key = nullptr;  // a field or parameter name; nullptr for a list element
  std::size_t index = 0;      // the element's index when key is nullptr
  std::string* failure = nullptr;  // set in the argument's node only
  const State* interp = nullptr;   // set in the argument's node only

  // The objects of the calling interpreter, from the argument's node. Records
  // take it once each, not once per field.
  const State& state() const noexcept {
    const Path* root = this;
    while (root->parent != nullptr) root = root->parent;
    return *root->interp;
  }
};
// Records `at` as the place of the failure being raised, unless a deeper
// place was recorded already.
void mark_failure(const Path& at);

// TypeError "'{type}' object is not an instance of '{expected}'" (or the
// variant for None).
void raise_cast_error(PyObject* obj, const char* expected);
// Replaces the current exception by TypeError "failed to extract field
// {record}.{field}" whose __cause__ is the replaced exception.
void raise_field_error(const char* record, const char* field);
// Applies the argument rule to the current exception: an exception of exactly
// TypeError becomes TypeError "argument '{param}': {text}" keeping its cause.
void apply_argument_rule(const char* param);
// Raises PanicException with the given text (a generic text when empty).
void raise_panic(std::string_view message);
// Raises ValueError whose single argument is the message.
void raise_value_error(std::string_view message);

// Runs a boundary entry point: turns any escaping C++ exception into a
// Python exception (Panic and anything unknown into PanicException,
// std::bad_alloc into MemoryError) and makes sure that NULL comes back with
// an exception set and a result without one.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    Ref result = Ref::steal(body());
    if (result && !PyErr_Occurred()) return result.release();
    // NULL without an exception, or a result with one, is a broken invariant.
    if (!PyErr_Occurred() || result) raise_panic("result and error state disagree");
    return nullptr;
  } catch (const tallyforge::Panic& p) {
    raise_panic(p.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    raise_panic({});
  }
  return nullptr;
}

// ---- Scalar conversions ---------------------------------------------------

bool to_text(PyObject* obj, std::string& out);
bool to_bool(PyObject* obj, bool& out);
bool to_int(PyObject* obj, int16_t& out);
bool to_int(PyObject* obj, int32_t& out);
bool to_int(PyObject* obj, int64_t& out);
bool to_int(PyObject* obj, uint16_t& out);
bool to_int(PyObject* obj, uint32_t& out);

inline bool convert(PyObject* obj, std::string& out) { return to_text(obj, out); }
inline bool convert(PyObject* obj, bool& out) { return to_bool(obj, out); }
inline bool convert(PyObject* obj, int16_t& out) { return to_int(obj, out); }
inline bool convert(PyObject* obj, int32_t& out) { return to_int(obj, out); }
inline bool convert(PyObject* obj, int64_t& out) { return to_int(obj, out); }
inline bool convert(PyObject* obj, uint16_t& out) { return to_int(obj, out); }
inline bool convert(PyObject* obj, uint32_t& out) { return to_int(obj, out); }

// ---- Conversions without side effects --------------------------------------
//
// fast_convert reads a value only when it is of the exact type expected (an
// exact int in range, an exact str, True or False, None, a value object, an
// exact list, tuple or dict) and otherwise declines: it returns false with no
// exception set and nothing observable done. It never runs Python code, so a
// conversion that it accepts cannot let the caller's containers change under
// it, and it gives what the general conversion gives. Everything it declines
// takes the general conversion, which reports failures.

template <class T>
bool fast_int(PyObject* obj, T& out) noexcept {
  if (!PyLong_CheckExact(obj)) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow != 0 || v < static_cast<long long>(std::numeric_limits<T>::min()) ||
      v > static_cast<long long>(std::numeric_limits<T>::max())) {
    return false;
  }
  out = static_cast<T>(v);
  return true;
}

inline bool fast_convert(PyObject* obj, int16_t& out) noexcept { return fast_int(obj, out); }
inline bool fast_convert(PyObject* obj, int32_t& out) noexcept { return fast_int(obj, out); }
inline bool fast_convert(PyObject* obj, int64_t& out) noexcept { return fast_int(obj, out); }
inline bool fast_convert(PyObject* obj, uint16_t& out) noexcept { return fast_int(obj, out); }
inline bool fast_convert(PyObject* obj, uint32_t& out) noexcept { return fast_int(obj, out); }

inline bool fast_convert(PyObject* obj, bool& out) noexcept {
  if (obj != Py_True && obj != Py_False) return false;
  out = obj == Py_True;
  return true;
}

bool fast_convert(PyObject* obj, std::string& out);

// The fast conversion for T, handing it the interpreter's objects where it
// needs them (records, lists of records, value objects).
template <class T>
bool fast_field(PyObject* obj, T& out, const State& st) {
  if constexpr (requires { fast_convert(obj, out, st); }) {
    return fast_convert(obj, out, st);
  } else {
    return fast_convert(obj, out);
  }
}

template <class T>
bool fast_convert(PyObject* obj, std::optional<T>& out, const State& st) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  return fast_field(obj, out.emplace(), st);
}

// Makes room for the elements of an exact list or tuple, whose length is
// true. When that much memory cannot be had at once, the list grows as it is
// read instead, so that a failing element is reported as before.
template <class T>
void reserve_for(std::vector<T>& out, PyObject* seq) {
  try {
    // The list's size is read as PyList_GET_SIZE reads it, atomically on a
    // free-threaded build.
    const Py_ssize_t size = PyList_CheckExact(seq) ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
    out.reserve(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
  }
}

// A strong reference to element i of an exact list or tuple, or an empty Ref
// past its end (a list may shrink while it is read). The list's element is
// taken under the list's lock: on a free-threaded 3.13, slice assignment,
// insert and pop move the elements with memmove while they hold that lock, and
// a lock-free read (PyList_GetItemRef) racing with the move can take a
// reference to a torn or stale pointer (CPython gh-129069).
inline Ref sequence_item(PyObject* seq, bool list, Py_ssize_t i) {
  if (!list) return Ref::borrow(i < PyTuple_GET_SIZE(seq) ? PyTuple_GET_ITEM(seq, i) : nullptr);
  PyObject* item = nullptr;
  Py_BEGIN_CRITICAL_SECTION(seq);
  if (i < PyList_GET_SIZE(seq)) item = Py_NewRef(PyList_GET_ITEM(seq, i));
  Py_END_CRITICAL_SECTION();
  return Ref::steal(item);
}

template <class T>
bool fast_convert(PyObject* obj, std::vector<T>& out, const State& st) {
  const bool list = PyList_CheckExact(obj);
  if (!list && !PyTuple_CheckExact(obj)) return false;
  out.clear();
  reserve_for(out, obj);
  for (Py_ssize_t i = 0;; ++i) {
    Ref item = sequence_item(obj, list, i);
    if (!item) return true;
    if (!fast_field(item.get(), out.emplace_back(), st)) return false;
  }
}

// Whether the module is built for the free-threaded interpreter.
#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

// Looks up the values of a record's fields in an exact dict whose keys are all
// exact str, in one pass over its entries: values[i] becomes the value under
// names[i]. False (no exception set) when obj is no such dict or lacks a
// field. Each value is held by a strong reference, whose bit is then set in
// `references`; on a free-threaded build, one of the calling interpreter's
// value objects under a field whose bit is set in `enumerations` is held
// without one. The interpreter's set keeps every value object until the
// interpreter ends, so one stays alive when the dict lets go of it; and there
// a reference would cost more than it looks: unless the object is immortal
// (the main interpreter's are), taking or dropping one on an object that
// another thread created (the value objects are made by the importing thread)
// is an atomic operation on the object's count, which the calls of every
// thread would make on the same few objects.
bool scan_fields(PyObject* obj, PyObject* const* names, std::size_t count, uint32_t enumerations,
                 const State& st, PyObject** values, uint32_t& references);

// The values scan_fields takes out of a record's dict, held for the length of
// the call: the strong references among them are released with it.
template <std::size_t N>
class FieldValues {
  static_assert(N <= 32, "one bit per field");

 public:
  FieldValues() noexcept = default;
  FieldValues(const FieldValues&) = delete;
  FieldValues& operator=(const FieldValues&) = delete;
  ~FieldValues() {
    // With the GIL every value found is held by a reference (and the others
    // are null): dropping them unchecked costs less than testing the bits.
    for (std::size_t i = 0; i < N; ++i) {
      if (!kFreeThreaded || (references_ >> i & 1U) != 0) Ref::steal(values_[i]).reset();
    }
  }

  bool scan(PyObject* obj, PyObject* const* names, uint32_t enumerations, const State& st) {
    return scan_fields(obj, names, N, enumerations, st, values_, references_);
  }
  PyObject* operator[](std::size_t i) const noexcept { return values_[i]; }

 private:
  PyObject* values_[N] = {};
  uint32_t references_ = 0;
};

// Converts by the conversion for T, handing it the path where it knows one.
template <class T>
bool convert_at(PyObject* obj, T& out, const Path& at) {
  if constexpr (requires { convert(obj, out, at); }) {
    return convert(obj, out, at);
  } else {
    return convert(obj, out);
  }
}

// None gives the absent value; anything else is converted as the inner type.
template <class T>
bool convert(PyObject* obj, std::optional<T>& out, const Path& at) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  return convert_at(obj, out.emplace(), at);
}

// A list read from any sequence but str: the length only sizes the list, the
// elements come from iteration, and the first failing element stops it.
template <class T>
bool convert(PyObject* obj, std::vector<T>& out, const Path& at) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_cast_error(obj, "Sequence");
    return false;
  }
  // An exact list or tuple is read by index, as its iterator would: the
  // size is looked at again before each element, so a list that a conversion
  // changes is read as iteration would read it.
  const bool list = PyList_CheckExact(obj);
  if (list || PyTuple_CheckExact(obj)) {
    out.clear();
    reserve_for(out, obj);
    for (Py_ssize_t i = 0;; ++i) {
      Ref item = sequence_item(obj, list, i);
      if (!item) return true;
      const Path element{&at, nullptr, static_cast<std::size_t>(i)};
      if (!convert_at(item.get(), out.emplace_back(), element)) return false;
    }
  }
  Py_ssize_t hint = PyObject_Length(obj);
  if (hint < 0) {
    if (!raising_ordinary_exception()) return false;
    PyErr_Clear();
  }
  // The reported length is a hint only; cap it so that a sequence lying about
  // its size cannot force a huge allocation.
  constexpr Py_ssize_t kMaxReserve = 4096;
  out.clear();
  out.reserve(static_cast<size_t>(hint < 0 ? 0 : (hint < kMaxReserve ? hint : kMaxReserve)));
  Ref it = Ref::steal(PyObject_GetIter(obj));
  if (!it) return false;
  for (std::size_t i = 0;; ++i) {
    Ref item = Ref::steal(PyIter_Next(it.get()));
    const Path element{&at, nullptr, i};
    if (!item) {
      if (!PyErr_Occurred()) return true;
      mark_failure(element);
      return false;
    }
    if (!convert_at(item.get(), out.emplace_back(), element)) return false;
  }
}

// obj[name], the key string of a field.
PyObject* get_item(PyObject* obj, PyObject* name);

// Reads obj[key] and converts it into `out`; `at` is the record's place and
// `st` the interpreter's objects. A failing item access is reported unchanged;
// a failing conversion becomes the field error.
template <class T>
bool read_field(PyObject* obj, const State& st, Key k, const char* record, T& out,
                const Path& at) {
  Ref value = Ref::steal(get_item(obj, st.key(k)));
  if (!value) {
    mark_failure(at);
    return false;
  }
  const Path field{&at, key_name(k)};
  if (convert_at(value.get(), out, field)) return true;
  mark_failure(field);
  raise_field_error(record, key_name(k));
  return false;
}

// ---- Function arguments -----------------------------------------------------

// Static description of one exported function's parameters.
struct Signature {
  const char* display_name;  // "py_get_totals()"
  const Key* params;
  Py_ssize_t count;
};

// Matches the positional vector and keyword names to the parameters. On
// success `slots` holds one borrowed argument per parameter.
bool bind_arguments(const Signature& sig, const State& st, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Applies the argument rule to a failed conversion of `param` and notes where
// in the argument it failed.
void argument_failed(Key param, const std::string& place);

// Converts one bound argument by the conversion for T, applying the argument
// rule to a failure.
template <class T>
bool convert_argument(PyObject* obj, Key param, T& out, const State& st) {
  std::string place;  // written only when the conversion fails
  if (convert_at(obj, out, Path{nullptr, key_name(param), 0, &place, &st})) return true;
  argument_failed(param, place);
  return false;
}

// ---- Results ---------------------------------------------------------------

// A new str holding UTF-8 text.
PyObject* new_text(std::string_view text);
// A new str holding text known to be ASCII (the text form of a Decimal),
// written straight into the string's storage without decoding.
PyObject* new_ascii_text(std::string_view text);
// A new str holding the text form of a value, written on the stack and
// copied into the string without a std::string between them.
PyObject* new_decimal_text(const tallyforge::Decimal& value);

}  // namespace lib
