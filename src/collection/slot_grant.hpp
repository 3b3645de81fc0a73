// SlotGrant: the slots an operation took for its new records while nothing names them yet,
// given back to the free list when the operation fails before a record names them, so that
// a failure (an allocation failure included) leaks no slot.
//
// A slot in a grant was taken off the free list or appended to the file by this operation
// alone and is named by no stored, buffered or in-flight record; at most the operation's
// own running batch lists it. So it goes back at once, without the deleted marker (nothing
// that a reader looks at names it), and the stored free list catches up at its next save,
// as for a dropped buffered copy (free_buffered_slot).
//
// The caller holds a SlotUse stretch, or the batch registration that lists the slots, for
// the grant's whole life: the grant is declared after it, so that the slots are back on the
// list before the stretch ends and compaction's sweep never finds them in no hand at all.
// A grant is used by the thread that made it; it takes the free list's lock (and that
// list's inner mutex) only to give its slots back, with no other lock of the collection
// held but, at most, the write buffer's mutex (the order of collection.hpp).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "collection/collection.hpp"
#include "storage/free_list.hpp"

namespace tornquil {

class SlotGrant {
 public:
  explicit SlotGrant(Collection& c) : c_(c) {}
  // Gives back whatever the grant still holds. When even that runs out of memory, the
  // slots not pushed yet stay off the list until compaction's sweep finds them.
  ~SlotGrant() {
    const std::span<const uint64_t> slots = held();
    if (slots.empty()) return;
    ignore_allocation_failure([&] {
      std::unique_lock lk(c_.slots.freelist_lock);
      for (uint64_t s : slots) free_slot(c_.slots.freelist, s);
      c_.slot_book.freelist_unsaved.store(true);
    });
  }
  SlotGrant(const SlotGrant&) = delete;
  SlotGrant& operator=(const SlotGrant&) = delete;

  // The one slot just taken.
  void hold(uint64_t slot) {
    named();
    one_ = slot;
    has_one_ = true;
  }
  // Whatever `list` holds when the grant goes: for a list that the allocation fills, which
  // may stop half way. The caller keeps the list for the grant's life.
  void hold_list(const std::vector<uint64_t>& list) {
    named();
    list_ = &list;
  }
  // These slots alone, the grant's own from now on (a move, which cannot fail).
  void hold(std::vector<uint64_t>&& slots) {
    named();
    owned_ = std::move(slots);
  }
  // A record names the slots now (or the slots must stay off the list): nothing goes back.
  void named() {
    has_one_ = false;
    list_ = nullptr;
    owned_.clear();
  }

  // Commits `txn`, which names the held slots. A commit that fails took nothing, and the
  // grant keeps the slots; once it succeeds the records name them, and the grant is empty.
  Result<void> commit(WriteTxn& txn) {
    TQ_TRY(commit_collection_txn(c_, txn));
    named();
    return {};
  }

 private:
  std::span<const uint64_t> held() const {
    if (has_one_) return std::span<const uint64_t>(&one_, 1);
    if (list_ != nullptr) return *list_;
    return owned_;
  }

  Collection& c_;
  uint64_t one_ = 0;
  bool has_one_ = false;
  const std::vector<uint64_t>* list_ = nullptr;
  std::vector<uint64_t> owned_;
};

// A new record for `id` with its vector prepared for the metric and written into a new
// slot (not yet durable), created now, with the expiry of `ttl`: what add buffers and
// upsert commits. The slot goes into `grant`, which gives it back unless the caller lets a
// record name it. DimensionMismatch before anything changes; a slot the file cannot hold
// (the write fails) stays off the free list, as release_slot leaves such a slot. The caller
// holds no lock.
Result<PendingRecord> stage_record(Collection& c, std::span<const float> vector,
                                   const JsonValue& metadata, std::string id,
                                   std::optional<uint64_t> ttl, SlotGrant& grant);

}  // namespace tornquil
