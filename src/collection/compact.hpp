// Compaction: removes the committed records whose time-to-live has passed and those left
// as Tombstone, marks their vector slots deleted and offers the slots for reuse.
//
// Only committed records are looked at; the write buffer, the index and the length of
// vectors.bin are left as they are. Records are removed in groups, each group one write
// transaction that also stores the free list as it will be; the group's slots are marked
// and pushed onto the free list only after its commit. A slot is never marked or freed
// while another record names it, and a slot outside the allocated or mapped part of the
// vector file is never offered for reuse.
//
// Thread safety: may run alongside every other operation of the collection. The caller
// holds no lock of the collection.
#pragma once

#include <cstdint>

#include "base/error.hpp"
#include "collection/stats.hpp"

namespace tornquil {

class Collection;

// Records removed by one write transaction of a compaction, at most.
constexpr size_t kCompactGroupSize = 1000;

// Scans the committed records in one read transaction, then removes those found dead,
// group by group. `expired_removed` counts the records expired when scanned, in any state;
// `tombstones_removed` the Tombstones not expired then; `bytes_freed` is dimensions * 4
// per slot that received the deleted marker. A failure ends the call: groups committed before it
// stay removed, and nothing of the failing group is changed.
Result<CompactStatsData> compact_collection(Collection& c);

}  // namespace tornquil
