// Compaction of a collection's record table: one scan, then removal group by group.
#include "collection/compact.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
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

// One record found dead by the scan, with what identifies it when it is removed.
struct Removal {
  std::string id;
  uint64_t slot = 0;
  uint64_t created_at = 0;
  std::optional<uint64_t> expires_at;
  RecordState state = RecordState::Active;
  bool expired = false;  // otherwise a Tombstone
};

struct ScanResult {
  std::vector<Removal> removals;  // in key order
  uint64_t expired = 0;
  uint64_t tombstones = 0;
  // Slots allocated when the scan began; no slot at or above it is marked or freed.
  uint64_t slot_bound = 0;
  // Slots that must not be marked or freed: those named by records that stay (committed or
  // buffered), those already free when the scan began (another record may have taken them
  // since), and those this call has freed.
  SlotSet untouchable{0};
};

Result<ScanResult> scan_records(Collection& c) {
  ScanResult out;
  TQ_ASSIGN(ReadTxn txn, begin_read_txn(*c.meta));
  // Every record of the snapshot was committed with a slot already allocated, so a slot
  // at or above this count comes from a damaged record.
  {
    std::shared_lock lk(c.slots.vectors_lock);
    out.slot_bound = c.slots.vectors.slot_count();
  }
  out.untouchable = SlotSet(out.slot_bound);
  {
    std::shared_lock lk(c.slots.freelist_lock);
    for (uint64_t s : c.slots.freelist.slots()) out.untouchable.insert(s);
  }

  {
    TQ_ASSIGN(Cursor cur, txn.cursor(kRecordsTable));
    std::string_view key, value;
    for (;;) {
      TQ_ASSIGN(bool more, cur.next(key, value));
      if (!more) break;
      TQ_ASSIGN(RecordView r, decode_record_view(value));
      // Expiry first: an expired record counts as expired whatever its state.
      const bool expired = r.expires_at && now_unix_secs() >= *r.expires_at;
      if (!expired && r.state != RecordState::Tombstone) {
        out.untouchable.insert(r.slot);
        continue;
      }
      out.removals.push_back(
          Removal{std::string(r.id), r.slot, r.created_at, r.expires_at, r.state, expired});
      ++(expired ? out.expired : out.tombstones);
    }
  }
  txn.end();

  std::lock_guard lk(c.pending_lock);
  for (const PendingRecord& p : c.pending) out.untouchable.insert(p.record.slot);
  return out;
}

// Whether the stored record is still the one the scan found dead. A record replaced or
// deleted meanwhile is left to whoever changed it.
bool same_record(const RecordView& r, const Removal& e) {
  if (r.slot != e.slot || r.created_at != e.created_at) return false;
  return e.expired ? r.expires_at == e.expires_at : r.state == RecordState::Tombstone;
}

// Removes one group in one write transaction that also stores the free list as it will be;
// after the commit, marks the group's slots deleted and pushes them. Returns the bytes
// marked.
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
    // A state changed since the scan means a delete is under way: it frees the slot.
    const bool frees = r.state == e.state && mapped[i] && e.slot < scan.slot_bound &&
                       !scan.untouchable.contains(e.slot);
    TQ_TRY(remove_record(txn, e.id));
    if (frees && std::find(candidates.begin(), candidates.end(), e.slot) == candidates.end()) {
      candidates.push_back(e.slot);
    }
  }

  std::vector<uint64_t> fresh;
  {
    std::shared_lock lk(c.slots.freelist_lock);
    fresh = slots_not_in(c.slots.freelist, candidates);
    TQ_TRY(save_freelist_with(c.slots.freelist, fresh, txn));
  }
  TQ_TRY(commit_collection_txn(c, txn));

  // Committed: no stored record names these slots any more. Marked before they are pushed,
  // so that no new vector written into a reused slot is overwritten.
  uint64_t marked = 0;
  const uint64_t slot_bytes = c.config.dimensions * 4;
  {
    std::unique_lock lk(c.slots.vectors_lock);
    for (uint64_t s : fresh) {
      std::span<const float> v = c.slots.vectors.slot_view(s);
      if (v.empty() || std::isnan(v[0])) continue;
      if (write_deleted_marker(c.slots.vectors, s)) marked += slot_bytes;
    }
  }
  for (uint64_t s : fresh) scan.untouchable.insert(s);
  {
    std::unique_lock lk(c.slots.freelist_lock);
    // Another thread may have freed one of them meanwhile; no slot goes on the list twice.
    for (uint64_t s : slots_not_in(c.slots.freelist, fresh)) free_slot(c.slots.freelist, s);
  }
  return marked;
}

}  // namespace

Result<CompactStatsData> compact_collection(Collection& c) {
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
  stats.duration_ms = (platform::monotonic_ns() - start) / 1000000;
  return stats;
}

}  // namespace tornquil
