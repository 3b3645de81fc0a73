// The record columns: what an unfiltered exact scan needs of the committed records, taken
// out of the store once per snapshot. A scan over the store decodes every stored value on
// every query; when the same snapshot is searched again (nothing committed in between, the
// common case of an agent reading far more than it writes) the columns let the scan skip
// the store entirely and run through dense arrays, split evenly among the workers.
//
// The columns hold the Active records of one snapshot: slot, expiry, key rank and id.
// State cannot change without a commit, so only Active records are kept; everything that
// can change within a snapshot (the clock against the expiry, the vector file's length,
// the deleted mark in a slot) is still tested by every scan, exactly as the store walk
// does. A scan over the columns gives the same hits in the same order as the walk.
//
// Thread safety: RecordColumns is immutable once built and shared between scans. A
// ScanColumnsCache may be used by any number of threads; its mutex is held only to look up
// or publish, never across a build or a scan.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "storage/kv_store.hpp"
#include "storage/range_walk.hpp"

namespace tornquil {

// The expiry column's value for a record without one: every clock reading is before it.
constexpr uint64_t kNeverExpires = std::numeric_limits<uint64_t>::max();

// One entry per Active record, in slot order (so a scan reads the vector file straight
// through), each with its rank in key order; the ids stand in key order.
struct RecordColumns {
  uint64_t snapshot_id = 0;  // the committed transaction the columns were taken from
  std::vector<uint64_t> slots;
  std::vector<uint64_t> expires_at;
  std::vector<uint32_t> ranks;
  std::vector<uint32_t> id_ends;  // by rank: where each id ends in `ids`
  std::string ids;                // the ids, back to back, in key order

  size_t size() const { return slots.size(); }
  // The id of the record of key rank `rank`.
  std::string_view id(size_t rank) const {
    const size_t begin = rank == 0 ? 0 : id_ends[rank - 1];
    return std::string_view(ids).substr(begin, id_ends[rank] - begin);
  }
};

// Walks the record table as `txn` sees it (in parallel over the ranges of `bounds` when it
// is large) and takes its columns. Null when any stored value does not decode or the walk
// fails: the store walk then meets the same value and reports it. Null as well when memory
// runs out on the way.
std::shared_ptr<const RecordColumns> build_record_columns(KvStore& store, ReadTxn& txn,
                                                          ScanBounds* bounds);

// The columns of a collection's record table, kept between scans. A snapshot's columns are
// built at its second scan, so that a store searched once after every commit never pays
// for a build it cannot use again.
class ScanColumnsCache {
 public:
  // The columns of snapshot `id`, or null. With null, `build` says whether this scan is to
  // build them (and publish them after); one scan at a time builds.
  std::shared_ptr<const RecordColumns> find(uint64_t id, bool& build);
  // Hands over what a build made for snapshot `id` (null when it failed); ends the build.
  void publish(uint64_t id, std::shared_ptr<const RecordColumns> built);

 private:
  std::mutex mu_;
  std::shared_ptr<const RecordColumns> current_;  // guarded by mu_, as are the rest
  uint64_t seen_ = 0;                             // the last snapshot a scan asked for
  bool seen_valid_ = false;
  bool building_ = false;
};

}  // namespace tornquil
