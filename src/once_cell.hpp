// Once-only cell for objects created once (per process, or per interpreter).
//
// The first thread to ask creates the value; a thread that finds the creation
// under way waits for it, detached from its host (the interpreter) while it
// waits, so the creating thread, which needs the host, is never blocked by a
// waiter. Once filled, the cell is read with a single acquire load. A failed
// creation leaves the cell empty so that a later request tries again.
//
// Host supplies the waiting protocol:
//   Host::Token Host::detach() noexcept;       before a thread waits
//   void Host::attach(Host::Token) noexcept;   after it has waited
//   void Host::reentered() noexcept;           a creation asked for its own cell
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace tallyforge {

template <class T, class Host>
class OnceCell {
 public:
  constexpr OnceCell() noexcept = default;
  OnceCell(const OnceCell&) = delete;
  OnceCell& operator=(const OnceCell&) = delete;

  // The stored value, or nullptr while nothing is stored yet.
  T* peek() const noexcept { return value_.load(std::memory_order_acquire); }

  // The stored value, created by `create()` on first need. `create` returns
  // the value, or nullptr when it failed. A request for the same cell made
  // from inside `create` returns nullptr after Host::reentered() instead of
  // waiting for itself.
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
        Host::reentered();
        return nullptr;
      }
      auto token = Host::detach();
      state_.wait(kBusy, std::memory_order_acquire);
      Host::attach(token);
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

}  // namespace tallyforge
