// The search of a collection: its roads to the committed hits and the merge with the
// buffered ones.
#include "collection/search.hpp"

#include <algorithm>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "collection/collection.hpp"
#include "collection/index_refresh.hpp"
#include "collection/vector_check.hpp"
#include "search/distance.hpp"
#include "search/exact.hpp"
#include "search/hnsw/query.hpp"

namespace tornquil {

namespace {

// The exact road: every committed record is scored. The caller holds the `hnsw` lock for
// reading; the `vectors` lock is taken here for the scan.
Result<std::vector<SearchHit>> exact_candidates(Collection& c, std::span<const float> query,
                                                uint64_t k,
                                                const std::optional<MetadataFilter>& filter) {
  std::shared_lock vectors_lock(c.slots.vectors_lock);
  return scan_committed(*c.meta, c.slots.vectors, c.config.metric, query, k, filter,
                        &c.scan_bounds, &c.scan_columns);
}

// How many candidates the graph is asked for. Without a filter, k. With one (an empty
// filter too) 4 x k, so that the filter has more to choose from, but never more than the
// graph holds; 4 x k saturates rather than wrapping for a huge k.
uint64_t hnsw_candidate_count(const HnswIndex& index, uint64_t k, bool filtered) {
  if (!filtered) return k;
  const uint64_t wide =
      k > std::numeric_limits<uint64_t>::max() / 4 ? std::numeric_limits<uint64_t>::max() : 4 * k;
  return std::min<uint64_t>(wide, index_node_count(index));
}

// The graph's road, for a collection with a loaded index. With a filter, the graph's
// candidates are filtered in their order until k pass; no second walk looks for more, so
// fewer than k can come back. The caller holds the `hnsw` lock for reading; the `vectors`
// lock is taken here for the query.
Result<std::vector<SearchHit>> hnsw_candidates(Collection& c, std::span<const float> query,
                                               uint64_t k,
                                               const std::optional<MetadataFilter>& filter) {
  const HnswIndex& index = *c.hnsw;
  const uint64_t count = hnsw_candidate_count(index, k, filter.has_value());
  std::vector<SearchHit> hits;
  {
    std::shared_lock vectors_lock(c.slots.vectors_lock);
    TQ_ASSIGN(hits, hnsw_search(index, query, count, c.slots.vectors, *c.meta));
  }
  if (!filter) return hits;
  size_t kept = 0;
  for (SearchHit& h : hits) {
    if (kept >= k) break;
    if (!matches_filter(*filter, h.metadata)) continue;
    if (&hits[kept] != &h) hits[kept] = std::move(h);
    ++kept;
  }
  hits.resize(kept);
  return hits;
}

// `hits` followed by `more`, stably sorted best first and cut to k: hits stay ahead of
// those of `more` with the same score.
void merge_hits(std::vector<SearchHit>& hits, std::vector<SearchHit>&& more, Metric metric,
                uint64_t k);

// The buffer as it stands now, the records in flight (buffered ahead of the rest) included.
// Below the parallel threshold its records are scored in place under the buffer's mutex,
// which gives the same hits as scoring a copy and spares copying every buffered vector; a
// larger buffer is copied so that the worker pool never runs while the mutex is held. Sets
// `buffered` when the buffer held anything.
std::vector<SearchHit> buffered_hits(Collection& c, std::span<const float> query, uint64_t k,
                                     const std::optional<MetadataFilter>& filter, bool& buffered) {
  const Metric metric = c.config.metric;
  std::vector<PendingRecord> copies;
  {
    std::lock_guard lk(c.pending_lock);
    const size_t n = c.in_flight.size() + c.pending.size();
    buffered = n != 0;
    if (!buffered) return {};
    if (n < kParallelScanThreshold) {
      std::vector<SearchHit> hits = scan_write_buffer(c.in_flight, metric, query, k, filter);
      merge_hits(hits, scan_write_buffer(c.pending, metric, query, k, filter), metric, k);
      return hits;
    }
    copies.reserve(n);
    copies.insert(copies.end(), c.in_flight.begin(), c.in_flight.end());
    copies.insert(copies.end(), c.pending.begin(), c.pending.end());
  }
  return scan_write_buffer(copies, metric, query, k, filter);
}

// Drops the buffered hits that a committed hit already gives: a flush that commits between
// the look at the buffer and the committed scan leaves its records in both. A record is
// its id in its slot (a slot is reused only after the record naming it was deleted).
void drop_committed_twins(std::vector<SearchHit>& buffer_hits, const std::vector<SearchHit>& hits) {
  if (buffer_hits.empty() || hits.empty()) return;
  std::vector<const SearchHit*> by_slot;
  by_slot.reserve(hits.size());
  for (const SearchHit& h : hits) by_slot.push_back(&h);
  std::sort(by_slot.begin(), by_slot.end(),
            [](const SearchHit* a, const SearchHit* b) { return a->slot < b->slot; });
  std::erase_if(buffer_hits, [&by_slot](const SearchHit& b) {
    auto it = std::lower_bound(by_slot.begin(), by_slot.end(), b.slot,
                               [](const SearchHit* h, uint64_t slot) { return h->slot < slot; });
    for (; it != by_slot.end() && (*it)->slot == b.slot; ++it) {
      if ((*it)->id == b.id) return true;
    }
    return false;
  });
}

void merge_hits(std::vector<SearchHit>& hits, std::vector<SearchHit>&& more, Metric metric,
                uint64_t k) {
  hits.reserve(hits.size() + more.size());
  for (SearchHit& h : more) hits.push_back(std::move(h));
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
  TQ_TRY(check_query_vector(raw));
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
  // Committed hits stay ahead of buffered hits with the same score.
  drop_committed_twins(buffer_hits, hits);
  merge_hits(hits, std::move(buffer_hits), c.config.metric, k);
  return hits;
}

}  // namespace tornquil
