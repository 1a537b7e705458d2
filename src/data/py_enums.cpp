#include "data/py_enums.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string_view>

#include "lib/binding.hpp"
#include "lib/ref.hpp"
#include "lib/state.hpp"

namespace data {
namespace {

using lib::Ref;

// Instance layout: the value's integer and nothing else.
struct EnumObject {
  PyObject_HEAD
  uint16_t value;
};

uint16_t value_of(PyObject* obj) noexcept { return reinterpret_cast<EnumObject*>(obj)->value; }

template <class E>
struct Traits;
template <>
struct Traits<LineType> {
  static constexpr const auto& table = kLineTypeValues;
  static constexpr const char* name = "LineType";
  static constexpr const char* qualified = "builtins.LineType";
  static constexpr std::string_view doc = kLineTypeDoc;
  static auto& of(EnumObjects& e) noexcept { return e.line_type; }
  static const auto& of(const EnumObjects& e) noexcept { return e.line_type; }
};
template <>
struct Traits<Account> {
  static constexpr const auto& table = kAccountValues;
  static constexpr const char* name = "Account";
  static constexpr const char* qualified = "builtins.Account";
  static constexpr std::string_view doc = kAccountDoc;
  static auto& of(EnumObjects& e) noexcept { return e.account; }
  static const auto& of(const EnumObjects& e) noexcept { return e.account; }
};
template <>
struct Traits<Category> {
  static constexpr const auto& table = kCategoryValues;
  static constexpr const char* name = "Category";
  static constexpr const char* qualified = "builtins.Category";
  static constexpr std::string_view doc = kCategoryDoc;
  static auto& of(EnumObjects& e) noexcept { return e.category; }
  static const auto& of(const EnumObjects& e) noexcept { return e.category; }
};

// The declaration index of each integer of an enumeration, in one table
// spanning its smallest to its largest integer.
template <class E>
struct DenseIndex {
  static constexpr const auto& table = Traits<E>::table;
  static constexpr uint16_t lo = [] {
    uint16_t m = UINT16_MAX;
    for (const auto& v : table) m = v.value < m ? v.value : m;
    return m;
  }();
  static constexpr uint16_t hi = [] {
    uint16_t m = 0;
    for (const auto& v : table) m = v.value > m ? v.value : m;
    return m;
  }();
  static constexpr uint8_t kNone = UINT8_MAX;
  static_assert(table.size() < kNone);
  static constexpr std::array<uint8_t, hi - lo + 1> map = [] {
    std::array<uint8_t, hi - lo + 1> m{};
    m.fill(kNone);
    for (std::size_t i = 0; i < table.size(); ++i) m[table[i].value - lo] = static_cast<uint8_t>(i);
    return m;
  }();

  static std::optional<std::size_t> find(uint16_t value) noexcept {
    if (value < lo || value > hi || map[value - lo] == kNone) return std::nullopt;
    return map[value - lo];
  }
};

template <class E>
PyObject* enum_repr(PyObject* self) {
  auto index = enum_index(Traits<E>::table, value_of(self));
  if (!index) {
    return PyUnicode_FromFormat("%s(%u)", Traits<E>::name, static_cast<unsigned>(value_of(self)));
  }
  // The names are NUL-terminated literals.
  return PyUnicode_FromFormat("%s.%s", Traits<E>::name, Traits<E>::table[*index].name.data());
}

PyObject* enum_int(PyObject* self) { return PyLong_FromLong(value_of(self)); }

// Equality with a value of the same class, or with any integer (or object
// with __index__) whose number is the value's. A failing conversion of the
// other operand only means "not equal", unless what it raised is not an
// Exception (a KeyboardInterrupt): that passes through.
PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  long other_value = 0;
  if (PyObject_TypeCheck(other, Py_TYPE(self))) {
    other_value = value_of(other);
  } else {
    other_value = PyLong_AsLong(other);
    if (other_value == -1 && PyErr_Occurred()) {
      if (!lib::raising_ordinary_exception()) return nullptr;
      PyErr_Clear();
      Py_RETURN_NOTIMPLEMENTED;
    }
    if (other_value < 0 || other_value > UINT16_MAX) Py_RETURN_NOTIMPLEMENTED;
  }
  bool equal = other_value == value_of(self);
  return PyBool_FromLong((op == Py_EQ) == equal);
}

// The name of the module function that gives back a value object from its
// class name and integer; pickles refer to it.
constexpr const char kRestoreName[] = "_enum_value";

// Pickles a value object as a call of the module's restore function, so that
// unpickling gives back the very same object, or, in another interpreter, that
// interpreter's value object.
template <class E>
PyObject* enum_reduce(PyObject* self, PyObject*) {
  Ref module = Ref::steal(PyImport_ImportModule("tallyforge"));
  Ref restore = module ? Ref::steal(PyObject_GetAttrString(module.get(), kRestoreName)) : Ref();
  if (!restore) return nullptr;
  return Py_BuildValue("O(si)", restore.get(), Traits<E>::name, static_cast<int>(value_of(self)));
}

// A value object is immutable and unique: a copy is the object itself.
PyObject* enum_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

template <class E>
constexpr PyMethodDef kEnumMethods[] = {
    {"__reduce__", &enum_reduce<E>, METH_NOARGS, nullptr},
    {"__copy__", &enum_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", &enum_copy, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void enum_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Replaces the current exception by RuntimeError(format % (class, part))
// caused by it.
template <class E>
void raise_init_error(const char* format, const char* part) {
  Ref cause = lib::take_exception();
  PyErr_Format(PyExc_RuntimeError, format, Traits<E>::name, part);
  lib::chain_cause(std::move(cause));
}

// Takes back the class attributes that still hold the class's own value
// objects, then drops the references of `objects`. A value object refers to
// its class without the collector seeing it, so a class whose attributes held
// its values would never be collected.
template <class E>
void release_class(ClassObjects<Traits<E>::table.size()>& objects) noexcept {
  using T = Traits<E>;
  PyObject* type = reinterpret_cast<PyObject*>(objects.type);
  if (type == nullptr) return;
  Ref dict = Ref::steal(PyType_GetDict(objects.type));
  for (size_t i = 0; i < T::table.size(); ++i) {
    if (objects.values[i] == nullptr) continue;
    PyObject* found = nullptr;
    if (dict && PyDict_GetItemStringRef(dict.get(), T::table[i].name.data(), &found) > 0) {
      Ref held = Ref::steal(found);
      if (held.get() == objects.values[i] &&
          PyObject_DelAttrString(type, T::table[i].name.data()) < 0) {
        PyErr_Clear();
      }
    }
    PyErr_Clear();
    Ref::steal(objects.values[i]).reset();
  }
  Ref::steal(type).reset();
}

template <class E>
bool create_class(ClassObjects<Traits<E>::table.size()>& out) {
  using T = Traits<E>;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(T::doc.data())},
      {Py_tp_repr, reinterpret_cast<void*>(&enum_repr<E>)},
      {Py_nb_int, reinterpret_cast<void*>(&enum_int)},
      {Py_tp_richcompare, reinterpret_cast<void*>(&enum_richcompare)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&enum_dealloc)},
      {Py_tp_methods, const_cast<PyMethodDef*>(kEnumMethods<E>)},
      {Py_tp_base, &PyBaseObject_Type},
      {0, nullptr},
  };
  PyType_Spec spec = {T::qualified, static_cast<int>(sizeof(EnumObject)), 0,
                      Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  Ref type = Ref::steal(PyType_FromSpec(&spec));
  if (!type) {
    raise_init_error<E>("An error occurred while initializing class %s", "");
    return false;
  }
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  std::array<Ref, T::table.size()> values;
  for (size_t i = 0; i < T::table.size(); ++i) {
    values[i] = Ref::steal(tp->tp_alloc(tp, 0));
    if (!values[i]) {
      raise_init_error<E>("An error occurred while initializing `%s.%s`",
                              T::table[i].name.data());
      return false;
    }
    reinterpret_cast<EnumObject*>(values[i].get())->value = T::table[i].value;
  }
  // From here on `out` holds the references.
  out.type = reinterpret_cast<PyTypeObject*>(type.release());
  for (size_t i = 0; i < T::table.size(); ++i) out.values[i] = values[i].release();
  for (size_t i = 0; i < T::table.size(); ++i) {
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(out.type), T::table[i].name.data(),
                               out.values[i]) < 0) {
      raise_init_error<E>("An error occurred while initializing `%s.%s`", "__dict__");
      // Takes back the attributes set so far, so that the class can be freed.
      Ref pending = lib::take_exception();
      release_class<E>(out);
      out = {};
      PyErr_SetRaisedException(pending.release());
      return false;
    }
  }
  return true;
}

// Borrowed from `objects`.
template <class E>
PyObject* value_object(E value, const EnumObjects& objects) {
  const auto index = DenseIndex<E>::find(static_cast<uint16_t>(value));
  if (!index) {
    // Records only ever hold declared values.
    lib::raise_panic("Enumeration value out of range");
    return nullptr;
  }
  return Traits<E>::of(objects).values[*index];
}

template <class E>
bool from_python(PyObject* obj, E& out, const EnumObjects& objects) {
  if (!PyObject_TypeCheck(obj, Traits<E>::of(objects).type)) {
    lib::raise_cast_error(obj, Traits<E>::name);
    return false;
  }
  out = static_cast<E>(value_of(obj));
  return true;
}

template <class E>
bool fast_from_python(PyObject* obj, E& out, const EnumObjects& objects) noexcept {
  // The classes cannot be subclassed: a value object's type is the class.
  if (!Py_IS_TYPE(obj, Traits<E>::of(objects).type)) return false;
  out = static_cast<E>(value_of(obj));
  return true;
}

// The value object of class `name` (one of the three) with integer `value`.
template <class E>
PyObject* value_by_number(PyObject* value, const EnumObjects& objects) {
  long number = PyLong_AsLong(value);
  if (number == -1 && PyErr_Occurred()) return nullptr;
  if (number >= 0 && number <= UINT16_MAX &&
      enum_index(Traits<E>::table, static_cast<uint16_t>(number))) {
    return Py_XNewRef(value_object(static_cast<E>(number), objects));
  }
  return PyErr_Format(PyExc_ValueError, "%ld is not a value of %s", number, Traits<E>::name);
}

PyObject* restore_value(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyUnicode_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "_enum_value() takes a class name and an integer");
    return nullptr;
  }
  const EnumObjects& objects = lib::module_state(module).enums;
  if (PyUnicode_CompareWithASCIIString(args[0], "LineType") == 0) {
    return value_by_number<LineType>(args[1], objects);
  }
  if (PyUnicode_CompareWithASCIIString(args[0], "Account") == 0) {
    return value_by_number<Account>(args[1], objects);
  }
  if (PyUnicode_CompareWithASCIIString(args[0], "Category") == 0) {
    return value_by_number<Category>(args[1], objects);
  }
  return PyErr_Format(PyExc_ValueError, "no enumeration named %R", args[0]);
}

}  // namespace

PyMethodDef kRestoreValue = {
    kRestoreName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&restore_value)),
    METH_FASTCALL,
    "_enum_value(class_name, value)\n--\n\n"
    "The value object of an enumeration class by its integer; used by pickle."};

// Makes the value objects immortal (a count set beyond 32 bits does that on a
// free-threaded build, for the thread that created the object): a line dict
// of a result takes a reference to three of them, and every thread's results
// to the same few, each an atomic operation on memory that all threads write
// unless the object is immortal. Only for the main interpreter, which ends
// with the process: an immortal object is never freed, and the objects of any
// other interpreter are released when it ends.
template <std::size_t N>
void make_immortal(ClassObjects<N>& objects) noexcept {
  for (PyObject* value : objects.values) {
    Py_SET_REFCNT(value, static_cast<Py_ssize_t>(UINT32_MAX) + 1);
  }
}

bool create_enum_objects(EnumObjects& out) {
  EnumObjects made;
  if (!create_class<LineType>(made.line_type)) return false;
  if (!create_class<Account>(made.account)) {
    release_enum_objects(made);
    return false;
  }
  if (!create_class<Category>(made.category)) {
    release_enum_objects(made);
    return false;
  }
  if constexpr (lib::kFreeThreaded) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
      make_immortal(made.line_type);
      make_immortal(made.account);
      make_immortal(made.category);
    }
  }
  out = made;
  return true;
}

void release_enum_objects(EnumObjects& objects) noexcept {
  // Whatever is being raised stays raised.
  Ref pending = lib::take_exception();
  release_class<LineType>(objects.line_type);
  release_class<Account>(objects.account);
  release_class<Category>(objects.category);
  objects = {};
  if (pending) PyErr_SetRaisedException(pending.release());
}

PyObject* shared_object(LineType value, const lib::State& state) {
  return value_object(value, state.enums);
}
PyObject* shared_object(Account value, const lib::State& state) {
  return value_object(value, state.enums);
}
PyObject* shared_object(Category value, const lib::State& state) {
  return value_object(value, state.enums);
}

bool convert(PyObject* obj, LineType& out, const lib::Path& at) {
  return from_python(obj, out, at.state().enums);
}
bool convert(PyObject* obj, Account& out, const lib::Path& at) {
  return from_python(obj, out, at.state().enums);
}
bool convert(PyObject* obj, Category& out, const lib::Path& at) {
  return from_python(obj, out, at.state().enums);
}

bool fast_convert(PyObject* obj, LineType& out, const lib::State& state) noexcept {
  return fast_from_python(obj, out, state.enums);
}
bool fast_convert(PyObject* obj, Account& out, const lib::State& state) noexcept {
  return fast_from_python(obj, out, state.enums);
}
bool fast_convert(PyObject* obj, Category& out, const lib::State& state) noexcept {
  return fast_from_python(obj, out, state.enums);
}

}  // namespace data
