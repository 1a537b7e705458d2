// Once-only cell for objects created once per process.
//
// The first thread to ask creates the value; a thread that finds the creation
// under way waits for it detached from the interpreter, so the creating
// thread, which needs the interpreter, is never blocked by a waiter. Once
// filled, the cell is read with a single acquire load. A failed creation
// leaves the cell empty (with the Python exception set in the creating
// thread) so that a later request tries again.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace lib {

template <class T>
class OnceCell {
 public:
  constexpr OnceCell() noexcept = default;
  OnceCell(const OnceCell&) = delete;
  OnceCell& operator=(const OnceCell&) = delete;

  // The stored value, or nullptr while nothing is stored yet.
  T* peek() const noexcept { return value_.load(std::memory_order_acquire); }

  // The stored value, created by `create()` on first need. `create` returns
  // the value, or nullptr with a Python exception set. A request for the same
  // cell made from inside `create` (say, by code that a garbage collection
  // run starts) fails with RuntimeError instead of waiting for itself.
  template <class F>
  T* get(F&& create) {
    if (T* v = peek()) return v;
    return get_slow(create);
  }

 private:
  enum : uint32_t { kEmpty = 0, kBusy = 1, kFull = 2 };

  template <class F>
  T* get_slow(F& create) {
    for (;;) {
      uint32_t seen = kEmpty;
      if (state_.compare_exchange_strong(seen, kBusy, std::memory_order_acq_rel)) {
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        T* v = nullptr;
        try {
          v = create();
        } catch (...) {
          publish(nullptr);  // leave the cell empty rather than busy for ever
          throw;
        }
        publish(v);
        return v;
      }
      if (seen == kFull) return peek();
      if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        PyErr_SetString(PyExc_RuntimeError, "object requested during its own initialization");
        return nullptr;
      }
      PyThreadState* ts = PyEval_SaveThread();
      state_.wait(kBusy, std::memory_order_acquire);
      PyEval_RestoreThread(ts);
    }
  }

  // Ends a creation: stores the value (or leaves the cell empty) and wakes
  // the waiters.
  void publish(T* v) noexcept {
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    if (v != nullptr) value_.store(v, std::memory_order_release);
    state_.store(v != nullptr ? kFull : kEmpty, std::memory_order_release);
    state_.notify_all();
  }

  std::atomic<T*> value_{nullptr};
  std::atomic<uint32_t> state_{kEmpty};
  std::atomic<std::thread::id> owner_{};
};

}  // namespace lib
