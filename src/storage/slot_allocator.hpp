// SlotSpace: the free list and the vector file of one collection, each behind its own
// reader-writer lock, and allocate_slot, the one operation that needs both.
//
// Locks: `freelist_lock` guards `freelist` (push and pop W; save and membership test R);
// `vectors_lock` guards `vectors` (growth, vector writes and the deleted marker W; reads,
// the mapped length and flushes R). The two are never held together: allocate_slot
// releases `freelist_lock` before it takes `vectors_lock`. In the collection's lock
// order `freelist` may be taken while holding the write buffer's mutex, and `vectors`
// while holding the index lock; neither is held while a write transaction begins.
#pragma once

#include <cstdint>
#include <shared_mutex>
#include <vector>

#include "base/error.hpp"
#include "base/platform.hpp"
#include "storage/free_list.hpp"
#include "storage/vector_file.hpp"

namespace tornquil {

struct SlotSpace {
  SlotSpace(VectorStorage v, FreeList f) : freelist(std::move(f)), vectors(std::move(v)) {}
  SlotSpace(const SlotSpace&) = delete;
  SlotSpace& operator=(const SlotSpace&) = delete;

  platform::RwLock freelist_lock;
  FreeList freelist;  // guarded by freelist_lock
  platform::RwLock vectors_lock;
  VectorStorage vectors;  // guarded by vectors_lock
};

// A slot for a new vector: the most recently freed one when the free list has any (the
// header and slot_count untouched), otherwise a fresh slot at the end of the file, which
// grows first when full. A failed growth returns Io and the collection stays usable.
// The caller holds neither lock.
Result<uint64_t> allocate_slot(SlotSpace& space);

// Slots for n new vectors, appended to `out` in the order that n calls of allocate_slot
// would give them when nothing else runs meanwhile, but taking each lock once: freed slots
// first, most recently freed first, then fresh ones, consecutive, for which the file grows
// at most once. A failed growth returns Io and takes no fresh slot; the freed slots
// appended to `out` before it stay taken (off the free list). The caller holds neither lock.
Result<void> allocate_slots(SlotSpace& space, size_t n, std::vector<uint64_t>& out);

}  // namespace tornquil
