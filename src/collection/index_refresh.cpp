// The index refresh of a collection.
#include "collection/index_refresh.hpp"

#include "collection/collection.hpp"

namespace tornquil {

Result<void> refresh_index(Collection& c) {
  // Without graph parameters there is never an index to refresh, whatever the flag says.
  if (!c.config.hnsw || !c.needs_rebuild.load()) return {};
  // The incremental and full roads are not built yet: the index stays as it is and the
  // flag stays set, so the work is still found to be due once they are.
  return {};
}

}  // namespace tornquil
