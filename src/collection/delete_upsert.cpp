// Operations that change or secure what a collection already stores: deleting a committed
// record, replacing a record by id, and making everything durable.
#include <mutex>
#include <shared_mutex>

#include "base/platform.hpp"
#include "collection/collection.hpp"
#include "collection/index_refresh.hpp"
#include "collection/slot_grant.hpp"
#include "collection/vector_check.hpp"
#include "search/hnsw/persist.hpp"
#include "storage/records.hpp"

namespace tornquil {

namespace {

// The record stored under `id` as the write transaction sees it (the last commit, since
// no other writer can commit while it is open). An id too long to be a key is absent.
Result<std::optional<Record>> stored_record(WriteTxn& txn, std::string_view id) {
  if (!check_record_id(id)) return std::optional<Record>();
  TQ_ASSIGN(std::optional<std::string_view> bytes, txn.get(kRecordsTable, id));
  if (!bytes) return std::optional<Record>();
  TQ_ASSIGN(Record r, decode_record(*bytes));
  return std::optional<Record>(std::move(r));
}

// Saves the free list into `txn` as it will be once `freed` (when given) is freed, without
// touching the list in memory: the slot must not be handed out before the transaction
// commits, or a failed commit would leave a stored record naming a slot that a new record
// also uses.
Result<void> save_freelist_freeing(Collection& c, WriteTxn& txn, std::optional<uint64_t> freed) {
  std::shared_lock lk(c.slots.freelist_lock);
  if (freed && !freelist_contains(c.slots.freelist, *freed)) {
    return save_freelist_with(c.slots.freelist, std::span(&*freed, 1), txn);
  }
  return save_freelist(c.slots.freelist, txn);
}

// Transaction 1 of a delete: the record becomes Tombstone, and the free list is saved with
// its slot. Returns whether this call turned a record that names `slot` into a Tombstone,
// and so owns freeing the slot; nullopt when no record naming `slot` is stored any more.
Result<std::optional<bool>> tombstone_record(Collection& c, std::string_view id, uint64_t slot) {
  TQ_ASSIGN(WriteTxn txn, begin_write_txn(*c.meta));
  TQ_ASSIGN(std::optional<Record> rec, stored_record(txn, id));
  if (!rec || rec->slot != slot) return std::optional<bool>();

  // A Tombstone was left by an earlier delete that committed this far: that delete freed
  // the slot, which may even belong to a newer record by now.
  const bool frees = rec->state != RecordState::Tombstone;
  rec->state = RecordState::Tombstone;
  TQ_TRY(put_record(txn, *rec));
  TQ_TRY(save_freelist_freeing(c, txn, frees ? std::optional<uint64_t>(slot) : std::nullopt));
  TQ_TRY(commit_collection_txn(c, txn));
  return std::optional<bool>(frees);
}

// Puts a staged record under its id in place of the committed one, after making its vector
// durable: one write transaction replaces the record and saves the free list with the old
// slot, so a crash leaves the old record or the new one. The old slot is released only
// after the commit. Until the commit names it, the new slot is `grant`'s: an allocation
// failure gives it back on the way out, while a failure the store or the file reports
// leaves it allocated and off the free list, as it leaves a failed add's, for compaction's
// sweep.
Result<void> replace_committed(Collection& c, const Record& fresh, SlotGrant& grant) {
  {
    std::shared_lock lk(c.slots.vectors_lock);
    TQ_TRY(flush_vectors(c.slots.vectors));
  }
  // Set before the record becomes live, so a refresh that reads it is asked for.
  if (c.config.hnsw) c.needs_rebuild.store(true);

  TQ_ASSIGN(WriteTxn txn, begin_write_txn(*c.meta));
  TQ_ASSIGN(std::optional<Record> old, stored_record(txn, fresh.id));
  // A Tombstone's slot was freed by the delete that left it; a record deleted meanwhile
  // leaves nothing to free.
  std::optional<uint64_t> freed;
  if (old && old->state != RecordState::Tombstone) freed = old->slot;
  TQ_TRY(put_record(txn, fresh));
  TQ_TRY(save_freelist_freeing(c, txn, freed));
  TQ_TRY(grant.commit(txn));
  if (freed) TQ_TRY(release_slot(c, *freed));
  return {};
}

// Transaction 2 of a delete: removes the Tombstone, but not a record that replaced it
// under the same id meanwhile.
Result<void> remove_tombstone(Collection& c, std::string_view id, uint64_t slot) {
  TQ_ASSIGN(WriteTxn txn, begin_write_txn(*c.meta));
  TQ_ASSIGN(std::optional<Record> rec, stored_record(txn, id));
  if (!rec || rec->slot != slot || rec->state != RecordState::Tombstone) return {};
  TQ_TRY(remove_record(txn, id));
  return commit_collection_txn(c, txn);
}

// The slot the committed record of `id` names, in any state; nullopt when none is stored.
Result<std::optional<uint64_t>> committed_slot(Collection& c, std::string_view id) {
  TQ_ASSIGN(ReadTxn txn, begin_read_txn(*c.meta));
  TQ_ASSIGN(std::optional<Record> rec, get_record(txn, id));
  if (!rec) return std::optional<uint64_t>();
  return std::optional<uint64_t>(rec->slot);
}

// delete_record, telling whether it removed the record: false when no stored record names
// `slot` under the id any more (deleted or replaced by another writer meanwhile).
Result<bool> delete_committed(Collection& c, std::string_view id, uint64_t slot) {
  {
    std::shared_lock lk(c.slots.vectors_lock);
    if (slot >= c.slots.vectors.slot_count()) {
      return std::unexpected(CoreError::slot_not_allocated(slot));
    }
  }

  {
    // The Tombstone names the slot until it is released, unless a compaction removes it
    // first: from the commit on, the slot counts as held.
    SlotUse use(c.slot_book);
    TQ_ASSIGN(std::optional<bool> frees, tombstone_record(c, id, slot));
    if (!frees) return false;
    if (*frees) {
      TQ_TRY(release_slot(c, slot));
    } else if (c.config.hnsw) {
      c.needs_rebuild.store(true);
    }
  }
  TQ_TRY(remove_tombstone(c, id, slot));
  return true;
}

}  // namespace

Result<void> delete_record(Collection& c, std::string_view id, uint64_t slot) {
  TQ_TRY(delete_committed(c, id, slot));
  return {};
}

Result<bool> delete_by_id(Collection& c, std::string_view id) {
  TQ_TRY(check_not_dropped(c));
  if (!check_record_id(id)) return false;
  // Every buffered copy first: a copy left behind would bring the id back at its flush.
  bool removed = drop_buffered_copies(c, id) > 0;
  for (;;) {
    TQ_ASSIGN(std::optional<uint64_t> slot, committed_slot(c, id));
    if (!slot) break;
    TQ_ASSIGN(bool done, delete_committed(c, id, *slot));
    if (done) {
      removed = true;
      break;
    }
    // Replaced under the same id meanwhile: the newer record is deleted too.
  }
  return removed;
}

Result<void> upsert_record(Collection& c, std::string_view id, std::span<const float> vector,
                           const JsonValue& metadata, std::optional<uint64_t> ttl,
                           bool flush_when_due) {
  TQ_TRY(check_not_dropped(c));
  TQ_TRY(check_dimensions(c.config.dimensions, vector.size()));
  TQ_TRY(check_storable_vector(vector));
  TQ_TRY(check_record_id(id));

  // Every buffered copy goes, or a later flush of one would bring it back over the new
  // record. Waits for a flush that is committing a copy of the id, so that the table read
  // below shows what that flush committed.
  drop_buffered_copies(c, id);
  TQ_ASSIGN(std::optional<uint64_t> committed, committed_slot(c, id));
  if (!committed) {
    // Nothing durable to lose: the new record is buffered like any add.
    TQ_TRY(add_record(c, vector, metadata, std::string(id), ttl, flush_when_due));
    return {};
  }
  // The new slot is held privately until the commit names it, and the old one from the
  // commit until it is released.
  SlotUse use(c.slot_book);
  SlotGrant grant(c);
  TQ_ASSIGN(PendingRecord fresh, stage_record(c, vector, metadata, std::string(id), ttl, grant));
  Result<void> r = replace_committed(c, fresh.record, grant);
  if (!r) grant.named();
  return r;
}

namespace {

// Saves the free list when a change to it has not reached the store yet, so that the slot
// of a dropped buffered copy is not lost to the next open.
Result<void> save_unsaved_freelist(Collection& c) {
  if (!c.slot_book.freelist_unsaved.exchange(false)) return {};
  // Marked again unless the save commits, also when it runs out of memory on the way.
  class MarkUnsaved {
   public:
    explicit MarkUnsaved(std::atomic<bool>& flag) : flag_(flag) {}
    ~MarkUnsaved() {
      if (!saved_) flag_.store(true);
    }
    MarkUnsaved(const MarkUnsaved&) = delete;
    MarkUnsaved& operator=(const MarkUnsaved&) = delete;
    void saved() { saved_ = true; }

   private:
    std::atomic<bool>& flag_;
    bool saved_ = false;
  } mark(c.slot_book.freelist_unsaved);
  TQ_ASSIGN(WriteTxn txn, begin_write_txn(*c.meta));
  {
    std::shared_lock lk(c.slots.freelist_lock);
    TQ_TRY(save_freelist(c.slots.freelist, txn));
  }
  TQ_TRY(commit_collection_txn(c, txn));
  mark.saved();
  return {};
}

}  // namespace

Result<void> sync_collection(Collection& c) {
  TQ_TRY(check_not_dropped(c));
  TQ_TRY(flush_pending(c));
  TQ_TRY(save_unsaved_freelist(c));
  {
    std::shared_lock lk(c.slots.vectors_lock);
    TQ_TRY(flush_vectors(c.slots.vectors));
  }
  TQ_TRY(refresh_index(c));

  std::shared_lock lk(c.hnsw_lock);
  if (!c.hnsw) return {};
  HnswIndex::GraphRead graph = c.hnsw->read_graph();
  return save_index(*graph, platform::join_path(c.dir, kIndexFileName));
}

}  // namespace tornquil
