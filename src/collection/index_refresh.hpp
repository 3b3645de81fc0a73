// refresh_index: brings a collection's HNSW index up to date with its committed live
// records before a search or inside a sync.
#pragma once

#include "base/error.hpp"

namespace tornquil {

class Collection;

// Success at once for a collection without HNSW parameters. For one with them the index
// is left as it is for now; the incremental and full rebuild roads come with the graph
// builders. The caller holds no lock of the collection.
Result<void> refresh_index(Collection& c);

}  // namespace tornquil
