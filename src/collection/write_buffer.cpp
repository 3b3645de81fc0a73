// The write buffer of a collection: adding a record, committing the buffer, counting, and
// finding or dropping a buffered copy by id, the copies in flight included.
#include <iterator>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "base/json_write.hpp"
#include "base/uuid.hpp"
#include "collection/collection.hpp"
#include "collection/vector_check.hpp"
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
  // Set before the records become live, so a refresh that reads them is asked for, and
  // again once they are: a refresh that cleared the mark set before the commit may have
  // read the records before they were there, and would otherwise leave them out of the
  // graph until some later write.
  if (c.config.hnsw) c.needs_rebuild.store(true);

  TQ_ASSIGN(WriteTxn txn, begin_write_txn(*c.meta));
  for (const PendingRecord& p : taken) TQ_TRY(put_record(txn, p.record));
  {
    std::shared_lock lk(c.slots.freelist_lock);
    TQ_TRY(save_freelist(c.slots.freelist, txn));
  }
  TQ_TRY(commit_collection_txn(c, txn));
  if (c.config.hnsw) c.needs_rebuild.store(true);
  return {};
}

}  // namespace

Result<PendingRecord> stage_record(Collection& c, std::span<const float> vector,
                                   const JsonValue& metadata, std::string id,
                                   std::optional<uint64_t> ttl) {
  TQ_TRY(check_dimensions(c.config.dimensions, vector.size()));
  std::vector<float> prepared = prepare_vector(c.config.metric, vector);

  TQ_ASSIGN(uint64_t slot, allocate_slot(c.slots));
  {
    // From here on a failure leaves the slot allocated and off the free list.
    std::unique_lock lk(c.slots.vectors_lock);
    TQ_TRY(write_vector(c.slots.vectors, slot, prepared));
  }

  const uint64_t now = now_unix_secs();
  PendingRecord p;
  p.record.id = std::move(id);
  p.record.slot = slot;
  p.record.metadata = to_compact_json(metadata);
  p.record.created_at = now;
  p.record.expires_at = expiry_for(now, ttl);
  p.record.state = RecordState::Active;
  p.vector = std::move(prepared);
  return p;
}

Result<std::string> add_record(Collection& c, std::span<const float> vector,
                               const JsonValue& metadata, std::optional<std::string> id,
                               std::optional<uint64_t> ttl, bool flush_when_due) {
  TQ_TRY(check_dimensions(c.config.dimensions, vector.size()));
  TQ_TRY(check_storable_vector(vector));
  if (id) {
    TQ_TRY(check_record_id(*id));
  } else {
    id = new_uuid_v4();
  }
  TQ_ASSIGN(PendingRecord p, stage_record(c, vector, metadata, *id, ttl));

  bool due;
  {
    std::lock_guard lk(c.pending_lock);
    if (c.pending.empty()) c.pending_since_ms.store(now_unix_millis());
    c.pending.push_back(std::move(p));
    due = flush_when_due && flush_due(c);
  }
  if (due) TQ_TRY(flush_pending(c));
  return std::move(*id);
}

Result<void> flush_pending(Collection& c) {
  std::lock_guard flushing(c.flush_lock);
  uint64_t since;
  {
    std::lock_guard lk(c.pending_lock);
    if (c.pending.empty()) return {};
    c.in_flight.swap(c.pending);  // in_flight is empty outside a flush
    since = c.pending_since_ms.load();
  }

  // Only this flush changes in_flight, so it reads the list without pending_lock.
  Result<void> r = commit_records(c, c.in_flight);
  std::lock_guard lk(c.pending_lock);
  if (!r) {
    // Nothing reached the store. The records go back ahead of those added meanwhile, and
    // the buffer keeps the age of its oldest record, so the next add tries again.
    c.in_flight.insert(c.in_flight.end(), std::make_move_iterator(c.pending.begin()),
                       std::make_move_iterator(c.pending.end()));
    c.pending.swap(c.in_flight);
    c.in_flight.clear();
    c.pending_since_ms.store(since);
    return r;
  }
  c.in_flight.clear();
  c.pending_since_ms.store(0);
  return {};
}

namespace {

// Whether the snapshot shows the records in flight. They are committed in one transaction,
// so it shows all of them or none; a record of theirs found under its id with its own slot
// and creation time is that commit (a slot is reused only after the record that named it
// was deleted, and a later writer of the id waits for the flush).
Result<bool> shows_in_flight(ReadTxn& txn, const std::vector<Record>& flying) {
  for (const Record& r : flying) {
    TQ_ASSIGN(std::optional<Record> stored, get_record(txn, r.id));
    if (stored && stored->slot == r.slot && stored->created_at == r.created_at) return true;
  }
  return false;
}

}  // namespace

Result<uint64_t> record_count(Collection& c) {
  uint64_t buffered;
  std::vector<Record> flying;
  std::optional<ReadTxn> txn;
  {
    // The snapshot begins under the buffer's mutex: no record buffered now is in any
    // commit it shows, and of the records in flight it shows all or none.
    std::lock_guard lk(c.pending_lock);
    TQ_ASSIGN(ReadTxn t, begin_read_txn(*c.meta));
    txn.emplace(std::move(t));
    buffered = c.pending.size();
    flying.reserve(c.in_flight.size());
    for (const PendingRecord& p : c.in_flight) flying.push_back(p.record);
  }
  TQ_ASSIGN(uint64_t committed, count_live_records(*txn));
  if (!flying.empty()) {
    TQ_ASSIGN(bool shown, shows_in_flight(*txn, flying));
    if (!shown) buffered += flying.size();
  }
  return committed + buffered;
}

namespace {

bool holds_id(const std::vector<PendingRecord>& records, std::string_view id) {
  for (const PendingRecord& p : records) {
    if (p.record.id == id) return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> buffered_metadata(Collection& c, std::string_view id) {
  std::lock_guard lk(c.pending_lock);
  // The records in flight were buffered ahead of the rest.
  for (const std::vector<PendingRecord>* list : {&c.in_flight, &c.pending}) {
    for (const PendingRecord& p : *list) {
      if (p.record.id == id && is_live(p.record)) return p.record.metadata;
    }
  }
  return std::nullopt;
}

bool drop_buffered_record(Collection& c, std::string_view id) {
  for (;;) {
    {
      std::lock_guard lk(c.pending_lock);
      if (!holds_id(c.in_flight, id)) {
        for (auto it = c.pending.begin(); it != c.pending.end(); ++it) {
          if (it->record.id != id) continue;
          const uint64_t slot = it->record.slot;
          c.pending.erase(it);
          // The buffered copy was never committed, so its slot is free again at once; it
          // gets no deleted marker, since nothing stored names it.
          std::unique_lock fl(c.slots.freelist_lock);
          free_slot(c.slots.freelist, slot);
          return true;
        }
        return false;
      }
    }
    // A running flush is committing a copy of the id. Once it ends, that copy is in the
    // table (or back in the buffer when the flush failed); dropping it from the list now
    // could not stop the commit, which would then undo the caller's delete or upsert.
    std::lock_guard wait(c.flush_lock);
  }
}

}  // namespace tornquil
