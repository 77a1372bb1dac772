// The per-object borrow counter of MendleSummary and MendleReader.
//
// One atomic 64-bit word: 0 when the object is free, n while n shared borrows
// are held, all ones while the exclusive borrow is held.  Nothing blocks or
// waits: a borrow that would clash is refused, and the caller turns the
// refusal into RuntimeError "Already mutably borrowed" (shared refused) or
// "Already borrowed" (exclusive refused).  On an interpreter with the global
// lock no member calls back into Python while it holds a borrow, so borrows
// never clash there; on a free-threaded interpreter they keep two threads from
// using one reader at the same time.
//
// Pure C++ (no Python.h) so that it can be exercised from threads in a C++
// test.
#pragma once

#include <atomic>
#include <cstdint>

namespace csv_mendle::python {

inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";

class BorrowCounter {
 public:
  static constexpr std::uint64_t kExclusive = ~std::uint64_t{0};

  BorrowCounter() noexcept = default;
  BorrowCounter(const BorrowCounter&) = delete;
  BorrowCounter& operator=(const BorrowCounter&) = delete;

  // Adds one shared borrow unless the exclusive borrow is held.
  [[nodiscard]] bool try_shared() noexcept {
    std::uint64_t seen = state_.load(std::memory_order_relaxed);
    do {
      if (seen == kExclusive) return false;
    } while (!state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }

  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

  // Takes the exclusive borrow when no borrow of either form is held.
  [[nodiscard]] bool try_exclusive() noexcept {
    std::uint64_t expected = 0;
    return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }

  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

  // The raw word, for tests and assertions.
  [[nodiscard]] std::uint64_t load() const noexcept {
    return state_.load(std::memory_order_acquire);
  }

 private:
  std::atomic<std::uint64_t> state_{0};
};

// Holds one borrow of a counter for its lifetime, taken by `Acquire` and
// given back by `Release`, when it could be taken; test with `if (!borrow)`.
template <bool (BorrowCounter::*Acquire)() noexcept, void (BorrowCounter::*Release)() noexcept>
class Borrow {
 public:
  explicit Borrow(BorrowCounter& counter) noexcept
      : counter_((counter.*Acquire)() ? &counter : nullptr) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (counter_ != nullptr) (counter_->*Release)();
  }

  explicit operator bool() const noexcept { return counter_ != nullptr; }

 private:
  BorrowCounter* counter_;
};

// One shared borrow; a refusal is reported as kAlreadyMutablyBorrowed.
using SharedBorrow = Borrow<&BorrowCounter::try_shared, &BorrowCounter::release_shared>;
// The exclusive borrow; a refusal is reported as kAlreadyBorrowed.
using ExclusiveBorrow = Borrow<&BorrowCounter::try_exclusive, &BorrowCounter::release_exclusive>;

}  // namespace csv_mendle::python
