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

// A reader inside, a writer waiting: no new reader is let in before the writer, and the writer
// gets the lock as soon as the reader inside leaves.
TEST(RwLock, AWaitingWriterIsNotOvertakenByNewReaders) {
  RwLock lock;
  lock.lock_shared();
  std::atomic<bool> written{false};
  std::thread writer([&] {
    std::unique_lock w(lock);
    written = true;
  });
  // The writer is queued once a new reader is refused; a lock that prefers readers lets
  // every new reader in and never gets here.
  ASSERT_TRUE(eventually([&] {
    if (!lock.try_lock_shared()) return true;
    lock.unlock_shared();
    return false;
  }));
  EXPECT_FALSE(written.load());
  lock.unlock_shared();
  writer.join();
  EXPECT_TRUE(written.load());
  EXPECT_TRUE(lock.try_lock_shared());
  lock.unlock_shared();
}

}  // namespace
}  // namespace tornquil
