// The search of a collection: the moment it searches, its roads to the committed hits and
// the merge with the buffered ones.
#include "collection/search.hpp"

#include <algorithm>
#include <atomic>
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
#include "storage/records.hpp"

namespace tornquil {

namespace {

std::atomic<const SearchTestHooks*> g_test_hooks{nullptr};

uint64_t saturating_add(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

// What a search takes from one moment: the committed records as a read transaction begun
// then shows them, and from the write buffer as it stood then (the records in flight,
// buffered ahead of the rest, included) the best hits among the newest copy of each
// buffered id, or those copies themselves to be scored later, and every buffered id, whose
// committed record that copy hides.
struct Moment {
  std::optional<ReadTxn> txn;
  std::vector<SearchHit> hits;        // best first, at most k
  std::vector<PendingRecord> copies;  // from 500 buffered records on, instead of hits
  std::vector<std::string> ids;       // ascending, each once
};

// `hits` followed by `more`, stably sorted best first and cut to k: hits stay ahead of
// those of `more` with the same score.
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

// The hits among `hits` that are newest copies (their slots in `newest_slots`, ascending):
// a buffered copy has a slot of its own, so its slot names it.
void keep_newest(std::vector<SearchHit>& hits, const std::vector<uint64_t>& newest_slots) {
  std::erase_if(hits, [&newest_slots](const SearchHit& h) {
    return !std::binary_search(newest_slots.begin(), newest_slots.end(), h.slot);
  });
}

// Begins the read transaction and looks at the buffer under the buffer's mutex: no record
// buffered now is in a commit the transaction shows, and of the records in flight it shows
// all or none, so each buffered copy hides what the table holds of its id either way.
// Below the parallel threshold the records are scored in place under the mutex, which
// spares copying every buffered vector: every copy is scored, and enough hits are kept (k
// plus the number of older copies) that dropping the older copies' hits leaves the best k
// of the newest copies. A larger buffer has its newest copies copied, so that the worker
// pool never runs while the mutex is held. Errors: Transaction.
Result<Moment> take_moment(Collection& c, std::span<const float> query, uint64_t k,
                           const std::optional<MetadataFilter>& filter) {
  const Metric metric = c.config.metric;
  Moment out;
  {
    std::lock_guard lk(c.pending_lock);
    TQ_ASSIGN(ReadTxn txn, begin_read_txn(*c.meta));
    out.txn.emplace(std::move(txn));
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
      merge_hits(out.hits, scan_write_buffer(c.pending, metric, query, wide, filter), metric, wide);
      std::sort(newest_slots.begin(), newest_slots.end());
      keep_newest(out.hits, newest_slots);
      if (out.hits.size() > k) out.hits.resize(static_cast<size_t>(k));
    } else {
      out.copies.reserve(out.ids.size());
      i = 0;
      for (const std::vector<PendingRecord>* list : lists) {
        for (const PendingRecord& p : *list) {
          if (newest[i++]) out.copies.push_back(p);
        }
      }
    }
  }
  std::sort(out.ids.begin(), out.ids.end());
  return out;
}

// Leaves out the committed hits whose record `now` does not store exactly as `then` did:
// it was deleted or replaced after the moment, and its slot may hold another record's vector
// by now. A record stored unchanged in `now`, which was begun under the `vectors` lock, names
// a slot that cannot be given up while that lock is held.
Result<void> drop_changed(ReadTxn& then, ReadTxn& now, std::vector<SearchHit>& hits) {
  size_t kept = 0;
  for (SearchHit& h : hits) {
    TQ_ASSIGN(std::optional<std::string_view> was, then.get(kRecordsTable, h.id));
    TQ_ASSIGN(std::optional<std::string_view> is, now.get(kRecordsTable, h.id));
    if (!was || !is || *was != *is) continue;
    if (&hits[kept] != &h) hits[kept] = std::move(h);
    ++kept;
  }
  hits.resize(kept);
  return {};
}

// The exact road: every committed record of `txn` is scored. With `changed` (a snapshot
// that commits have moved past) the changed records are left out, and the scan is asked for
// more until k unchanged ones are left or it has no more to give: a changed record scored
// with another's vector may have pushed one of them out. The caller holds the `hnsw` and
// `vectors` locks for reading.
Result<std::vector<SearchHit>> exact_candidates(Collection& c, ReadTxn& txn, ReadTxn* changed,
                                                std::span<const float> query, uint64_t k,
                                                const std::optional<MetadataFilter>& filter) {
  for (uint64_t ask = k;; ask = saturating_add(ask, ask)) {
    TQ_ASSIGN(std::vector<SearchHit> hits,
              scan_committed(*c.meta, txn, c.slots.vectors, c.config.metric, query, ask, filter,
                             &c.scan_bounds, &c.scan_columns));
    if (changed == nullptr) return hits;
    const size_t got = hits.size();
    TQ_TRY(drop_changed(txn, *changed, hits));
    if (hits.size() >= k || got < ask) {
      if (hits.size() > k) hits.resize(static_cast<size_t>(k));
      return hits;
    }
  }
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

// The graph's road, for a collection with a loaded index; records are looked up in `txn`,
// and with `changed` those changed since are left out, as on the exact road (the graph is
// walked once, so fewer than k may come back). With a filter, the graph's candidates are
// filtered in their order until k pass; no second walk looks for more, so fewer than k can
// come back. The caller holds the `hnsw` and `vectors` locks for reading.
Result<std::vector<SearchHit>> hnsw_candidates(Collection& c, ReadTxn& txn, ReadTxn* changed,
                                               std::span<const float> query, uint64_t k,
                                               const std::optional<MetadataFilter>& filter) {
  const HnswIndex& index = *c.hnsw;
  const uint64_t count = hnsw_candidate_count(index, k, filter.has_value());
  TQ_ASSIGN(std::vector<SearchHit> hits, hnsw_search(index, query, count, c.slots.vectors, txn));
  if (changed != nullptr) TQ_TRY(drop_changed(txn, *changed, hits));
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

// The committed hits of the moment whose transaction is `txn`, or nullopt when a commit has
// come since and this is not the last attempt: the caller then takes a new moment. The
// caller holds the `hnsw` lock for reading; the `vectors` lock is taken here.
Result<std::optional<std::vector<SearchHit>>> committed_hits(
    Collection& c, ReadTxn& txn, std::span<const float> query, uint64_t k,
    const std::optional<MetadataFilter>& filter, bool last_attempt) {
  std::shared_lock vectors_lock(c.slots.vectors_lock);
  TQ_ASSIGN(ReadTxn now, begin_read_txn(*c.meta));
  const bool moved = now.snapshot_id() != txn.snapshot_id();
  if (moved && !last_attempt) return std::nullopt;
  if (!moved) now.end();
  ReadTxn* changed = moved ? &now : nullptr;
  if (c.config.hnsw && c.hnsw) return hnsw_candidates(c, txn, changed, query, k, filter);
  return exact_candidates(c, txn, changed, query, k, filter);
}

// Drops the committed hits whose id has a buffered copy: that copy is the record, and a
// flush that was committing when the moment was taken may have put its records in both.
void drop_hidden(std::vector<SearchHit>& hits, const std::vector<std::string>& buffered_ids) {
  if (buffered_ids.empty()) return;
  std::erase_if(hits, [&buffered_ids](const SearchHit& h) {
    return std::binary_search(buffered_ids.begin(), buffered_ids.end(), h.id);
  });
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
  if (k == 0) return std::vector<SearchHit>{};

  const SearchTestHooks* const hooks = g_test_hooks.load(std::memory_order_acquire);
  for (int attempt = 0;; ++attempt) {
    // A new moment after commits: the index takes in what they committed first.
    if (attempt > 0) TQ_TRY(refresh_index(c));
    TQ_ASSIGN(Moment moment, take_moment(c, query, k, filter));
    if (hooks != nullptr && hooks->after_buffer_look != nullptr) {
      hooks->after_buffer_look(hooks->arg, attempt);
    }
    // Each buffered id can hide one committed hit, so the committed road is asked for as
    // many more as there are buffered ids.
    const uint64_t wanted = saturating_add(k, moment.ids.size());
    std::optional<std::vector<SearchHit>> committed;
    {
      std::shared_lock index_lock(c.hnsw_lock);
      TQ_ASSIGN(committed, committed_hits(c, *moment.txn, query, wanted, filter,
                                          attempt + 1 >= kSearchMomentAttempts));
    }
    if (!committed) continue;
    moment.txn.reset();
    std::vector<SearchHit> hits = std::move(*committed);
    if (moment.ids.empty()) return hits;
    if (!moment.copies.empty()) {
      moment.hits = scan_write_buffer(moment.copies, c.config.metric, query, k, filter);
    }
    drop_hidden(hits, moment.ids);
    // Committed hits stay ahead of buffered hits with the same score.
    merge_hits(hits, std::move(moment.hits), c.config.metric, k);
    return hits;
  }
}

void TEST_set_search_hooks(const SearchTestHooks* hooks) {
  g_test_hooks.store(hooks, std::memory_order_release);
}

}  // namespace tornquil
