// The borrow counter that keeps two threads from using one reader at once:
// exclusive borrows are never granted twice, shared and exclusive never
// overlap, and a cursor advanced only under the exclusive borrow hands out
// every index exactly once.
#include "borrow.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <latch>
#include <thread>
#include <vector>

namespace csv_mendle::python {
namespace {

constexpr int kThreads = 4;
constexpr int kAttempts = 100'000;

TEST(borrow_counter, refusals_follow_the_state_of_the_word) {
  BorrowCounter counter;
  {
    SharedBorrow first(counter);
    SharedBorrow second(counter);
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_EQ(counter.load(), 2u);
    ExclusiveBorrow refused(counter);
    EXPECT_FALSE(refused);
    EXPECT_EQ(counter.load(), 2u);  // a refusal leaves the word as it was
  }
  EXPECT_EQ(counter.load(), 0u);
  {
    ExclusiveBorrow held(counter);
    ASSERT_TRUE(held);
    EXPECT_EQ(counter.load(), BorrowCounter::kExclusive);
    ExclusiveBorrow second(counter);
    SharedBorrow shared(counter);
    EXPECT_FALSE(second);
    EXPECT_FALSE(shared);
    EXPECT_EQ(counter.load(), BorrowCounter::kExclusive);
  }
  EXPECT_EQ(counter.load(), 0u);
  ExclusiveBorrow after_release(counter);
  EXPECT_TRUE(after_release);
}

// Several threads call "next()" on one reader: each successful exclusive
// borrow takes the next index from a plain, unsynchronised cursor, as the
// reader does.  A borrow granted twice would show as two holders at once or
// as an index delivered twice.  The bookkeeping atomics are relaxed so that
// only the counter orders the cursor accesses: a counter without
// acquire/release shows as a data race under ThreadSanitizer.
TEST(borrow_counter, exclusive_borrow_is_never_granted_twice_and_no_index_is_delivered_twice) {
  BorrowCounter counter;
  std::uint64_t cursor = 0;  // guarded by the exclusive borrow alone
  std::atomic<int> holders{0};
  std::atomic<int> most_holders{0};
  std::atomic<std::uint64_t> refused{0};
  std::vector<std::vector<std::uint64_t>> delivered(kThreads);
  std::latch start(kThreads);

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int attempt = 0; attempt < kAttempts; ++attempt) {
        ExclusiveBorrow borrow(counter);
        if (!borrow) {
          refused.fetch_add(1, std::memory_order_relaxed);
          continue;
        }
        const int now = holders.fetch_add(1, std::memory_order_relaxed) + 1;
        int seen = most_holders.load(std::memory_order_relaxed);
        while (now > seen &&
               !most_holders.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
        }
        delivered[static_cast<std::size_t>(t)].push_back(cursor++);
        holders.fetch_sub(1, std::memory_order_relaxed);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(most_holders.load(), 1);
  EXPECT_EQ(counter.load(), 0u);

  std::vector<std::uint64_t> all;
  for (const auto& indices : delivered) all.insert(all.end(), indices.begin(), indices.end());
  ASSERT_EQ(all.size(), cursor);
  EXPECT_EQ(all.size() + refused.load(), std::uint64_t{kThreads} * kAttempts);
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end())
      << "an index was delivered twice";
  // No gaps either: every index below the final cursor went to some thread.
  for (std::size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], i);
  // Each thread sees its own indices in increasing order.
  for (const auto& indices : delivered) EXPECT_TRUE(std::is_sorted(indices.begin(), indices.end()));
}

// Every thread alternates between the shared members (len, summary) and
// next(): no shared holder may ever meet an exclusive one.  Nothing waits,
// so a busy reader can starve next() for a while; each thread therefore
// keeps going past its quota until it has been granted both kinds once (the
// last thread left alone always is).
TEST(borrow_counter, shared_and_exclusive_borrows_never_overlap) {
  BorrowCounter counter;
  std::atomic<int> shared_holders{0};
  std::atomic<int> exclusive_holders{0};
  std::atomic<int> overlaps{0};
  std::atomic<std::uint64_t> granted_exclusive{0};
  std::uint64_t cursor = 0;  // written under the exclusive borrow only
  std::latch start(kThreads);

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      std::uint64_t mine_shared = 0;
      std::uint64_t mine_exclusive = 0;
      // Bounded, so that a counter that wedges fails the test instead of hanging it.
      for (int attempt = 0; attempt < 100 * kAttempts &&
                            (attempt < kAttempts || mine_shared == 0 || mine_exclusive == 0);
           ++attempt) {
        if ((attempt + t) % 2 == 0) {
          ExclusiveBorrow borrow(counter);
          if (!borrow) continue;
          exclusive_holders.fetch_add(1, std::memory_order_relaxed);
          if (shared_holders.load(std::memory_order_relaxed) != 0 ||
              exclusive_holders.load(std::memory_order_relaxed) != 1) {
            overlaps.fetch_add(1);
          }
          if (counter.load() != BorrowCounter::kExclusive) overlaps.fetch_add(1);
          ++cursor;
          exclusive_holders.fetch_sub(1, std::memory_order_relaxed);
          ++mine_exclusive;
        } else {
          SharedBorrow borrow(counter);
          if (!borrow) continue;
          shared_holders.fetch_add(1, std::memory_order_relaxed);
          if (exclusive_holders.load(std::memory_order_relaxed) != 0) overlaps.fetch_add(1);
          const std::uint64_t word = counter.load();
          if (word == 0 || word == BorrowCounter::kExclusive) overlaps.fetch_add(1);
          // Reading the cursor is what a shared member may do safely.
          static_cast<void>(*static_cast<volatile std::uint64_t*>(&cursor));
          shared_holders.fetch_sub(1, std::memory_order_relaxed);
          ++mine_shared;
        }
      }
      EXPECT_GT(mine_shared, 0u);
      EXPECT_GT(mine_exclusive, 0u);
      granted_exclusive.fetch_add(mine_exclusive);
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(counter.load(), 0u);
  EXPECT_EQ(cursor, granted_exclusive.load());
}

}  // namespace
}  // namespace csv_mendle::python
