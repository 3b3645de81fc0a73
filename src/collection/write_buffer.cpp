// The write buffer of a collection: adding a record, committing the buffer, counting, and
// finding or dropping a buffered copy by id, the copies in flight included.
//
// One id may have several copies at once: buffered ones (in flight and in the buffer) and a
// committed one. The newest copy is the record: the last buffered copy, else the committed
// record. Readers see that copy alone, and the flush stores it alone.
#include <algorithm>
#include <iterator>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "base/json_write.hpp"
#include "base/uuid.hpp"
#include "collection/collection.hpp"
#include "collection/slot_grant.hpp"
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

// The slot a stored record names, when replacing it must free that slot: a record that
// cannot be decoded is replaced without freeing anything, and a Tombstone's slot was freed
// by its delete.
std::optional<uint64_t> slot_to_free(std::string_view stored, uint64_t new_slot) {
  Result<RecordView> old = decode_record_view(stored);
  if (!old || old->state == RecordState::Tombstone || old->slot == new_slot) return std::nullopt;
  return old->slot;
}

// Makes the vectors durable, then commits the taken records and the free list together. The
// list is saved as it will be once `freed` is released: `freed` receives the slots that the
// commit stops naming (records replaced, older copies of one id), and stays empty when the
// commit fails.
Result<void> commit_records(Collection& c, const std::vector<PendingRecord>& taken,
                            std::vector<uint64_t>& freed) {
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
  std::vector<uint64_t> replaced;
  for (const PendingRecord& p : taken) {
    // The transaction sees its own puts, so an older copy put just before is found too.
    TQ_ASSIGN(std::optional<std::string_view> stored, txn.get(kRecordsTable, p.record.id));
    if (stored) {
      if (std::optional<uint64_t> s = slot_to_free(*stored, p.record.slot)) replaced.push_back(*s);
    }
    TQ_TRY(put_record(txn, p.record));
  }
  std::vector<uint64_t> fresh;
  {
    std::shared_lock lk(c.slots.freelist_lock);
    fresh = slots_not_in(c.slots.freelist, replaced);
    TQ_TRY(save_freelist_with(c.slots.freelist, fresh, txn));
  }
  TQ_TRY(commit_collection_txn(c, txn));
  if (c.config.hnsw) c.needs_rebuild.store(true);
  freed = std::move(fresh);
  return {};
}

}  // namespace

Result<void> check_not_dropped(const Collection& c) {
  if (!c.dropped.load()) return {};
  return std::unexpected(CoreError::collection_not_found(c.config.name));
}

Result<PendingRecord> stage_record(Collection& c, std::span<const float> vector,
                                   const JsonValue& metadata, std::string id,
                                   std::optional<uint64_t> ttl, SlotGrant& grant) {
  TQ_TRY(check_dimensions(c.config.dimensions, vector.size()));
  // Everything that allocates comes before the slot is taken.
  const uint64_t now = now_unix_secs();
  PendingRecord p;
  p.record.id = std::move(id);
  p.record.metadata = to_compact_json(metadata);
  p.record.created_at = now;
  p.record.expires_at = expiry_for(now, ttl);
  p.record.state = RecordState::Active;
  p.vector = prepare_vector(c.config.metric, vector);

  TQ_ASSIGN(p.record.slot, allocate_slot(c.slots));
  grant.hold(p.record.slot);
  std::unique_lock lk(c.slots.vectors_lock);
  if (Result<void> r = write_vector(c.slots.vectors, p.record.slot, p.vector); !r) {
    // A slot the file cannot hold is not offered again, as release_slot leaves it.
    grant.named();
    return std::unexpected(std::move(r).error());
  }
  return p;
}

Result<std::string> add_record(Collection& c, std::span<const float> vector,
                               const JsonValue& metadata, std::optional<std::string> id,
                               std::optional<uint64_t> ttl, bool flush_when_due) {
  TQ_TRY(check_not_dropped(c));
  TQ_TRY(check_dimensions(c.config.dimensions, vector.size()));
  TQ_TRY(check_storable_vector(vector));
  if (id) {
    TQ_TRY(check_record_id(*id));
  } else {
    id = new_uuid_v4();
  }

  bool due;
  {
    // The slot is held privately from its allocation until the buffer names it, and goes
    // back when the buffer has no room for the record.
    SlotUse use(c.slot_book);
    SlotGrant grant(c);
    TQ_ASSIGN(PendingRecord p, stage_record(c, vector, metadata, *id, ttl, grant));
    std::lock_guard lk(c.pending_lock);
    c.pending.push_back(std::move(p));
    grant.named();
    if (c.pending.size() == 1) c.pending_since_ms.store(now_unix_millis());
    due = flush_when_due && flush_due(c);
  }
  if (due) TQ_TRY(flush_pending(c));
  return std::move(*id);
}

namespace {

// Puts the records of a flush that committed nothing back into the buffer, ahead of those
// added meanwhile, unless the flush let it go after its commit. The buffer keeps the age of
// its oldest record, so the next add tries again. When there is no memory to join the two
// lists, the records stay in flight, which readers take for buffered records ahead of the
// buffer all the same, and the next flush commits them first.
class PutBack {
 public:
  PutBack(Collection& c, uint64_t since) : c_(c), since_(since) {}
  ~PutBack() {
    if (!armed_) return;
    std::lock_guard lk(c_.pending_lock);
    // A move-only record moves without failing, so the join either happens or leaves both
    // lists as they are.
    ignore_allocation_failure([this] {
      c_.in_flight.insert(c_.in_flight.end(), std::make_move_iterator(c_.pending.begin()),
                          std::make_move_iterator(c_.pending.end()));
      c_.pending.swap(c_.in_flight);
      c_.in_flight.clear();
    });
    c_.pending_since_ms.store(since_);
  }
  PutBack(const PutBack&) = delete;
  PutBack& operator=(const PutBack&) = delete;

  void committed() { armed_ = false; }

 private:
  Collection& c_;
  uint64_t since_;
  bool armed_ = true;
};

}  // namespace

Result<void> flush_pending(Collection& c) {
  TQ_TRY(check_not_dropped(c));
  std::lock_guard flushing(c.flush_lock);
  uint64_t since;
  {
    std::lock_guard lk(c.pending_lock);
    if (c.in_flight.empty()) {
      if (c.pending.empty()) return {};
      c.in_flight.swap(c.pending);
    } else {
      // Records an earlier flush had no memory to put back: older than the buffer, they
      // are committed with it, ahead of it. Joining the lists changes nothing when it fails.
      c.in_flight.insert(c.in_flight.end(), std::make_move_iterator(c.pending.begin()),
                         std::make_move_iterator(c.pending.end()));
      c.pending.clear();
    }
    since = c.pending_since_ms.load();
  }

  // The slots the commit stops naming are held privately until they are released.
  SlotUse use(c.slot_book);
  std::vector<uint64_t> freed;
  {
    // Nothing reached the store unless the commit returned success.
    PutBack back(c, since);
    // Only this flush changes in_flight, so it reads the list without pending_lock.
    TQ_TRY(commit_records(c, c.in_flight, freed));
    back.committed();
  }
  {
    std::lock_guard lk(c.pending_lock);
    c.in_flight.clear();
    c.pending_since_ms.store(0);
  }
  // The records are committed, whatever becomes of these: a slot whose release fails (for
  // want of memory too) stays off the free list until compaction's sweep gives it back.
  ignore_allocation_failure([&] { (void)release_slots(c, freed); });
  return {};
}

Result<uint64_t> record_count(Collection& c) {
  TQ_TRY(check_not_dropped(c));
  std::vector<std::string> ids;
  std::optional<ReadTxn> txn;
  {
    // The snapshot begins under the buffer's mutex: no record buffered now is in any commit
    // it shows, and of the records in flight it shows all or none. Either way each buffered
    // id counts once below, and its committed record (the one in flight or an older one)
    // not at all.
    std::lock_guard lk(c.pending_lock);
    TQ_ASSIGN(ReadTxn t, begin_read_txn(*c.meta));
    txn.emplace(std::move(t));
    ids.reserve(c.in_flight.size() + c.pending.size());
    for (const std::vector<PendingRecord>* list : {&c.in_flight, &c.pending}) {
      for (const PendingRecord& p : *list) ids.push_back(p.record.id);
    }
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  TQ_ASSIGN(uint64_t committed, count_live_records(*txn));
  for (const std::string& id : ids) {
    TQ_ASSIGN(std::optional<RecordView> stored, get_record_view(*txn, id));
    if (stored && is_live(*stored)) --committed;  // hidden by the buffered copy
  }
  return committed + ids.size();
}

namespace {

bool holds_id(const std::vector<PendingRecord>& records, std::string_view id) {
  for (const PendingRecord& p : records) {
    if (p.record.id == id) return true;
  }
  return false;
}

}  // namespace

std::vector<bool> newest_copies(std::span<const std::vector<PendingRecord>* const> lists) {
  std::vector<const PendingRecord*> all;
  for (const std::vector<PendingRecord>* list : lists) {
    for (const PendingRecord& p : *list) all.push_back(&p);
  }
  std::vector<uint32_t> order(all.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  // By id, then by position: the last of each run of one id is its newest copy.
  std::sort(order.begin(), order.end(), [&all](uint32_t a, uint32_t b) {
    const int cmp = all[a]->record.id.compare(all[b]->record.id);
    return cmp != 0 ? cmp < 0 : a < b;
  });
  std::vector<bool> newest(all.size(), false);
  for (size_t i = 0; i < order.size(); ++i) {
    const bool last =
        i + 1 == order.size() || all[order[i + 1]]->record.id != all[order[i]]->record.id;
    if (last) newest[order[i]] = true;
  }
  return newest;
}

BufferedCopy buffered_copy(Collection& c, std::string_view id) {
  BufferedCopy out;
  std::lock_guard lk(c.pending_lock);
  // The newest copy is the last one; the records in flight were buffered ahead of the rest.
  for (const std::vector<PendingRecord>* list : {&c.pending, &c.in_flight}) {
    for (auto it = list->rbegin(); it != list->rend(); ++it) {
      if (it->record.id != id) continue;
      out.found = true;
      out.live = is_live(it->record);
      if (out.live) out.metadata = it->record.metadata;
      return out;
    }
  }
  return out;
}

namespace {

// Removes the first record of `list` with this id and frees its slot; false when none has
// it. The caller holds pending_lock, and flush_lock too when `list` is in_flight.
bool drop_first(Collection& c, std::vector<PendingRecord>& list, std::string_view id) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->record.id != id) continue;
    // The copy was never committed, so its slot is free again at once. Freed before the
    // copy goes: when there is no memory to push the slot, the copy stays as it was.
    free_buffered_slot(c, it->record.slot);
    list.erase(it);
    return true;
  }
  return false;
}

}  // namespace

bool drop_buffered_record(Collection& c, std::string_view id) {
  {
    std::lock_guard lk(c.pending_lock);
    if (!holds_id(c.in_flight, id)) return drop_first(c, c.pending, id);
  }
  // A running flush is committing a copy of the id. Once it ends, that copy is in the table
  // (or back in the buffer when the flush failed); dropping it from the list now could not
  // stop the commit, which would then undo the caller's delete or upsert. While this holds
  // flush_lock no flush runs, so records still in flight then are those a failed flush had
  // no memory to put back, older than the buffer.
  std::lock_guard wait(c.flush_lock);
  std::lock_guard lk(c.pending_lock);
  return drop_first(c, c.in_flight, id) || drop_first(c, c.pending, id);
}

size_t drop_buffered_copies(Collection& c, std::string_view id) {
  size_t n = 0;
  while (drop_buffered_record(c, id)) ++n;
  return n;
}

}  // namespace tornquil
