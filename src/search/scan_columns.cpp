// Taking the record columns out of the store, and the cache that keeps them.
#include "search/scan_columns.hpp"

#include <oneapi/tbb/parallel_sort.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <optional>
#include <utility>

#include "base/worker_pool.hpp"
#include "storage/records.hpp"

namespace tornquil {

namespace {

// Room for about `n` records of ids the length of a UUID.
void reserve(RecordColumns& c, uint64_t n) {
  c.slots.reserve(n);
  c.expires_at.reserve(n);
  c.id_ends.reserve(n);
  c.ids.reserve(n * 36);
}

// Takes one stored value into `out`; false when it does not decode or the columns could
// not index it.
bool take_value(std::string_view value, RecordColumns& out) {
  Result<RecordView> decoded = decode_record_view(value);
  if (!decoded) return false;
  const RecordView& r = *decoded;
  if (r.state != RecordState::Active) return true;
  if (out.ids.size() + r.id.size() > std::numeric_limits<uint32_t>::max()) return false;
  out.slots.push_back(r.slot);
  out.expires_at.push_back(r.expires_at ? *r.expires_at : kNeverExpires);
  out.ids.append(r.id);
  out.id_ends.push_back(static_cast<uint32_t>(out.ids.size()));
  return true;
}

// Walks from the cursor's next entry to the table's end, or to `end` after a seek to
// `begin`; the tally (or null) sees every key. False on any failure.
bool take_range(Cursor& cursor, std::string_view begin, const std::string_view* end,
                bool seek_first, RangeTally* tally, RecordColumns& out) {
  std::string_view key, value;
  Result<bool> at = seek_first ? cursor.seek(begin, key, value) : cursor.next(key, value);
  while (at && *at) {
    if (!in_range(key, end)) return true;
    if (tally != nullptr) tally->see(key);
    if (!take_value(value, out)) return false;
    at = cursor.next(key, value);
  }
  return at.has_value();
}

// The ranges' columns one after the other; false when the ids outgrow the offsets.
bool concatenate(std::vector<RecordColumns>& parts, RecordColumns& out) {
  size_t n = 0, bytes = 0;
  for (const RecordColumns& p : parts) {
    n += p.size();
    bytes += p.ids.size();
  }
  if (bytes > std::numeric_limits<uint32_t>::max()) return false;
  out.slots.reserve(n);
  out.expires_at.reserve(n);
  out.id_ends.reserve(n);
  out.ids.reserve(bytes);
  for (RecordColumns& p : parts) {
    const uint32_t base = static_cast<uint32_t>(out.ids.size());
    out.slots.insert(out.slots.end(), p.slots.begin(), p.slots.end());
    out.expires_at.insert(out.expires_at.end(), p.expires_at.begin(), p.expires_at.end());
    for (uint32_t e : p.id_ends) out.id_ends.push_back(base + e);
    out.ids.append(p.ids);
    p = RecordColumns();  // give each part back as soon as it is copied
  }
  return true;
}

// Puts the columns, taken in key order, in slot order, each entry keeping its key rank.
// Ids written in order of arrival already stand in slot order, and are left as they are.
void order_by_slot(RecordColumns& c) {
  const size_t n = c.size();
  c.ranks.resize(n);
  for (size_t i = 0; i < n; ++i) c.ranks[i] = static_cast<uint32_t>(i);
  if (std::is_sorted(c.slots.begin(), c.slots.end())) return;
  std::vector<std::pair<uint64_t, uint32_t>> by_slot(n);
  for (size_t i = 0; i < n; ++i) by_slot[i] = {c.slots[i], static_cast<uint32_t>(i)};
  worker_pool().execute([&] { tbb::parallel_sort(by_slot.begin(), by_slot.end()); });
  std::vector<uint64_t> expires(n);
  for (size_t i = 0; i < n; ++i) {
    c.slots[i] = by_slot[i].first;
    c.ranks[i] = by_slot[i].second;
    expires[i] = c.expires_at[by_slot[i].second];
  }
  c.expires_at = std::move(expires);
}

std::shared_ptr<const RecordColumns> build_columns(KvStore& store, ReadTxn& txn,
                                                   ScanBounds* bounds) {
  auto out = std::make_shared<RecordColumns>();
  out->snapshot_id = txn.snapshot_id();
  SnapshotRangeWalk walk;
  if (!plan_range_walk(store, txn, kRecordsTable, walk, bounds)) return nullptr;

  if (!walk.parallel()) {
    Result<Cursor> cursor = txn.cursor(kRecordsTable);
    if (!cursor) return nullptr;
    RangeTally* tally = walk.tallies.empty() ? nullptr : &walk.tallies[0];
    reserve(*out, walk.entries);
    if (!take_range(*cursor, {}, nullptr, false, tally, *out)) return nullptr;
  } else {
    // The parts are joined in range order, which is key order.
    const size_t n_ranges = walk.range_count();
    std::vector<RecordColumns> parts(n_ranges);
    std::atomic<bool> failed{false};
    run_range_tasks(
        walk,
        [&](size_t t, size_t r) {
          reserve(parts[r], walk.entries / n_ranges);
          if (!take_range(walk.cursors[t], walk.range_begin(r), walk.range_end(r), true,
                          &walk.tallies[r], parts[r])) {
            failed.store(true, std::memory_order_relaxed);
          }
        },
        [&](size_t) { return !failed.load(std::memory_order_relaxed); });
    if (failed.load(std::memory_order_relaxed) || !concatenate(parts, *out)) return nullptr;
  }
  finish_range_walk(walk);
  if (out->size() > std::numeric_limits<uint32_t>::max()) return nullptr;
  order_by_slot(*out);
  return out;
}

}  // namespace

std::shared_ptr<const RecordColumns> build_record_columns(KvStore& store, ReadTxn& txn,
                                                          ScanBounds* bounds) {
  // The columns only spare work: when memory cannot hold them, the scan walks the table.
  try {
    return build_columns(store, txn, bounds);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::shared_ptr<const RecordColumns> ScanColumnsCache::find(uint64_t id, bool& build) {
  build = false;
  std::lock_guard lk(mu_);
  // Snapshots only move forward: a scan of an older one began before the last commit, and
  // neither keeps nor builds anything.
  if (current_) {
    if (current_->snapshot_id == id) return current_;
    if (current_->snapshot_id > id) return nullptr;
    current_.reset();  // will never serve again
  }
  if (seen_valid_ && seen_ > id) return nullptr;
  if (seen_valid_ && seen_ == id && !building_) {
    building_ = true;
    build = true;
  }
  seen_ = id;
  seen_valid_ = true;
  return nullptr;
}

void ScanColumnsCache::publish(uint64_t id, std::shared_ptr<const RecordColumns> built) {
  std::lock_guard lk(mu_);
  building_ = false;
  // A scan of a newer snapshot may have come by meanwhile; these columns would never serve.
  if (built && seen_ == id) current_ = std::move(built);
}

}  // namespace tornquil
