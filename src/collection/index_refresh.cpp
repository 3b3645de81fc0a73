// The index refresh of a collection: the flag checks, the choice of road, the live-record
// reads, and the installation of a rebuilt index.
#include "collection/index_refresh.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "collection/collection.hpp"
#include "search/hnsw/insert.hpp"
#include "storage/live_records.hpp"
#include "storage/records.hpp"

namespace tornquil {
namespace {

std::atomic<const RefreshTestHooks*> test_hooks{nullptr};

}  // namespace

Result<std::vector<LiveEntry>> read_live_entries(Collection& c) {
  TQ_ASSIGN(ReadTxn txn, begin_read_txn(*c.meta));
  std::vector<LiveEntry> live;
  TQ_TRY(for_each_live_record(txn, [&](const RecordView& r) {
    live.push_back(LiveEntry{r.slot, std::string(r.id)});
  }));
  return live;
}

void refresh_incremental(Collection& c, std::vector<LiveEntry>& live) {
  retain_unindexed(live, *c.hnsw);
  if (live.empty()) return;
  std::shared_lock vectors_lock(c.slots.vectors_lock);
  insert_nodes(*c.hnsw, live, c.slots.vectors);
}

namespace {

// The full road: a new graph from a second read of the live records, installed only once
// it is complete. The caller holds the `hnsw` lock for writing.
Result<void> rebuild_index(Collection& c) {
  const HnswConfig config = *c.config.hnsw;
  const Metric metric = c.config.metric;
  std::unique_ptr<HnswIndex> fresh;
  {
    std::shared_lock vectors_lock(c.slots.vectors_lock);
    const RefreshTestHooks* hooks = test_hooks.load();
    if (hooks && hooks->before_second_read) hooks->before_second_read(c);
    // Records may have gone live or died since the first read; the graph follows this one.
    TQ_ASSIGN(std::vector<LiveEntry> live, read_live_entries(c));
    if (hooks && hooks->after_second_read) hooks->after_second_read(c);
    RebuildResult built = rebuild_graph(std::move(live), c.slots.vectors,
                                        static_cast<size_t>(c.config.dimensions), config, metric);
    fresh = std::make_unique<HnswIndex>(std::move(built.graph), metric);
  }
  c.hnsw = std::move(fresh);
  return {};
}

// The choice of road and the road itself. The caller holds the `hnsw` lock for writing.
Result<void> refresh_locked(Collection& c) {
  TQ_ASSIGN(std::vector<LiveEntry> live, read_live_entries(c));
  const size_t nodes = c.hnsw ? index_node_count(*c.hnsw) : 0;
  // By counts alone: after deletions or expiries the graph is built again, unless more
  // records were added than lost.
  if (c.hnsw && nodes >= 1 && live.size() > nodes) {
    refresh_incremental(c, live);
    return {};
  }
  if (c.hnsw && nodes == live.size()) {
    // One node per live record and every one of them indexed: the graph is in step (a
    // writer marked it for records that never went live, or that a compaction removed
    // without the graph ever holding them), and a rebuild would only redo it.
    retain_unindexed(live, *c.hnsw);
    if (live.empty()) return {};
  }
  return rebuild_index(c);
}

}  // namespace

Result<void> refresh_index(Collection& c) {
  // Without graph parameters there is never an index to refresh, whatever the flag says.
  if (!c.config.hnsw || !c.needs_rebuild.load()) return {};
  std::unique_lock hnsw_lock(c.hnsw_lock);
  // Writers set the flag without the hnsw lock, before their records become live. Clearing
  // it before the records are read keeps the mark of a writer that commits during the
  // refresh, whose records this refresh may not see; false means another thread refreshed
  // meanwhile.
  if (!c.needs_rebuild.exchange(false)) return {};
  Result<void> r;
  try {
    r = refresh_locked(c);
  } catch (...) {
    // Out of memory part-way: the incremental road may have left a node with only some of
    // its links. The index goes, searches take the exact scan meanwhile, and the next
    // refresh builds it whole.
    c.hnsw.reset();
    c.needs_rebuild.store(true);
    throw;
  }
  if (!r) c.needs_rebuild.store(true);  // the index still lags: the next caller tries again
  return r;
}

void TEST_set_refresh_hooks(const RefreshTestHooks* hooks) { test_hooks.store(hooks); }

}  // namespace tornquil
