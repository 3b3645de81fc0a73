// The free list's operations and its stored form.
#include "storage/free_list.hpp"

#include <algorithm>
#include <string>
#include <unordered_set>

#include "base/codec.hpp"

namespace tornquil {

void free_slot(FreeList& list, uint64_t slot) {
  std::lock_guard lk(list.mu_);
  list.slots_.push_back(slot);
}

std::optional<uint64_t> pop(FreeList& list) {
  std::lock_guard lk(list.mu_);
  if (list.slots_.empty()) return std::nullopt;
  const uint64_t slot = list.slots_.back();
  list.slots_.pop_back();
  return slot;
}

bool freelist_contains(const FreeList& list, uint64_t slot) {
  std::lock_guard lk(list.mu_);
  return std::find(list.slots_.begin(), list.slots_.end(), slot) != list.slots_.end();
}

Result<FreeList> load_freelist(ReadTxn& txn) {
  TQ_ASSIGN(std::optional<std::string_view> value, txn.get(kFreelistTable, kFreelistKey));
  if (!value || value->empty()) return FreeList();
  Reader r(*value);
  TQ_ASSIGN(std::vector<uint64_t> slots, decode_u64_vec(r));
  return FreeList(std::move(slots));
}

Result<void> save_freelist(const FreeList& list, WriteTxn& txn) {
  return save_freelist_with(list, {}, txn);
}

std::vector<uint64_t> slots_not_in(const FreeList& list, std::span<const uint64_t> slots) {
  std::unordered_set<uint64_t> wanted(slots.begin(), slots.end());
  {
    std::lock_guard lk(list.mu_);
    for (uint64_t s : list.slots_) {
      if (wanted.empty()) break;
      wanted.erase(s);
    }
  }
  std::vector<uint64_t> out;
  out.reserve(wanted.size());
  for (uint64_t s : slots) {
    if (wanted.erase(s) != 0) out.push_back(s);  // erasing keeps a repeated slot to one
  }
  return out;
}

Result<void> save_freelist_with(const FreeList& list, std::span<const uint64_t> extra,
                                WriteTxn& txn) {
  std::string bytes;
  {
    std::lock_guard lk(list.mu_);
    const size_t n = list.slots_.size() + extra.size();
    bytes.reserve(8 + 8 * n);
    Writer w(bytes);
    w.u64(n);
    for (uint64_t s : list.slots_) w.u64(s);
    for (uint64_t s : extra) w.u64(s);
  }
  return txn.put(kFreelistTable, kFreelistKey, bytes);
}

}  // namespace tornquil
