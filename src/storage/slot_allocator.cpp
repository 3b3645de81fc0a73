// Slot allocation across the free list and the vector file.
#include "storage/slot_allocator.hpp"

#include <mutex>

namespace tornquil {

Result<uint64_t> allocate_slot(SlotSpace& space) {
  {
    std::unique_lock lk(space.freelist_lock);
    if (std::optional<uint64_t> reused = pop(space.freelist)) return *reused;
  }
  // The free list was empty; its lock is released before the vector file is touched.
  std::unique_lock lk(space.vectors_lock);
  return append_slot(space.vectors);
}

Result<void> allocate_slots(SlotSpace& space, size_t n, std::vector<uint64_t>& out) {
  const size_t goal = out.size() + n;
  {
    std::unique_lock lk(space.freelist_lock);
    while (out.size() < goal) {
      std::optional<uint64_t> reused = pop(space.freelist);
      if (!reused) break;
      out.push_back(*reused);
    }
  }
  if (out.size() == goal) return {};
  const size_t fresh = goal - out.size();
  std::unique_lock lk(space.vectors_lock);
  // One growth covers every fresh slot of the batch.
  TQ_ASSIGN(uint64_t first, append_slots(space.vectors, fresh));
  for (size_t i = 0; i < fresh; ++i) out.push_back(first + i);
  return {};
}

}  // namespace tornquil
