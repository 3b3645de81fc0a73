// The search of a collection: its roads to the committed hits and the merge with the
// buffered ones.
#include "collection/search.hpp"

#include <mutex>
#include <shared_mutex>
#include <utility>

#include "collection/collection.hpp"
#include "collection/index_refresh.hpp"
#include "search/distance.hpp"
#include "search/exact.hpp"

namespace tornquil {

namespace {

// The exact road: every committed record is scored. The caller holds the `hnsw` lock for
// reading; the `vectors` lock is taken here for the scan.
Result<std::vector<SearchHit>> exact_candidates(Collection& c, std::span<const float> query,
                                                uint64_t k,
                                                const std::optional<MetadataFilter>& filter) {
  std::shared_lock vectors_lock(c.slots.vectors_lock);
  return scan_committed(*c.meta, c.slots.vectors, c.config.metric, query, k, filter,
                        &c.scan_bounds);
}

// The graph's road, for a collection with graph parameters and a loaded index. The graph's
// query is not wired in yet, so this takes the exact road, which gives the exact neighbours
// that the graph can only approximate. The caller holds the `hnsw` lock for reading.
Result<std::vector<SearchHit>> hnsw_candidates(Collection& c, std::span<const float> query,
                                               uint64_t k,
                                               const std::optional<MetadataFilter>& filter) {
  return exact_candidates(c, query, k, filter);
}

// The buffer as it stands now. Below the parallel threshold its records are scored in place
// under the buffer's mutex, which gives the same hits as scoring a copy and spares copying
// every buffered vector; a larger buffer is copied so that the worker pool never runs while
// the mutex is held. Sets `buffered` when the buffer held anything.
std::vector<SearchHit> buffered_hits(Collection& c, std::span<const float> query, uint64_t k,
                                     const std::optional<MetadataFilter>& filter, bool& buffered) {
  std::vector<PendingRecord> copies;
  {
    std::lock_guard lk(c.pending_lock);
    buffered = !c.pending.empty();
    if (c.pending.size() < kParallelScanThreshold) {
      if (!buffered) return {};
      return scan_write_buffer(c.pending, c.config.metric, query, k, filter);
    }
    copies = c.pending;
  }
  return scan_write_buffer(copies, c.config.metric, query, k, filter);
}

// The committed hits followed by the buffered ones, stably sorted best first and cut to k:
// committed hits stay ahead of buffered hits with the same score.
void merge_buffered(std::vector<SearchHit>& hits, std::vector<SearchHit>&& buffer_hits,
                    Metric metric, uint64_t k) {
  hits.reserve(hits.size() + buffer_hits.size());
  for (SearchHit& h : buffer_hits) hits.push_back(std::move(h));
  if (hits.size() >= 2) {
    if (metric == Metric::L2) {
      sort_hits_ascending(hits);
    } else {
      sort_hits_descending(hits);
    }
  }
  if (hits.size() > k) hits.resize(static_cast<size_t>(k));
}

}  // namespace

Result<std::vector<SearchHit>> search_collection(Collection& c, std::span<const float> raw,
                                                 uint64_t k,
                                                 const std::optional<MetadataFilter>& filter) {
  TQ_TRY(check_dimensions(c.config.dimensions, raw.size()));
  TQ_TRY(refresh_index(c));
  const std::vector<float> query = prepare_vector(c.config.metric, raw);

  bool buffered = false;
  std::vector<SearchHit> buffer_hits = buffered_hits(c, query, k, filter, buffered);

  std::vector<SearchHit> hits;
  {
    std::shared_lock index_lock(c.hnsw_lock);
    if (c.config.hnsw && c.hnsw) {
      TQ_ASSIGN(hits, hnsw_candidates(c, query, k, filter));
    } else {
      TQ_ASSIGN(hits, exact_candidates(c, query, k, filter));
    }
  }

  if (!buffered) return hits;
  merge_buffered(hits, std::move(buffer_hits), c.config.metric, k);
  return hits;
}

}  // namespace tornquil
