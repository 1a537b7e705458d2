#include "lib/binding.hpp"

#include <array>
#include <cstring>
#include <limits>

namespace lib {
namespace {

constexpr std::array<const char*, static_cast<size_t>(Key::kCount)> kKeyNames = {
#define TALLYFORGE_KEY_NAME(k) #k,
    TALLYFORGE_KEYS(TALLYFORGE_KEY_NAME)
#undef TALLYFORGE_KEY_NAME
};

constexpr const char kGenericPanic[] = "tallyforge failed internally without a message";

// Reads a value as a C long and checks it against [lo, hi].
bool to_long_in(PyObject* obj, long lo, long hi, long& out) {
  long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < lo || v > hi) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = v;
  return true;
}

template <class T>
bool to_int_of(PyObject* obj, T& out) {
  static_assert(sizeof(T) < sizeof(long));
  long v = 0;
  if (!to_long_in(obj, static_cast<long>(std::numeric_limits<T>::min()),
                  static_cast<long>(std::numeric_limits<T>::max()), v)) {
    return false;
  }
  out = static_cast<T>(v);
  return true;
}

// 1 when the type is NumPy's boolean scalar type, 0 when not, -1 with an
// exception set when looking at it failed.
int is_numpy_bool(PyTypeObject* type) {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(reinterpret_cast<PyObject*>(type), "__module__", &found) < 0) {
    return -1;
  }
  Ref module = Ref::steal(found);
  if (!module) return 0;
  if (!PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return 0;
  }
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) return -1;
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

// Joins quoted names: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string join_names(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += (i + 1 == names.size()) ? ", and " : ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

}  // namespace

const char* key_name(Key k) noexcept { return kKeyNames[static_cast<size_t>(k)]; }

// ---- Errors -------------------------------------------------------------

void raise_cast_error(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(),
               expected);
}

void chain_cause(Ref cause) {
  if (!cause) return;
  Ref error = take_exception();
  if (!error) return;
  PyException_SetCause(error.get(), cause.release());
  PyErr_SetRaisedException(error.release());
}

void add_note(const std::string& text) {
  // A MemoryError says nothing about the input, and a note would need memory.
  if (!raising_ordinary_exception() || PyErr_ExceptionMatches(PyExc_MemoryError)) return;
  Ref error = take_exception();
  Ref note = Ref::steal(new_text(text));
  Ref method = note ? Ref::steal(PyUnicode_InternFromString("add_note")) : Ref();
  Ref added = method
                  ? Ref::steal(PyObject_CallMethodOneArg(error.get(), method.get(), note.get()))
                  : Ref();
  if (!added) {
    // Only an Exception (a MemoryError) is given up for the note.
    if (!raising_ordinary_exception()) return;
    PyErr_Clear();
  }
  PyErr_SetRaisedException(error.release());
}

void mark_failure(const Path& at) {
  const Path* root = &at;
  while (root->parent != nullptr) root = root->parent;
  if (root->failure == nullptr || !root->failure->empty()) return;
  // The nodes from the argument in to `at`.
  std::vector<const Path*> nodes;
  for (const Path* p = &at; p != nullptr; p = p->parent) nodes.push_back(p);
  std::string& out = *root->failure;
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
    const Path& node = **it;
    if (node.key == nullptr) {
      out += '[';
      out += std::to_string(node.index);
      out += ']';
    } else {
      if (!out.empty()) out += '.';
      out += node.key;
    }
  }
}

void argument_failed(Key param, const std::string& place) {
  apply_argument_rule(key_name(param));
  add_note(place.empty() ? std::string(key_name(param)) : place);
}

void raise_field_error(const char* record, const char* field) {
  // An interrupt or an exit is not a bad field: it passes through unchanged.
  if (PyErr_Occurred() && !raising_ordinary_exception()) return;
  Ref cause = take_exception();
  PyErr_Format(PyExc_TypeError, "failed to extract field %s.%s", record, field);
  chain_cause(std::move(cause));
}

void apply_argument_rule(const char* param) {
  Ref old = take_exception();
  if (!old || !Py_IS_TYPE(old.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(old.release());
    return;
  }
  Ref text = Ref::steal(PyObject_Str(old.get()));
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, text.get());
  chain_cause(Ref::steal(PyException_GetCause(old.get())));
}

void raise_panic(std::string_view message) {
  if (message.empty()) message = kGenericPanic;
  // A pending exception (if any) becomes the context of the panic.
  Ref pending = take_exception();
  // The calling interpreter's class. Raising it is rare: it is looked up
  // here rather than handed down every call.
  const State* st = interpreter_state();
  if (st == nullptr) return;
  PyObject* type = st->panic;
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
  if (pending) {
    Ref error = take_exception();
    PyException_SetContext(error.get(), pending.release());
    PyErr_SetRaisedException(error.release());
  }
}

void raise_value_error(std::string_view message) {
  Ref text = Ref::steal(new_text(message));
  if (!text) return;
  PyErr_SetObject(PyExc_ValueError, text.get());
}

// ---- Scalar conversions ---------------------------------------------------

bool to_text(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    raise_cast_error(obj, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<size_t>(size));
  return true;
}

bool fast_convert(PyObject* obj, std::string& out) {
  if (!PyUnicode_CheckExact(obj)) return false;
  if (PyUnicode_IS_ASCII(obj)) {
    out.assign(static_cast<const char*>(PyUnicode_DATA(obj)),
               static_cast<size_t>(PyUnicode_GET_LENGTH(obj)));
    return true;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) {
    // Not encodable (a lone surrogate): the general conversion raises it.
    PyErr_Clear();
    return false;
  }
  out.assign(data, static_cast<size_t>(size));
  return true;
}

bool to_bool(PyObject* obj, bool& out) {
  if (Py_IS_TYPE(obj, &PyBool_Type)) {
    out = (obj == Py_True);
    return true;
  }
  PyTypeObject* type = Py_TYPE(obj);
  const int numpy = is_numpy_bool(type);
  if (numpy < 0) return false;
  if (numpy == 0) {
    raise_cast_error(obj, "bool");
    return false;
  }
  inquiry nb_bool = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
  if (nb_bool == nullptr) {
    Ref type_text = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(type)));
    if (!type_text) return false;
    PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                 type_text.get());
    return false;
  }
  int truth = nb_bool(obj);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

bool to_int(PyObject* obj, int16_t& out) { return to_int_of(obj, out); }
bool to_int(PyObject* obj, int32_t& out) { return to_int_of(obj, out); }
bool to_int(PyObject* obj, uint16_t& out) { return to_int_of(obj, out); }
bool to_int(PyObject* obj, uint32_t& out) { return to_int_of(obj, out); }

bool to_int(PyObject* obj, int64_t& out) {
  static_assert(sizeof(long) == sizeof(int64_t), "a C long must hold 64 bits");
  long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

// ---- Records and arguments ----------------------------------------------------

PyObject* get_item(PyObject* obj, PyObject* name) {
  if (PyDict_CheckExact(obj)) {
    // Same outcome as obj[key] for an exact dict, without the method lookup.
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(obj, name, &value);
    if (found < 0) return nullptr;
    if (found == 0) {
      PyErr_SetObject(PyExc_KeyError, name);
      return nullptr;
    }
    return value;
  }
  return PyObject_GetItem(obj, name);
}

namespace {

// The field whose name is `key`: by identity first (the keys of dicts written
// in Python code are interned, like the names), then by text.
std::size_t field_of(PyObject* key, PyObject* const* names, std::size_t count,
                     std::size_t expected) {
  if (expected < count && names[expected] == key) return expected;
  for (std::size_t i = 0; i < count; ++i) {
    if (names[i] == key) return i;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (PyUnicode_GET_LENGTH(names[i]) == PyUnicode_GET_LENGTH(key) &&
        PyUnicode_Compare(names[i], key) == 0) {
      return i;
    }
  }
  return count;
}

}  // namespace

bool scan_fields(PyObject* obj, PyObject* const* names, std::size_t count, uint32_t enumerations,
                 const State& st, PyObject** values, uint32_t& references) {
  if (!PyDict_CheckExact(obj)) return false;
  bool usable = true;
  uint32_t found = 0;  // one bit per field
  // PyDict_Next hands out borrowed references; on a free-threaded build the
  // dict is locked while they are turned into strong ones (or found to be
  // value objects, which need none).
  Py_BEGIN_CRITICAL_SECTION(obj);
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  std::size_t expected = 0;
  while (PyDict_Next(obj, &pos, &k, &v)) {
    // Any other key could run Python code when the dict is searched.
    if (!PyUnicode_CheckExact(k)) {
      usable = false;
      break;
    }
    const std::size_t f = field_of(k, names, count, expected);
    if (f == count) continue;  // a key the record does not read
    const uint32_t bit = 1U << f;
    found |= bit;
    // With the GIL a reference is a plain increment, which costs less than
    // looking at the object.
    if (kFreeThreaded && (enumerations & bit) != 0 && st.is_value_object(v)) {
      values[f] = v;
    } else {
      values[f] = Py_NewRef(v);
      references |= bit;
    }
    expected = f + 1;
  }
  Py_END_CRITICAL_SECTION();
  return usable && found == (count == 32 ? ~0U : (1U << count) - 1);
}

bool bind_arguments(const Signature& sig, const State& st, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  if (nargs > sig.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 sig.display_name, sig.count, nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < sig.count; ++i) slots[i] = i < nargs ? args[i] : nullptr;

  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* kwname = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t match = -1;
    for (Py_ssize_t i = 0; i < sig.count && match < 0; ++i) {
      PyObject* param = st.key(sig.params[i]);
      // Interned names usually match by pointer; fall back to text equality.
      if (kwname == param) {
        match = i;
      } else if (PyUnicode_Check(kwname) && PyUnicode_Compare(kwname, param) == 0) {
        match = i;
      }
    }
    if (match < 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                   sig.display_name, kwname);
      return false;
    }
    if (slots[match] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", sig.display_name,
                   kwname);
      return false;
    }
    slots[match] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < sig.count; ++i) {
    if (slots[i] == nullptr) missing.push_back(key_name(sig.params[i]));
  }
  if (!missing.empty()) {
    std::string names = join_names(missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", sig.display_name,
                 static_cast<Py_ssize_t>(missing.size()),
                 missing.size() == 1 ? "argument" : "arguments", names.c_str());
    return false;
  }
  return true;
}

PyObject* new_text(std::string_view text) {
  // Texts of one character come from the interpreter's shared strings.
  if (text.size() > 1) {
    unsigned char high = 0;
    for (const char c : text) high |= static_cast<unsigned char>(c);
    if (high < 0x80) return new_ascii_text(text);
  }
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* new_ascii_text(std::string_view text) {
  PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
  if (out != nullptr && !text.empty()) std::memcpy(PyUnicode_DATA(out), text.data(), text.size());
  return out;
}

PyObject* new_decimal_text(const tallyforge::Decimal& value) {
  using tallyforge::Decimal;
  // A constant with more places than any operation makes has its own writer.
  if (value.scale() > Decimal::kMaxScale) return new_ascii_text(value.to_string());
  char buf[Decimal::kTextBufferSize];
  return new_ascii_text(std::string_view(buf, value.to_chars(buf)));
}

}  // namespace lib
