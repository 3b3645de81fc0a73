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
// candidates, of which the first k + b that pass are kept. CollectionNotFound for a dropped
// collection. Errors: those of the refresh, of the
// committed scan and of the graph's record lookups. Takes the collection's locks itself
// (`hnsw` for reading, inside it `vectors` for reading around the committed road); the
// caller holds none.
Result<std::vector<SearchHit>> search_collection(Collection& c, std::span<const float> query,
                                                 uint64_t k,
                                                 const std::optional<MetadataFilter>& filter);

}  // namespace tornquil
