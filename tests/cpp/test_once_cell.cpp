// Races on a once-only cell: one creation, one value for every thread, retry
// after a failed creation, waiters detached while they wait.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "once_cell.hpp"

namespace {

struct CountingHost {
  using Token = int;
  static inline std::atomic<int> detached{0};
  static inline std::atomic<int> attached{0};
  static inline std::atomic<int> reentries{0};
  static Token detach() noexcept { return ++detached; }
  static void attach(Token) noexcept { ++attached; }
  static void reentered() noexcept { ++reentries; }
};

using Cell = tallyforge::OnceCell<int, CountingHost>;

// Runs `body` on `n` threads released together.
template <class F>
void race(int n, F body) {
  std::barrier start(n);
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      body(i);
    });
  }
  for (auto& t : threads) t.join();
}

TEST(OnceCell, ConcurrentFirstUsersShareOneCreation) {
  for (int round = 0; round < 50; ++round) {
    Cell cell;
    static int value = 7;
    std::atomic<int> creations{0};
    std::vector<int*> seen(8);
    race(8, [&](int i) {
      seen[i] = cell.get([&] {
        ++creations;
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // let others pile up
        return &value;
      });
    });
    EXPECT_EQ(creations.load(), 1);
    for (int* p : seen) EXPECT_EQ(p, &value);
  }
  EXPECT_EQ(CountingHost::detached.load(), CountingHost::attached.load());
}

TEST(OnceCell, FailedCreationLeavesTheCellForALaterTry) {
  Cell cell;
  static int value = 1;
  std::atomic<int> attempts{0};
  // The first creation fails; whoever comes next creates it for everyone.
  std::vector<int*> seen(8);
  race(8, [&](int i) {
    int* got = nullptr;
    while (got == nullptr) {
      got = cell.get([&]() -> int* { return ++attempts == 1 ? nullptr : &value; });
    }
    seen[i] = got;
  });
  EXPECT_EQ(attempts.load(), 2);
  for (int* p : seen) EXPECT_EQ(p, &value);
}

TEST(OnceCell, ThrowingCreationDoesNotWedgeTheCell) {
  Cell cell;
  static int value = 3;
  EXPECT_THROW(cell.get([]() -> int* { throw std::runtime_error("no"); }), std::runtime_error);
  EXPECT_EQ(cell.get([] { return &value; }), &value);
}

TEST(OnceCell, CreationAskingForItsOwnCellFailsInsteadOfWaiting) {
  Cell cell;
  static int value = 5;
  const int before = CountingHost::reentries.load();
  int* inner = &value;
  EXPECT_EQ(cell.get([&] {
    inner = cell.get([] { return &value; });
    return &value;
  }),
            &value);
  EXPECT_EQ(inner, nullptr);
  EXPECT_EQ(CountingHost::reentries.load(), before + 1);
}

}  // namespace
