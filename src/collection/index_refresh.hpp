// refresh_index: brings a collection's HNSW index up to date with its committed live
// records before a search or inside a sync, either by adding the records the graph lacks
// or by building the whole graph again.
#pragma once

#include <vector>

#include "base/error.hpp"
#include "search/hnsw/rebuild.hpp"

namespace tornquil {

class Collection;

// Does nothing for a collection without HNSW parameters or whose index is not marked as
// lagging (needs_rebuild). Otherwise, holding the `hnsw` lock for writing throughout, it
// clears the mark, reads the live records and either adds the missing ones to the index
// (when there is an index of at least one node and more live records than nodes), keeps
// the index as it is (when it has one node per live record and indexes every one), or
// builds a new index from all of them, which replaces the old one only once complete. The mark is
// cleared before the records are read, so a writer that commits records during the
// refresh leaves it set and the next refresh takes them in. Errors (Transaction, Database,
// Serialization from reading the records) leave the old index as it was and the mark set.
// The caller holds no lock of the collection.
Result<void> refresh_index(Collection& c);

// The live committed records in key order, in a read transaction of their own. A missing
// table gives an empty list.
Result<std::vector<LiveEntry>> read_live_entries(Collection& c);

// The incremental road: adds to the present index the live entries its graph does not
// index (`live` keeps only those), holding the `vectors` lock for reading while they are
// inserted. Nothing can fail. The caller holds the `hnsw` lock for writing and has checked
// that an index is present.
void refresh_incremental(Collection& c, std::vector<LiveEntry>& live);

// Called by every full rebuild just before and just after its second read of the live
// records (the latter only when the read succeeded), with the `hnsw` and `vectors` locks
// held. nullptr (the default) for none; either pointer may be null.
struct RefreshTestHooks {
  void (*before_second_read)(Collection&) = nullptr;
  void (*after_second_read)(Collection&) = nullptr;
};
void TEST_set_refresh_hooks(const RefreshTestHooks* hooks);

}  // namespace tornquil
