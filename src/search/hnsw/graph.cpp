// Operations on a whole HnswIndex that need nothing but its locks.
#include "search/hnsw/graph.hpp"

namespace tornquil {

size_t index_node_count(const HnswIndex& index) { return index.read_graph()->nodes.size(); }

}  // namespace tornquil
