// The counts that operations of the collection layer report: compaction, recovery at open,
// and import. Plain values; the binding turns each into its Python class.
#pragma once

#include <cstdint>

namespace tornquil {

struct CompactStatsData {
  uint64_t expired_removed = 0;
  uint64_t tombstones_removed = 0;
  uint64_t bytes_freed = 0;
  uint64_t duration_ms = 0;
};

struct RecoveryStatsData {
  uint64_t promoted = 0;
  uint64_t rolled_back = 0;
  uint64_t tombstones = 0;
};

struct ImportStatsData {
  uint64_t imported = 0;
  uint64_t skipped = 0;
  uint64_t failed = 0;
  uint64_t duration_ms = 0;
};

}  // namespace tornquil
