#include "lib/state.hpp"

#include <new>
#include <utility>

#include "lib/binding.hpp"
#include "lib/once.hpp"
#include "lib/ref.hpp"

namespace lib {
namespace {

// The name of the entry in the interpreter's dictionary and of the capsule
// kept there. The version is part of the capsule's name, so that a build of
// another layout never takes the entry for its own.
constexpr const char kEntryName[] = "tallyforge.interpreter_state";
constexpr const char kCapsuleName[] = "tallyforge.interpreter_state." TALLYFORGE_VERSION;

// One per interpreter, owned by the capsule in its dictionary: the cell in
// which the interpreter's set is created once. Threads of the interpreter that
// find the creation under way wait for it.
struct Holder {
  OnceCell<State> cell;
};

PyObject* create_panic_type() {
  return PyErr_NewExceptionWithDoc(
      "tallyforge.runtime.PanicException",
      "Raised when tallyforge's own code fails internally (an arithmetic overflow,\n"
      "a division by zero or a broken invariant). It derives from BaseException,\n"
      "not Exception, so that it usually propagates to the top and ends the\n"
      "interpreter instead of being handled as bad input.",
      PyExc_BaseException, nullptr);
}

void release_state(State* st) noexcept {
  if (st == nullptr) return;
  data::release_enum_objects(st->enums);
  for (PyObject*& k : st->keys) Ref::steal(std::exchange(k, nullptr)).reset();
  Ref::steal(std::exchange(st->panic, nullptr)).reset();
  delete st;
}

State* create_state() {
  auto* st = new (std::nothrow) State();
  if (st == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    st->keys[i] = PyUnicode_InternFromString(key_name(static_cast<Key>(i)));
    if (st->keys[i] == nullptr) {
      release_state(st);
      return nullptr;
    }
  }
  st->panic = create_panic_type();
  if (st->panic == nullptr || !data::create_enum_objects(st->enums)) {
    release_state(st);
    return nullptr;
  }
  return st;
}

// Runs when the interpreter's dictionary is cleared, as the interpreter ends:
// no code of that interpreter calls the module afterwards.
void destroy_holder(PyObject* capsule) noexcept {
  auto* holder = static_cast<Holder*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (holder == nullptr) {
    PyErr_Clear();
    return;
  }
  release_state(holder->cell.peek());
  delete holder;
}

// The capsule of the calling interpreter, made and stored on first need. Two
// threads that make one at once both offer theirs; the one stored first is
// used by both, and the other is dropped unused.
Ref holder_capsule() {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (dict == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the interpreter keeps no dictionary for modules");
    return Ref();
  }
  Ref name = Ref::steal(PyUnicode_FromString(kEntryName));
  if (!name) return Ref();
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(dict, name.get(), &found) < 0) return Ref();
  if (found == nullptr) {
    auto* holder = new (std::nothrow) Holder();
    if (holder == nullptr) {
      PyErr_NoMemory();
      return Ref();
    }
    Ref offered = Ref::steal(PyCapsule_New(holder, kCapsuleName, &destroy_holder));
    if (!offered) {
      delete holder;
      return Ref();
    }
    if (PyDict_SetDefaultRef(dict, name.get(), offered.get(), &found) < 0) return Ref();
  }
  Ref capsule = Ref::steal(found);
  if (!PyCapsule_IsValid(capsule.get(), kCapsuleName)) {
    PyErr_Format(PyExc_RuntimeError, "the interpreter's entry %s is not this module's",
                 kEntryName);
    return Ref();
  }
  return capsule;
}

}  // namespace

State* interpreter_state(PyObject** holder) {
  Ref capsule = holder_capsule();
  if (!capsule) return nullptr;
  auto* h = static_cast<Holder*>(PyCapsule_GetPointer(capsule.get(), kCapsuleName));
  State* st = h->cell.get(create_state);
  if (st != nullptr && holder != nullptr) *holder = capsule.release();
  return st;
}

}  // namespace lib
