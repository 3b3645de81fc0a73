// FreeList: the vector slots of a collection that were freed and wait to be reused, last
// freed first, and its stored form.
//
// Stored as one value under key "slots" of table "freelist" in the collection's store:
//   offset  width  content
//        0      8  n, u64
//   8 + 8i      8  slot i, u64, in list order (most recently freed last)
// The empty list is the eight bytes of a zero count.
//
// Thread safety: the list has an inner mutex held for exactly one list operation (one
// push, pop, scan or encoding), never across another lock or a store call. Inside a
// collection it also sits behind the `freelist` reader-writer lock: push and pop under
// it for writing, save and the membership test for reading.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "base/error.hpp"
#include "storage/kv_store.hpp"

namespace tornquil {

constexpr const char* kFreelistTable = "freelist";
constexpr const char* kFreelistKey = "slots";

class FreeList {
 public:
  FreeList() = default;
  explicit FreeList(std::vector<uint64_t> slots) : slots_(std::move(slots)) {}
  // Moves only before the list is shared: the other list's mutex is not taken.
  FreeList(FreeList&& o) noexcept : slots_(std::move(o.slots_)) {}
  FreeList& operator=(FreeList&& o) noexcept {
    slots_ = std::move(o.slots_);
    return *this;
  }
  FreeList(const FreeList&) = delete;
  FreeList& operator=(const FreeList&) = delete;

  // A copy of the list in order, oldest first.
  std::vector<uint64_t> slots() const {
    std::lock_guard lk(mu_);
    return slots_;
  }

 private:
  friend void free_slot(FreeList& list, uint64_t slot);
  friend std::optional<uint64_t> pop(FreeList& list);
  friend bool freelist_contains(const FreeList& list, uint64_t slot);
  friend Result<void> save_freelist(const FreeList& list, WriteTxn& txn);
  friend std::vector<uint64_t> slots_not_in(const FreeList& list, std::span<const uint64_t> slots);
  friend Result<void> save_freelist_with(const FreeList& list, std::span<const uint64_t> extra,
                                         WriteTxn& txn);

  mutable std::mutex mu_;
  std::vector<uint64_t> slots_;  // guarded by mu_
};

// Appends the slot; it is the next one handed out. The list does not test for
// duplicates: a slot is freed at most once while free. The caller holds `freelist` W.
void free_slot(FreeList& list, uint64_t slot);

// Removes and returns the most recently freed slot, or nullopt when the list is empty.
// The caller holds `freelist` W.
std::optional<uint64_t> pop(FreeList& list);

// Whether the slot is in the list (a linear scan). The caller holds `freelist` R.
bool freelist_contains(const FreeList& list, uint64_t slot);

// Reads the saved list. A missing table, key or an empty value gives the empty list; a
// value shorter than its count says is Serialization; bytes after the last slot are
// ignored.
Result<FreeList> load_freelist(ReadTxn& txn);

// Stores the whole current list under "slots" in the caller's write transaction. The
// caller holds `freelist` R and commits. A failure leaves the in-memory list unchanged.
Result<void> save_freelist(const FreeList& list, WriteTxn& txn);

// The given slots that are not in the list, in their order, each once: one pass over the
// list, whatever its length. The caller holds `freelist` R (or W).
std::vector<uint64_t> slots_not_in(const FreeList& list, std::span<const uint64_t> slots);

// Stores the list as it will be once `extra` is pushed after it, without changing the list
// in memory: the slots are pushed only after the transaction commits. The caller holds
// `freelist` R and commits.
Result<void> save_freelist_with(const FreeList& list, std::span<const uint64_t> extra,
                                WriteTxn& txn);

}  // namespace tornquil
