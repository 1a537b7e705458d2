#include "data/py_enums.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>

#include "lib/binding.hpp"
#include "lib/once.hpp"
#include "lib/ref.hpp"

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
};
template <>
struct Traits<Account> {
  static constexpr const auto& table = kAccountValues;
  static constexpr const char* name = "Account";
  static constexpr const char* qualified = "builtins.Account";
  static constexpr std::string_view doc = kAccountDoc;
};
template <>
struct Traits<Category> {
  static constexpr const auto& table = kCategoryValues;
  static constexpr const char* name = "Category";
  static constexpr const char* qualified = "builtins.Category";
  static constexpr std::string_view doc = kCategoryDoc;
};

// A class with its value objects, indexed by declaration order. Never freed.
template <class E>
struct ClassState {
  PyTypeObject* type = nullptr;
  std::array<PyObject*, Traits<E>::table.size()> values{};
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
// unpickling gives back the very same object.
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

template <class E>
ClassState<E>* create_class() {
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
    return nullptr;
  }
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());

  std::array<Ref, T::table.size()> values;
  for (size_t i = 0; i < T::table.size(); ++i) {
    values[i] = Ref::steal(tp->tp_alloc(tp, 0));
    if (!values[i]) {
      raise_init_error<E>("An error occurred while initializing `%s.%s`",
                              T::table[i].name.data());
      return nullptr;
    }
    reinterpret_cast<EnumObject*>(values[i].get())->value = T::table[i].value;
  }
  for (size_t i = 0; i < T::table.size(); ++i) {
    if (PyObject_SetAttrString(type.get(), T::table[i].name.data(), values[i].get()) < 0) {
      raise_init_error<E>("An error occurred while initializing `%s.%s`", "__dict__");
      return nullptr;
    }
  }

  // On the failure paths above and below, a class whose attributes were set
  // already is not reclaimed (its values are not tracked by the collector);
  // that happens only when memory runs out while the module is imported.
  auto* state = new (std::nothrow) ClassState<E>();
  if (state == nullptr) {
    PyErr_NoMemory();
    raise_init_error<E>("An error occurred while initializing class %s", "");
    return nullptr;
  }
  state->type = reinterpret_cast<PyTypeObject*>(type.release());
  for (size_t i = 0; i < T::table.size(); ++i) state->values[i] = values[i].release();
  return state;
}

template <class E>
ClassState<E>* class_state() {
  static lib::OnceCell<ClassState<E>> cell;
  return cell.get(create_class<E>);
}

template <class E>
PyObject* class_object() {
  ClassState<E>* state = class_state<E>();
  return state == nullptr ? nullptr : reinterpret_cast<PyObject*>(state->type);
}

template <class E>
PyObject* value_object(E value) {
  ClassState<E>* state = class_state<E>();
  if (state == nullptr) return nullptr;
  auto index = enum_index(Traits<E>::table, static_cast<uint16_t>(value));
  if (!index) {
    // Records only ever hold declared values.
    lib::raise_panic("Enumeration value out of range");
    return nullptr;
  }
  return Py_NewRef(state->values[*index]);
}

template <class E>
bool from_python(PyObject* obj, E& out) {
  ClassState<E>* state = class_state<E>();
  if (state == nullptr) return false;
  if (!PyObject_TypeCheck(obj, state->type)) {
    lib::raise_cast_error(obj, Traits<E>::name);
    return false;
  }
  out = static_cast<E>(value_of(obj));
  return true;
}

// The value object of class `name` (one of the three) with integer `value`.
template <class E>
PyObject* value_by_number(PyObject* value) {
  long number = PyLong_AsLong(value);
  if (number == -1 && PyErr_Occurred()) return nullptr;
  if (number >= 0 && number <= UINT16_MAX &&
      enum_index(Traits<E>::table, static_cast<uint16_t>(number))) {
    return value_object(static_cast<E>(number));
  }
  return PyErr_Format(PyExc_ValueError, "%ld is not a value of %s", number, Traits<E>::name);
}

PyObject* restore_value(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyUnicode_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "_enum_value() takes a class name and an integer");
    return nullptr;
  }
  if (PyUnicode_CompareWithASCIIString(args[0], "LineType") == 0) {
    return value_by_number<LineType>(args[1]);
  }
  if (PyUnicode_CompareWithASCIIString(args[0], "Account") == 0) {
    return value_by_number<Account>(args[1]);
  }
  if (PyUnicode_CompareWithASCIIString(args[0], "Category") == 0) {
    return value_by_number<Category>(args[1]);
  }
  return PyErr_Format(PyExc_ValueError, "no enumeration named %R", args[0]);
}

}  // namespace

PyMethodDef kRestoreValue = {
    kRestoreName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&restore_value)),
    METH_FASTCALL,
    "_enum_value(class_name, value)\n--\n\n"
    "The value object of an enumeration class by its integer; used by pickle."};

PyObject* line_type_class() { return class_object<LineType>(); }
PyObject* account_class() { return class_object<Account>(); }
PyObject* category_class() { return class_object<Category>(); }

PyObject* to_python(LineType value) { return value_object(value); }
PyObject* to_python(Account value) { return value_object(value); }
PyObject* to_python(Category value) { return value_object(value); }

bool convert(PyObject* obj, LineType& out) { return from_python(obj, out); }
bool convert(PyObject* obj, Account& out) { return from_python(obj, out); }
bool convert(PyObject* obj, Category& out) { return from_python(obj, out); }

}  // namespace data
