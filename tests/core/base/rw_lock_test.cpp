// The reader-writer lock of the collections: a waiting writer shuts new readers out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "base/platform.hpp"

namespace tornquil {
namespace {

using platform::RwLock;

// Waits, with a generous bound that only a broken lock reaches, until `done` holds.
template <class Done>
bool eventually(const Done& done) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(RwLock, ReadersShareAndAWriterExcludesThem) {
  RwLock lock;
  {
    std::shared_lock a(lock);
    std::shared_lock b(lock, std::try_to_lock);  // another reader, as from another thread
    EXPECT_TRUE(b.owns_lock());
    EXPECT_FALSE(lock.try_lock());
  }
  std::unique_lock w(lock);
  EXPECT_FALSE(lock.try_lock_shared());
}

// A reader inside, a writer waiting: no new reader is let in before the writer, and once the
// first reader leaves, the writer gets the lock ahead of the reader that arrived after it.
TEST(RwLock, AWaitingWriterIsNotOvertakenByNewReaders) {
  RwLock lock;
  lock.lock_shared();
  std::atomic<int> order{0};
  std::atomic<int> writer_at{0}, late_reader_at{0};
  std::thread writer([&] {
    std::unique_lock w(lock);
    writer_at = ++order;
  });
  // The writer is queued once a new reader is refused.
  ASSERT_TRUE(eventually([&] {
    if (!lock.try_lock_shared()) return true;
    lock.unlock_shared();
    return false;
  }));
  std::atomic<bool> late_started{false};
  std::thread late_reader([&] {
    late_started = true;
    std::shared_lock r(lock);
    late_reader_at = ++order;
  });
  ASSERT_TRUE(eventually([&] { return late_started.load(); }));
  EXPECT_EQ(order.load(), 0);
  lock.unlock_shared();
  writer.join();
  late_reader.join();
  EXPECT_EQ(writer_at.load(), 1);
  EXPECT_EQ(late_reader_at.load(), 2);
}

}  // namespace
}  // namespace tornquil
