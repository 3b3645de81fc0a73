// search_collection: the k nearest neighbours of a query among a collection's live records,
// committed and buffered, best first.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/error.hpp"
#include "search/filter.hpp"
#include "search/top_k.hpp"

namespace tornquil {

class Collection;

// The road of one search: the query's length is checked against the collection's
// dimensions (DimensionMismatch), the index is refreshed, the query is prepared for the
// metric, the write buffer is scored as it stands, the committed records are scored, and
// the two lists are merged: a stable sort by score keeps committed hits ahead of buffered
// hits of the same score, and the first k are returned. Each id is returned once, as its
// newest copy: only the newest buffered copy of an id is scored, and a committed hit whose
// id has a buffered copy is dropped; the committed road is asked for k plus the number of
// buffered ids (b), so that the drop never leaves fewer than k. Committed hits come from the
// exact scan, or, for a collection with graph parameters and an index, from the graph: k + b
// candidates without a filter; with a filter (an empty one too) min(4 x (k + b), node count)
// candidates, of which the first k + b that pass are kept. k = 0 gives no hits and reads
// nothing once the refresh is done.
//
// One moment: the read transaction of the committed records is begun while the write
// buffer's mutex is held, so the buffer and the table searched are those that stood together.
// Vector slots are not versioned, so once the search holds the `vectors` lock it checks that
// no commit came since that moment: a commit may have given up a slot that a record of the
// moment names (a slot is given up only after the commit that stops naming it, under the
// `vectors` lock for writing), and another record may have taken it. If one came, the search
// refreshes the index and takes a new moment, up to kSearchMomentAttempts in all; the last attempt
// keeps its moment but leaves out the committed records stored differently now than then, whose
// slots may no longer hold their vectors (the exact road asks for more until enough unchanged ones
// are left).
//
// CollectionNotFound for a dropped collection. Errors: those of the refresh, of the read
// transactions, of the committed scan and of the graph's record lookups. Takes the
// collection's locks itself (`pending` alone, then `hnsw` for reading and inside it
// `vectors` for reading around the committed road); the caller holds none.
Result<std::vector<SearchHit>> search_collection(Collection& c, std::span<const float> query,
                                                 uint64_t k,
                                                 const std::optional<MetadataFilter>& filter);

// Moments a search takes at most before it searches one that commits have moved past.
constexpr int kSearchMomentAttempts = 4;

// Test hooks of the search. While set, every search calls them; nullptr restores none.
struct SearchTestHooks {
  // Runs after each look at the write buffer (its read transaction begun, no lock held),
  // before the committed records are searched; `attempt` counts the moments from 0.
  void (*after_buffer_look)(void* arg, int attempt) = nullptr;
  void* arg = nullptr;
};
void TEST_set_search_hooks(const SearchTestHooks* hooks);

}  // namespace tornquil
