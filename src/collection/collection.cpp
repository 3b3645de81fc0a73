// The Collection object: construction, release and open_collection.
#include "collection/collection.hpp"

#include <shared_mutex>
#include <utility>

#include "base/platform.hpp"
#include "collection/live_collections.hpp"
#include "search/hnsw/insert.hpp"
#include "search/hnsw/persist.hpp"
#include "storage/live_records.hpp"
#include "storage/records.hpp"
#include "storage/store_check.hpp"

namespace tornquil {

Collection::Collection(CollectionConfig config_in, std::string dir_in,
                       std::optional<platform::FileId> dir_id_in, std::unique_ptr<KvStore> meta_in,
                       VectorStorage vectors, FreeList freelist, std::unique_ptr<HnswIndex> index,
                       bool rebuild)
    : config(std::move(config_in)),
      dir(std::move(dir_in)),
      dir_id(dir_id_in),
      meta(std::move(meta_in)),
      slots(std::move(vectors), std::move(freelist)),
      hnsw(std::move(index)),
      needs_rebuild(rebuild) {}

Collection::~Collection() {
  // Nobody else holds the collection any more, so this flush cannot race with anything.
  // Its failure, for want of memory too, has nowhere to go; the records then stay out of
  // the table.
  ignore_allocation_failure([this] { (void)flush_pending(*this); });
}

bool Collection::TEST_take_commit_failure() {
  int n = test_commit_countdown_.load();
  while (n >= 0) {
    if (test_commit_countdown_.compare_exchange_weak(n, n - 1)) return n == 0;
  }
  return false;
}

void Collection::TEST_before_next_commit(std::function<void()> hook) {
  std::lock_guard lk(test_hook_mu_);
  test_commit_hook_ = std::move(hook);
}

std::function<void()> Collection::TEST_take_commit_hook() {
  std::lock_guard lk(test_hook_mu_);
  return std::exchange(test_commit_hook_, nullptr);
}

Result<void> commit_collection_txn(Collection& c, WriteTxn& txn) {
  try {
    if (std::function<void()> hook = c.TEST_take_commit_hook()) hook();
    // The record columns follow the commit: it is made under their lock, and its writes to
    // the record table are applied to them before any later commit can be.
    return c.scan_columns.commit(*c.meta, txn, [&c, &txn]() -> Result<void> {
      if (c.TEST_take_commit_failure()) {
        // Leaving the transaction uncommitted abandons it when its owner drops it.
        return std::unexpected(CoreError::transaction("injected commit failure"));
      }
      return txn.commit();
    });
  } catch (const std::bad_alloc&) {
    // Once the store has committed, only bookkeeping is left, and the columns drop
    // themselves when they cannot follow. The commit stands: the caller, which undoes its
    // in-memory changes on an exception, must take it for the success it is. Before the
    // commit the transaction is abandoned, and the failure goes on.
    if (txn.committed_snapshot_id() != txn.parent_snapshot_id()) return {};
    throw;
  }
}

uint64_t vector_file_bytes(Collection& c) {
  std::shared_lock lk(c.slots.vectors_lock);
  return c.slots.vectors.mapped_len();
}

namespace {

// The live committed records, counted in a read transaction of their own. With a graph,
// the same pass also tells whether every one of them is indexed there (a node with the
// record's id owns its slot). The caller holds the graph, which nobody else sees yet.
struct LiveCount {
  uint64_t live = 0;
  bool all_indexed = true;
};

Result<LiveCount> count_live(KvStore& store, const HnswGraph* graph) {
  TQ_ASSIGN(ReadTxn txn, begin_read_txn(store));
  LiveCount n;
  TQ_ASSIGN(n.live, for_each_live_record(txn, [&](const RecordView& r) {
              if (graph && n.all_indexed && !is_indexed(*graph, r.slot, r.id)) {
                n.all_indexed = false;
              }
            }));
  return n;
}

struct IndexState {
  std::unique_ptr<HnswIndex> index;
  bool needs_rebuild = false;
};

// The index a collection opens with. Only the reading of the live records can fail: a
// saved index that is missing, unreadable or out of step with the records is dropped and
// the collection is marked for a rebuild instead. A saved index is in step only when it
// has one node per live record and every live record is indexed in it: a count that
// merely matches (a record deleted and another added since the index was saved, or one
// replaced under its id) would leave a record that no search can find.
Result<IndexState> open_index(const std::string& dir, const CollectionConfig& config,
                              KvStore& store) {
  IndexState st;
  if (!config.hnsw) return st;
  const std::string path = platform::join_path(dir, kIndexFileName);
  Result<bool> exists = platform::path_exists(path);
  if (!exists || !*exists) {
    TQ_ASSIGN(const LiveCount n, count_live(store, nullptr));
    st.needs_rebuild = n.live != 0;
    return st;
  }
  Result<std::unique_ptr<HnswIndex>> loaded = load_index(path, config.metric);
  if (!loaded) {
    st.needs_rebuild = true;
    return st;
  }
  bool in_step;
  {
    const HnswIndex::GraphRead graph = (*loaded)->read_graph();
    TQ_ASSIGN(const LiveCount n, count_live(store, &*graph));
    in_step = n.all_indexed && graph->node_count() == n.live;
  }
  if (in_step) {
    st.index = std::move(*loaded);
  } else {
    st.needs_rebuild = true;
  }
  return st;
}

}  // namespace

Result<std::shared_ptr<Collection>> open_collection(std::string dir, CollectionConfig config) {
  TQ_TRY(platform::create_dir_all(dir));
  TQ_ASSIGN(const std::optional<platform::FileId> dir_id, platform::file_id(dir));
  const std::string vectors_path = platform::join_path(dir, kVectorsFileName);
  const std::string meta_path = platform::join_path(dir, kMetaFileName);

  // Creating truncates, so it runs only when the file is known to be absent; any other
  // failure of the query is reported as it is.
  TQ_ASSIGN(bool vectors_exist, platform::path_exists(vectors_path));
  VectorStorage vectors;
  if (vectors_exist) {
    TQ_ASSIGN(vectors, open_vector_file(vectors_path, config.dimensions));
  } else {
    TQ_ASSIGN(vectors, create_vector_file(vectors_path, config.dimensions));
  }

  // A store emptied under a vector file that holds slots has lost its records; a new
  // store would hide that and reuse the slots.
  TQ_TRY(check_store_not_emptied(
      meta_path, vectors.slot_count() == 0
                     ? std::string()
                     : std::string(kVectorsFileName) + " holds " +
                           std::to_string(vectors.slot_count()) +
                           (vectors.slot_count() == 1 ? " allocated slot" : " allocated slots")));
  TQ_ASSIGN(std::unique_ptr<KvStore> meta, KvStore::open(meta_path));

  FreeList freelist;
  std::optional<uint64_t> highest;
  {
    TQ_ASSIGN(ReadTxn txn, begin_read_txn(*meta));
    TQ_ASSIGN(freelist, load_freelist(txn));
    TQ_ASSIGN(highest, highest_record_slot(txn));
  }
  // Every slot in use must lie below slot_count, or a new vector would take it.
  for (uint64_t s : freelist.slots()) {
    if (!highest || s > *highest) highest = s;
  }
  if (highest) TQ_TRY(cover_slot(vectors, *highest));

  TQ_ASSIGN(IndexState index, open_index(dir, config, *meta));

  auto c = std::make_shared<Collection>(std::move(config), std::move(dir), dir_id, std::move(meta),
                                        std::move(vectors), std::move(freelist),
                                        std::move(index.index), index.needs_rebuild);
  track_collection(c);
  return c;
}

}  // namespace tornquil
