// The objects that an interpreter's calls share: the key strings, the
// PanicException class and the three classes with their value objects.
//
// Every interpreter that imports the module gets its own set, since objects
// may not cross from one interpreter to another. The set is created once per
// interpreter, on its first import, and is kept in the interpreter's own
// dictionary (PyInterpreterState_GetDict), so that a module object created
// again after `del sys.modules["tallyforge"]` finds the same classes and value
// objects. It is released when the interpreter ends.
//
// Calls never look the set up: a function finds it through the state of its
// module object and hands it down to every conversion.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "data/py_enums.hpp"

namespace lib {

// Every key and parameter name the module reads or writes. Each becomes one
// interned string per interpreter.
#define TALLYFORGE_KEYS(X)                                                           \
  X(id) X(priority) X(kind) X(amount) X(description) X(frozen_value) X(percentage)   \
  X(category) X(destination_user_id) X(destination_account) X(back_into_percentage) \
  X(plans) X(minimum_price) X(table_percentage) X(table_static) X(table_tax)          \
  X(processing_percentage) X(processing_static) X(international_conversion_percentage) \
  X(preferred_plan) X(stripe_blended_rate_percentage) X(stripe_blended_rate_static)   \
  X(stripe_payout_cross_border_percentage) X(stripe_active_account_monthly_fee)       \
  X(stripe_payout_static) X(stripe_payout_percentage) X(name) X(connection_fee_waived) \
  X(per_deliverable_price) X(max_simultaneous_orders) X(waitlisting)                  \
  X(paypal_invoicing) X(shield_static_price) X(shield_percentage_price) X(pricing)     \
  X(international) X(quantization) X(base_price) X(table_product) X(escrow_enabled)   \
  X(extra_lines) X(plan_name) X(user_id) X(allow_soft_failure) X(total) X(discount)   \
  X(subtotals) X(lines) X(source_amount) X(divisor) X(provided_lines_context)

enum class Key : int {
#define TALLYFORGE_KEY_ENUM(k) k,
  TALLYFORGE_KEYS(TALLYFORGE_KEY_ENUM)
#undef TALLYFORGE_KEY_ENUM
      kCount
};

inline constexpr std::size_t kKeyCount = static_cast<std::size_t>(Key::kCount);

struct State {
  // The interned string of each Key, indexed by it.
  std::array<PyObject*, kKeyCount> keys{};
  PyObject* panic = nullptr;  // the PanicException class
  data::EnumObjects enums;

  PyObject* key(Key k) const noexcept { return keys[static_cast<std::size_t>(k)]; }

  // Whether obj is one of the value objects, which the set holds until the
  // interpreter ends: their classes can be neither instantiated nor
  // subclassed, so every object of one of them is one of its value objects.
  bool is_value_object(PyObject* obj) const noexcept {
    const PyTypeObject* type = Py_TYPE(obj);
    return type == enums.line_type.type || type == enums.account.type ||
           type == enums.category.type;
  }
};

// The calling interpreter's set, created on its first use; NULL with an
// exception set if it cannot be created. `holder`, when given, receives a new
// reference to the object that owns the set (a module keeps it, so that the
// set outlives every module object that points at it). Looks in the
// interpreter's dictionary: for the module's execution step and for paths
// that have no module at hand (raising PanicException), never for a call's
// conversions.
State* interpreter_state(PyObject** holder = nullptr);

// What a module object of the definition keeps: the set and its owner.
struct ModuleState {
  State* state;
  PyObject* holder;
};

// The set of the interpreter that `module` (a module of the definition)
// belongs to. The module's state is filled by the execution step, before any
// function object exists, and stays until the module is freed.
inline const State& module_state(PyObject* module) noexcept {
  return *static_cast<ModuleState*>(PyModule_GetState(module))->state;
}

}  // namespace lib
