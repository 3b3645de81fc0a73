// Compaction of a collection's record table: one scan, removal group by group, then the
// sweep of slots that nothing names.
#include "collection/compact.hpp"

#include <algorithm>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/platform.hpp"
#include "collection/collection.hpp"
#include "storage/records.hpp"

namespace tornquil {

namespace {

// A set of slot numbers below a bound, one bit each; slots at or above it are never members.
class SlotSet {
 public:
  explicit SlotSet(uint64_t bound) : bound_(bound), words_((bound + 63) / 64) {}
  bool contains(uint64_t s) const { return s < bound_ && ((words_[s >> 6] >> (s & 63)) & 1); }
  void insert(uint64_t s) {
    if (s < bound_) words_[s >> 6] |= uint64_t{1} << (s & 63);
  }

 private:
  uint64_t bound_;
  std::vector<uint64_t> words_;
};

// Why the scan found a record dead.
enum class Cause : uint8_t { Expired, Tombstone, Abandoned };

// One record found dead by the scan, with what identifies it when it is removed.
struct Removal {
  std::string id;
  uint64_t slot = 0;
  uint64_t created_at = 0;
  std::optional<uint64_t> expires_at;
  Cause cause = Cause::Expired;
};

struct ScanResult {
  std::vector<Removal> removals;  // in key order
  uint64_t expired = 0;
  uint64_t tombstones = 0;  // Tombstones and abandoned Pending records
  // Slots allocated when the scan began; no slot at or above it is marked or freed.
  uint64_t slot_bound = 0;
  // Slots that must not be marked or freed: those named by records that stay (committed,
  // buffered or a running batch's), those already free when the scan began (another record
  // may have taken them since), and those this call has freed.
  SlotSet untouchable{0};
};

// A read snapshot of the table begun under the buffer's mutex, so that a buffered record is
// either in the buffer then or in the snapshot; the slots of the buffered and in-flight
// records are appended to `slots`.
Result<ReadTxn> begin_snapshot_with_buffer(Collection& c, std::vector<uint64_t>& slots) {
  std::lock_guard lk(c.pending_lock);
  TQ_ASSIGN(ReadTxn txn, begin_read_txn(*c.meta));
  for (const std::vector<PendingRecord>* list : {&c.in_flight, &c.pending}) {
    for (const PendingRecord& p : *list) slots.push_back(p.record.slot);
  }
  return txn;
}

Result<ScanResult> scan_records(Collection& c) {
  ScanResult out;
  std::vector<uint64_t> buffered;
  TQ_ASSIGN(ReadTxn snapshot, begin_snapshot_with_buffer(c, buffered));
  std::optional<ReadTxn> txn(std::move(snapshot));
  // Every record of the snapshot was committed with a slot already allocated, so a slot
  // at or above this count comes from a damaged record.
  {
    std::shared_lock lk(c.slots.vectors_lock);
    out.slot_bound = c.slots.vectors.slot_count();
  }
  out.untouchable = SlotSet(out.slot_bound);
  for (uint64_t s : buffered) out.untouchable.insert(s);
  // Read after the snapshot began: a batch whose Pending records the snapshot shows had
  // registered before its first commit, so it is listed here unless it has ended since.
  const std::vector<uint64_t> running = running_batch_slots(c);
  {
    std::shared_lock lk(c.slots.freelist_lock);
    for (uint64_t s : c.slots.freelist.slots()) out.untouchable.insert(s);
  }

  {
    TQ_ASSIGN(Cursor cur, txn->cursor(kRecordsTable));
    std::string_view key, value;
    for (;;) {
      TQ_ASSIGN(bool more, cur.next(key, value));
      if (!more) break;
      TQ_ASSIGN(RecordView r, decode_record_view(value));
      // A running batch's record is its own until the batch ends, expired or not.
      if (r.state == RecordState::Pending &&
          std::binary_search(running.begin(), running.end(), r.slot)) {
        out.untouchable.insert(r.slot);
        continue;
      }
      // Expiry first: an expired record counts as expired whatever its state.
      Cause cause;
      if (r.expires_at && now_unix_secs() >= *r.expires_at) {
        cause = Cause::Expired;
      } else if (r.state == RecordState::Tombstone) {
        cause = Cause::Tombstone;
      } else if (r.state == RecordState::Pending) {
        // Only this process can hold the store, and none of its batches owns the record:
        // its batch is gone and nothing will ever promote it.
        cause = Cause::Abandoned;
      } else {
        out.untouchable.insert(r.slot);
        continue;
      }
      out.removals.push_back(Removal{std::string(r.id), r.slot, r.created_at, r.expires_at, cause});
      ++(cause == Cause::Expired ? out.expired : out.tombstones);
    }
  }
  return out;
}

// Whether the stored record is still the one the scan found dead. A record replaced or
// deleted meanwhile is left to whoever changed it.
bool same_record(const RecordView& r, const Removal& e) {
  if (r.slot != e.slot || r.created_at != e.created_at) return false;
  switch (e.cause) {
    case Cause::Expired:
      return r.expires_at == e.expires_at;
    case Cause::Tombstone:
      return r.state == RecordState::Tombstone;
    case Cause::Abandoned:
      return r.state == RecordState::Pending;
  }
  return false;
}

// Saves the free list as it will be with `slots` pushed, in a transaction of its own.
Result<void> save_freed(Collection& c, WriteTxn& txn, std::span<const uint64_t> slots,
                        std::vector<uint64_t>& fresh) {
  std::shared_lock lk(c.slots.freelist_lock);
  fresh = slots_not_in(c.slots.freelist, slots);
  return save_freelist_with(c.slots.freelist, fresh, txn);
}

// Releases slots that a committed transaction stopped naming and saved in the free list.
// Returns the bytes marked.
uint64_t release_freed(Collection& c, const std::vector<uint64_t>& fresh) {
  return release_slots(c, fresh) * c.config.dimensions * 4;
}

// Removes one group in one write transaction that also stores the free list as it will be;
// after the commit, releases the group's slots. Returns the bytes marked.
Result<uint64_t> remove_group(Collection& c, std::span<const Removal> group, ScanResult& scan) {
  // Slots whose bytes lie past the mapping cannot take the marker and are not freed. The
  // mapping only grows, so what is inside now stays inside.
  std::vector<bool> mapped(group.size());
  {
    std::shared_lock lk(c.slots.vectors_lock);
    for (size_t i = 0; i < group.size(); ++i) {
      mapped[i] = !c.slots.vectors.slot_view(group[i].slot).empty();
    }
  }

  TQ_ASSIGN(WriteTxn txn, begin_write_txn(*c.meta));
  std::vector<uint64_t> candidates;
  candidates.reserve(group.size());
  for (size_t i = 0; i < group.size(); ++i) {
    const Removal& e = group[i];
    TQ_ASSIGN(std::optional<std::string_view> bytes, txn.get(kRecordsTable, e.id));
    if (!bytes) continue;
    TQ_ASSIGN(RecordView r, decode_record_view(*bytes));
    if (!same_record(r, e)) continue;
    // A Tombstone's slot is its delete's to free (that delete saved it in the free list
    // already); a record that became a Tombstone since the scan has a delete under way.
    // Slots that nobody frees come back through the sweep.
    const bool frees = e.cause != Cause::Tombstone && r.state != RecordState::Tombstone &&
                       mapped[i] && e.slot < scan.slot_bound && !scan.untouchable.contains(e.slot);
    TQ_TRY(remove_record(txn, e.id));
    if (frees && std::find(candidates.begin(), candidates.end(), e.slot) == candidates.end()) {
      candidates.push_back(e.slot);
    }
  }

  std::vector<uint64_t> fresh;
  TQ_TRY(save_freed(c, txn, candidates, fresh));
  TQ_TRY(commit_collection_txn(c, txn));

  // Committed: no stored record names these slots any more. Each is marked before it is
  // pushed, so that no new vector written into a reused slot is overwritten.
  for (uint64_t s : fresh) scan.untouchable.insert(s);
  return release_freed(c, fresh);
}

// Attempts at finding a moment when no slot is held privately, and the pause between them.
constexpr int kSweepAttempts = 200;
constexpr auto kSweepPause = std::chrono::microseconds(200);

// The slots below slot_count that no stored record, buffered or in-flight record or running
// batch names, that the free list does not hold and that lie inside the mapping: slots a
// kill or an older version leaked. Looked for at a moment when no operation held a slot
// privately (SlotUse); when no such moment comes, none is given (the next compaction tries
// again). A leaked slot stays leaked until it is freed, so what this finds may be freed
// after the look.
Result<std::vector<uint64_t>> leaked_slots(Collection& c) {
  for (int attempt = 0; attempt < kSweepAttempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(kSweepPause);
    const std::optional<uint64_t> moment = quiet_moment(c.slot_book);
    if (!moment) continue;
    uint64_t bound;
    {
      std::shared_lock lk(c.slots.vectors_lock);
      bound = c.slots.vectors.slot_count();
    }
    SlotSet named(bound);
    std::vector<uint64_t> buffered;
    TQ_ASSIGN(ReadTxn snapshot, begin_snapshot_with_buffer(c, buffered));
    std::optional<ReadTxn> txn(std::move(snapshot));
    for (uint64_t s : buffered) named.insert(s);
    for (uint64_t s : running_batch_slots(c)) named.insert(s);
    {
      std::shared_lock lk(c.slots.freelist_lock);
      for (uint64_t s : c.slots.freelist.slots()) named.insert(s);
    }
    if (!still_quiet(c.slot_book, *moment)) continue;  // a slot may have moved unseen

    {
      TQ_ASSIGN(Cursor cur, txn->cursor(kRecordsTable));
      std::string_view key, value;
      for (;;) {
        TQ_ASSIGN(bool more, cur.next(key, value));
        if (!more) break;
        TQ_ASSIGN(RecordView r, decode_record_view(value));
        named.insert(r.slot);
      }
    }
    txn.reset();
    std::vector<uint64_t> leaked;
    std::shared_lock lk(c.slots.vectors_lock);
    for (uint64_t s = 0; s < bound; ++s) {
      if (!named.contains(s) && !c.slots.vectors.slot_view(s).empty()) leaked.push_back(s);
    }
    return leaked;
  }
  return std::vector<uint64_t>();
}

// Gives the leaked slots back: saved in the free list by one transaction, then released.
// Returns the bytes marked.
Result<uint64_t> sweep_slots(Collection& c) {
  TQ_ASSIGN(std::vector<uint64_t> leaked, leaked_slots(c));
  if (leaked.empty()) return uint64_t{0};
  TQ_ASSIGN(WriteTxn txn, begin_write_txn(*c.meta));
  std::vector<uint64_t> fresh;
  TQ_TRY(save_freed(c, txn, leaked, fresh));
  TQ_TRY(commit_collection_txn(c, txn));
  return release_freed(c, fresh);
}

}  // namespace

Result<CompactStatsData> compact_collection(Collection& c) {
  TQ_TRY(check_not_dropped(c));
  std::lock_guard only(c.compact_lock);
  const uint64_t start = platform::monotonic_ns();
  CompactStatsData stats;
  TQ_ASSIGN(ScanResult scan, scan_records(c));
  stats.expired_removed = scan.expired;
  stats.tombstones_removed = scan.tombstones;

  std::span<const Removal> rest(scan.removals);
  while (!rest.empty()) {
    const size_t n = std::min(rest.size(), kCompactGroupSize);
    TQ_ASSIGN(uint64_t marked, remove_group(c, rest.first(n), scan));
    stats.bytes_freed += marked;
    rest = rest.subspan(n);
  }
  TQ_ASSIGN(uint64_t swept, sweep_slots(c));
  stats.bytes_freed += swept;
  stats.duration_ms = (platform::monotonic_ns() - start) / 1000000;
  return stats;
}

}  // namespace tornquil
