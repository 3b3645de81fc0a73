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

uint64_t saturating_add(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

// What a search takes from the write buffer as it stands now, the records in flight
// (buffered ahead of the rest) included: the best hits among the newest copy of each
// buffered id, and every buffered id, whose committed record that copy hides.
struct BufferedSide {
  std::vector<SearchHit> hits;   // best first, at most k
  std::vector<std::string> ids;  // ascending, each once
};

// The hits among `hits` that are newest copies (their slots in `newest_slots`, ascending):
// a buffered copy has a slot of its own, so its slot names it.
void keep_newest(std::vector<SearchHit>& hits, const std::vector<uint64_t>& newest_slots) {
  std::erase_if(hits, [&newest_slots](const SearchHit& h) {
    return !std::binary_search(newest_slots.begin(), newest_slots.end(), h.slot);
  });
}

// Below the parallel threshold the records are scored in place under the buffer's mutex,
// which spares copying every buffered vector: every copy is scored, and enough hits are
// kept (k plus the number of older copies) that dropping the older copies' hits leaves the
// best k of the newest copies. A larger buffer has its newest copies copied, so that the
// worker pool never runs while the mutex is held.
BufferedSide buffered_side(Collection& c, std::span<const float> query, uint64_t k,
                           const std::optional<MetadataFilter>& filter) {
  const Metric metric = c.config.metric;
  BufferedSide out;
  std::vector<PendingRecord> copies;
  {
    std::lock_guard lk(c.pending_lock);
    const size_t n = c.in_flight.size() + c.pending.size();
    if (n == 0) return out;
    const std::vector<PendingRecord>* lists[] = {&c.in_flight, &c.pending};
    const std::vector<bool> newest = newest_copies(lists);
    out.ids.reserve(n);
    std::vector<uint64_t> newest_slots;
    size_t i = 0;
    for (const std::vector<PendingRecord>* list : lists) {
      for (const PendingRecord& p : *list) {
        if (newest[i++]) {
          out.ids.push_back(p.record.id);
          newest_slots.push_back(p.record.slot);
        }
      }
    }
    if (n < kParallelScanThreshold) {
      const uint64_t wide = saturating_add(k, n - out.ids.size());
      out.hits = scan_write_buffer(c.in_flight, metric, query, wide, filter);
      merge_hits(out.hits, scan_write_buffer(c.pending, metric, query, wide, filter), metric,
                 wide);
      std::sort(newest_slots.begin(), newest_slots.end());
      keep_newest(out.hits, newest_slots);
      if (out.hits.size() > k) out.hits.resize(static_cast<size_t>(k));
    } else {
      copies.reserve(out.ids.size());
      i = 0;
      for (const std::vector<PendingRecord>* list : lists) {
        for (const PendingRecord& p : *list) {
          if (newest[i++]) copies.push_back(p);
        }
      }
    }
  }
  if (!copies.empty()) out.hits = scan_write_buffer(copies, metric, query, k, filter);
  std::sort(out.ids.begin(), out.ids.end());
  return out;
}

// Drops the committed hits whose id has a buffered copy: that copy is the record, and a
// flush that commits between the look at the buffer and the committed scan leaves its
// records in both.
void drop_hidden(std::vector<SearchHit>& hits, const std::vector<std::string>& buffered_ids) {
  if (buffered_ids.empty()) return;
  std::erase_if(hits, [&buffered_ids](const SearchHit& h) {
    return std::binary_search(buffered_ids.begin(), buffered_ids.end(), h.id);
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

  TQ_TRY(check_not_dropped(c));

  BufferedSide buffered = buffered_side(c, query, k, filter);
  // Each buffered id can hide one committed hit, so the committed road is asked for as
  // many more as there are buffered ids.
  const uint64_t wanted = saturating_add(k, buffered.ids.size());

  std::vector<SearchHit> hits;
  {
    std::shared_lock index_lock(c.hnsw_lock);
    if (c.config.hnsw && c.hnsw) {
      TQ_ASSIGN(hits, hnsw_candidates(c, query, wanted, filter));
    } else {
      TQ_ASSIGN(hits, exact_candidates(c, query, wanted, filter));
    }
  }

  if (buffered.ids.empty()) return hits;
  drop_hidden(hits, buffered.ids);
  // Committed hits stay ahead of buffered hits with the same score.
  merge_hits(hits, std::move(buffered.hits), c.config.metric, k);
  return hits;
}

}  // namespace tornquil
