// Slot ownership: the release of freed slots, the registry of running batches and the
// quiet moments of the slot sweep.
#include "collection/slots.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "collection/collection.hpp"

namespace tornquil {

namespace {

constexpr uint64_t kUnderWay = 0xffffffffu;

// The slots of `slots` that no running batch took, in their order. The others join the
// deferred slots of the batch that took them.
std::vector<uint64_t> defer_to_batches(Collection& c, std::vector<uint64_t> slots) {
  std::lock_guard lk(c.slot_book.batches_lock);
  if (c.slot_book.batches.empty()) return slots;
  std::erase_if(slots, [&c](uint64_t s) {
    for (RunningBatch& b : c.slot_book.batches) {
      if (std::binary_search(b.slots.begin(), b.slots.end(), s)) {
        b.deferred.push_back(s);
        return true;
      }
    }
    return false;
  });
  return slots;
}

// Takes the slots out of the graph where its slot map names them; marks the index for a
// rebuild when it held any, or when the collection has graph parameters but no index yet.
void unindex_slots(Collection& c, std::span<const uint64_t> slots) {
  if (!c.config.hnsw || slots.empty()) return;
  std::shared_lock lk(c.hnsw_lock);
  if (!c.hnsw) {
    c.needs_rebuild.store(true);
    return;
  }
  std::vector<uint64_t> held;
  {
    HnswIndex::GraphWrite g = c.hnsw->write_graph();
    for (uint64_t s : slots) {
      if (g->slot_to_node.erase(s) != 0) held.push_back(s);
    }
  }
  if (held.empty()) return;  // the graph, its slot map and its saved file stay as they are
  {
    HnswIndex::DeletedWrite d = c.hnsw->write_deleted();
    d->insert(held.begin(), held.end());
  }
  c.needs_rebuild.store(true);
}

// The release of release_slot and release_slots. `first_error` receives the failure of the
// first slot that could not take the marker.
uint64_t release(Collection& c, std::span<const uint64_t> slots,
                 std::optional<CoreError>* first_error) {
  std::vector<uint64_t> rest;
  {
    std::shared_lock lk(c.slots.freelist_lock);
    rest = slots_not_in(c.slots.freelist, slots);  // each once, those already free left out
  }
  rest = defer_to_batches(c, std::move(rest));
  if (rest.empty()) return 0;

  uint64_t held_vectors = 0;
  std::vector<uint64_t> marked;
  marked.reserve(rest.size());
  {
    std::unique_lock lk(c.slots.vectors_lock);
    for (uint64_t s : rest) {
      const std::span<const float> v = c.slots.vectors.slot_view(s);
      const bool held_vector = !v.empty() && !std::isnan(v[0]);
      Result<void> r = write_deleted_marker(c.slots.vectors, s);
      if (!r) {
        if (first_error && !*first_error) *first_error = r.error();
        continue;
      }
      held_vectors += held_vector ? 1 : 0;
      marked.push_back(s);
    }
  }
  unindex_slots(c, marked);

  std::unique_lock lk(c.slots.freelist_lock);
  // Looked for again: only a release of the same slot running alongside could have pushed
  // it since, and two pushes would hand it to two records.
  for (uint64_t s : slots_not_in(c.slots.freelist, marked)) free_slot(c.slots.freelist, s);
  // The caller's transaction saved the list with the slots, but another transaction may
  // have saved the list in memory since, before these pushes: the next sync saves it again.
  c.slot_book.freelist_unsaved.store(true);
  return held_vectors;
}

}  // namespace

std::optional<uint64_t> quiet_moment(const SlotBook& book) {
  const uint64_t now = book.use.load();
  if ((now & kUnderWay) != 0) return std::nullopt;
  return now;
}

bool still_quiet(const SlotBook& book, uint64_t moment) { return book.use.load() == moment; }

BatchRegistration::BatchRegistration(Collection& c, const std::vector<uint64_t>& slots) : c_(c) {
  RunningBatch b;
  b.slots = slots;
  std::sort(b.slots.begin(), b.slots.end());
  std::lock_guard lk(c_.slot_book.batches_lock);
  it_ = c_.slot_book.batches.insert(c_.slot_book.batches.end(), std::move(b));
}

BatchRegistration::~BatchRegistration() {
  // The deferred slots are named by nothing once the batch is gone, until released.
  SlotUse use(c_.slot_book);
  std::vector<uint64_t> deferred;
  {
    std::lock_guard lk(c_.slot_book.batches_lock);
    deferred = std::move(it_->deferred);
    c_.slot_book.batches.erase(it_);
  }
  // Released in ascending order. A slot whose release fails (memory running out included:
  // a destructor cannot throw) stays off the free list until compaction's sweep.
  std::sort(deferred.begin(), deferred.end());
  ignore_allocation_failure([&] { (void)release_slots(c_, deferred); });
}

std::vector<uint64_t> running_batch_slots(Collection& c) {
  std::vector<uint64_t> out;
  {
    std::lock_guard lk(c.slot_book.batches_lock);
    for (const RunningBatch& b : c.slot_book.batches) {
      out.insert(out.end(), b.slots.begin(), b.slots.end());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

Result<void> release_slot(Collection& c, uint64_t slot) {
  std::optional<CoreError> error;
  release(c, std::span(&slot, 1), &error);
  if (error) return std::unexpected(std::move(*error));
  return {};
}

uint64_t release_slots(Collection& c, std::span<const uint64_t> slots) {
  return release(c, slots, nullptr);
}

void free_buffered_slot(Collection& c, uint64_t slot) {
  std::unique_lock lk(c.slots.freelist_lock);
  free_slot(c.slots.freelist, slot);
  c.slot_book.freelist_unsaved.store(true);
}

}  // namespace tornquil
