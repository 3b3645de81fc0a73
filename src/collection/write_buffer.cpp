// The write buffer of a collection: adding a record, committing the buffer, counting, and
// finding or dropping a buffered copy by id.
#include <iterator>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "base/json_write.hpp"
#include "base/uuid.hpp"
#include "collection/collection.hpp"
#include "search/distance.hpp"
#include "storage/records.hpp"

namespace tornquil {

namespace {

// Whether the buffer, as it stands, must be flushed. The caller holds pending_lock.
bool flush_due(const Collection& c) {
  const uint64_t n = c.pending.size();
  if (n == 0) return false;  // another thread flushed meanwhile
  if (n >= c.flush_threshold) return true;
  if (c.flush_interval_ms == 0) return c.flush_threshold == 0;
  const uint64_t now = now_unix_millis();
  const uint64_t since = c.pending_since_ms.load();
  const uint64_t age = now > since ? now - since : 0;
  return age >= c.flush_interval_ms;
}

// Makes the vectors durable, then commits the taken records and the free list together.
Result<void> commit_records(Collection& c, const std::vector<PendingRecord>& taken) {
  {
    std::shared_lock lk(c.slots.vectors_lock);
    TQ_TRY(flush_vectors(c.slots.vectors));
  }
  // Set before the records become live, so a refresh that reads them is asked for.
  if (c.config.hnsw) c.needs_rebuild.store(true);

  TQ_ASSIGN(WriteTxn txn, begin_write_txn(*c.meta));
  for (const PendingRecord& p : taken) TQ_TRY(put_record(txn, p.record));
  {
    std::shared_lock lk(c.slots.freelist_lock);
    TQ_TRY(save_freelist(c.slots.freelist, txn));
  }
  return commit_collection_txn(c, txn);
}

}  // namespace

Result<std::string> add_record(Collection& c, std::span<const float> vector,
                               const JsonValue& metadata, std::optional<std::string> id,
                               std::optional<uint64_t> ttl) {
  TQ_TRY(check_dimensions(c.config.dimensions, vector.size()));
  if (id) {
    TQ_TRY(check_record_id(*id));
  } else {
    id = new_uuid_v4();
  }
  std::vector<float> prepared = prepare_vector(c.config.metric, vector);

  TQ_ASSIGN(uint64_t slot, allocate_slot(c.slots));
  {
    // From here on a failure leaves the slot allocated and off the free list.
    std::unique_lock lk(c.slots.vectors_lock);
    TQ_TRY(write_vector(c.slots.vectors, slot, prepared));
  }

  const uint64_t now = now_unix_secs();
  PendingRecord p;
  p.record.id = *id;
  p.record.slot = slot;
  p.record.metadata = to_compact_json(metadata);
  p.record.created_at = now;
  if (ttl) p.record.expires_at = now + *ttl;  // wraps modulo 2^64, as stored
  p.record.state = RecordState::Active;
  p.vector = std::move(prepared);

  bool due;
  {
    std::lock_guard lk(c.pending_lock);
    if (c.pending.empty()) c.pending_since_ms.store(now_unix_millis());
    c.pending.push_back(std::move(p));
    due = flush_due(c);
  }
  if (due) TQ_TRY(flush_pending(c));
  return std::move(*id);
}

Result<void> flush_pending(Collection& c) {
  std::lock_guard flushing(c.flush_lock);
  std::vector<PendingRecord> taken;
  uint64_t since;
  {
    std::lock_guard lk(c.pending_lock);
    if (c.pending.empty()) return {};
    taken.swap(c.pending);
    since = c.pending_since_ms.load();
  }

  Result<void> r = commit_records(c, taken);
  if (!r) {
    // Nothing reached the store. The records go back ahead of those added meanwhile, and
    // the buffer keeps the age of its oldest record, so the next add tries again.
    std::lock_guard lk(c.pending_lock);
    taken.insert(taken.end(), std::make_move_iterator(c.pending.begin()),
                 std::make_move_iterator(c.pending.end()));
    c.pending.swap(taken);
    c.pending_since_ms.store(since);
    return r;
  }
  c.pending_since_ms.store(0);
  return {};
}

Result<uint64_t> record_count(Collection& c) {
  uint64_t committed;
  {
    TQ_ASSIGN(ReadTxn txn, begin_read_txn(*c.meta));
    TQ_ASSIGN(committed, count_live_records(txn));
  }
  std::lock_guard lk(c.pending_lock);
  return committed + c.pending.size();
}

std::optional<std::string> buffered_metadata(Collection& c, std::string_view id) {
  std::lock_guard lk(c.pending_lock);
  for (const PendingRecord& p : c.pending) {
    if (p.record.id == id && is_live(p.record)) return p.record.metadata;
  }
  return std::nullopt;
}

bool drop_buffered_record(Collection& c, std::string_view id) {
  std::lock_guard lk(c.pending_lock);
  for (auto it = c.pending.begin(); it != c.pending.end(); ++it) {
    if (it->record.id != id) continue;
    const uint64_t slot = it->record.slot;
    c.pending.erase(it);
    // The buffered copy was never committed, so its slot is free again at once; it gets
    // no deleted marker, since nothing stored names it.
    std::unique_lock fl(c.slots.freelist_lock);
    free_slot(c.slots.freelist, slot);
    return true;
  }
  return false;
}

}  // namespace tornquil
