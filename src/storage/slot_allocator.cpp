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

}  // namespace tornquil
