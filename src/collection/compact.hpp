// Compaction: removes the committed records whose time-to-live has passed, those left as
// Tombstone and the Pending records that no running batch of this process owns (their
// batch is gone: only this process can hold the collection's store), releases their vector
// slots, and gives back the slots that nothing names.
//
// Only committed records are removed; the write buffer and the length of vectors.bin are
// left as they are. Records are removed in groups, each group one write transaction that
// also stores the free list as it will be; the group's slots are released together
// (release_slots, slots.hpp: the deleted marker, out of the graph where it holds them, with
// the index then marked for refresh, onto the free list) only after its commit. A Tombstone's slot is left to its delete. A running
// batch's Pending records, expired or not, are left alone. A slot is never marked or freed
// while another record names it, and a slot outside the allocated or mapped part of the
// vector file is never offered for reuse.
//
// The sweep: after the removals, every slot below slot_count that no stored record,
// buffered or in-flight record or running batch names and that is not on the free list
// (slots leaked by a kill, or by replacements before they freed their old slot) is saved
// in the free list by one more transaction and released. It is best effort: it looks at a
// moment when no operation holds a slot privately (SlotUse, slots.hpp), and when none comes
// it is skipped and the next compaction tries again.
//
// Thread safety: may run alongside every other operation of the collection; compactions
// run one at a time (compact_lock). The caller holds no lock of the collection.
#pragma once

#include <cstdint>

#include "base/error.hpp"
#include "collection/stats.hpp"

namespace tornquil {

class Collection;

// Records removed by one write transaction of a compaction, at most.
constexpr size_t kCompactGroupSize = 1000;

// Scans the committed records in one read transaction, removes those found dead group by
// group, then sweeps. `expired_removed` counts the records expired when scanned, in any
// state (a running batch's excepted); `tombstones_removed` the Tombstones and the abandoned
// Pending records not expired then; `bytes_freed` is dimensions * 4 per slot that received
// the deleted marker, swept ones included. A failure ends the call: groups committed before
// it stay removed, and nothing of the failing group is changed. CollectionNotFound for a
// dropped collection.
Result<CompactStatsData> compact_collection(Collection& c);

}  // namespace tornquil
