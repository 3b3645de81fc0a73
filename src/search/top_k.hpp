// The bounded best-first lists every search keeps its hits in: the top list over scored
// positions, the merger that joins such lists in a fixed order, and the stable sorts of hits.
//
// Ordering: every comparison of scores is strict and a NaN score is worse than every real
// score, so NaN items come last; equal scores (NaN with NaN included) keep the order in
// which they arrived. That is what makes the results independent of the number of threads:
// work is scored in pieces whose lists are merged in the pieces' fixed order.
//
// Thread safety: none of these objects is shared; each thread keeps lists of its own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/json_value.hpp"

namespace tornquil {

// One result of any search, before it reaches Python.
struct SearchHit {
  std::string id;      // an owned copy of the record id
  JsonValue metadata;  // the stored text parsed; null when that text is not valid JSON
  float score = 0;     // distance between the prepared query and the record's vector
};

// A scored item in a top list: `position` is its index in the caller's candidate list.
struct TopEntry {
  float score;
  uint64_t position;
};

// The best scores pushed so far. Between calls `entries` is sorted best first (descending
// when higher_is_better, ascending otherwise, NaN last), equal scores stand in push order,
// and there are at most `limit` entries.
struct TopK {
  std::vector<TopEntry> entries;
  uint64_t limit = 0;
  bool higher_is_better = true;
};

// A top list for a metric's sense of better. Room is reserved for limit + 1 entries, but
// never for more than `most_items` + 1, so a huge limit reserves only what can be filled.
TopK make_top_k(uint64_t limit, bool higher_is_better, uint64_t most_items);

// True when score a is strictly better than b: higher (or lower) and never NaN; every real
// score is better than NaN, and NaN is better than nothing.
inline bool score_better(float a, float b, bool higher_is_better) {
  if (higher_is_better ? a > b : a < b) return true;
  return b != b && a == a;
}

namespace detail {
void insert_top_k(TopK& top, float score, uint64_t position);
}  // namespace detail

// Inserts one scored item. When the list is full, a score that is not strictly better than
// the last entry is dropped at the cost of one comparison; otherwise the item moves ahead of
// every strictly worse entry and the list is cut back to `limit`. After any sequence of
// pushes, `entries` holds the first `limit` items of a stable best-first sort of everything
// pushed. Allocates only beyond the room the list was made with.
inline void push_top_k(TopK& top, float score, uint64_t position) {
  if (top.entries.size() >= top.limit) {
    if (top.entries.empty()) return;  // a limit of 0 keeps nothing
    if (!score_better(score, top.entries.back().score, top.higher_is_better)) return;
  }
  detail::insert_top_k(top, score, position);
}

// Fills `top` (empty, limit >= 1) with n scored items given in push order. A list that can
// hold them all is sorted once instead: a stable sort gives the list pushing would.
void build_top(TopK& top, const float* scores, const uint32_t* positions, uint32_t n);

// Items a merger gathers past its limit before it sorts and cuts again (or the limit's worth,
// when larger): enough to spread the cost of a sort over a few pieces' lists.
constexpr uint64_t kMergeBatch = 1024;

// The scan's own list, fed one best-first chunk list after another in candidate order, on
// one thread. Entries are gathered in feeding order and now and then stably sorted and cut
// to `limit`; once the list has been full, an entry no better than its last cannot get in
// and is not gathered. The result is the list pushing every entry would give, without
// pushing's cost per entry when the limit is large.
template <class Payload>
class Merger {
 public:
  struct Item {
    float score;
    Payload payload;
  };

  Merger(uint64_t limit, bool hib)
      : limit_(limit),
        hib_(hib),
        // Sort once a limit's worth has come in beyond the list (or a few chunks' worth).
        sort_at_(limit > std::numeric_limits<uint64_t>::max() / 2
                     ? std::numeric_limits<uint64_t>::max()
                     : limit + std::max<uint64_t>(limit, kMergeBatch)) {}

  // `payload_of(position)` gives the payload of an entry of `local`.
  template <class PayloadOf>
  void add(const TopK& local, const PayloadOf& payload_of) {
    for (const TopEntry& e : local.entries) {
      if (full_ && !score_better(e.score, worst_, hib_)) break;  // nor any after it
      items_.push_back(Item{e.score, payload_of(e.position)});
    }
    if (items_.size() >= sort_at_) settle();
  }

  // Items already best first, at most `limit` of them: what another merger's take() gave.
  void add_items(const std::vector<Item>& items) {
    for (const Item& e : items) {
      if (full_ && !score_better(e.score, worst_, hib_)) break;
      items_.push_back(e);
    }
    if (items_.size() >= sort_at_) settle();
  }

  // The list, best first, at most `limit` long.
  const std::vector<Item>& finish() {
    settle();
    return items_;
  }

  // The list of finish(), handed over.
  std::vector<Item> take() {
    settle();
    return std::move(items_);
  }

 private:
  void settle() {
    const bool hib = hib_;
    std::stable_sort(items_.begin(), items_.end(), [hib](const Item& a, const Item& b) {
      return score_better(a.score, b.score, hib);
    });
    if (items_.size() >= limit_) {
      items_.resize(static_cast<size_t>(limit_));
      full_ = true;
      worst_ = items_.back().score;
    }
  }

  uint64_t limit_;
  bool hib_;
  uint64_t sort_at_;
  bool full_ = false;
  float worst_ = 0;
  std::vector<Item> items_;
};

// Stable sorts by score, best first for Cosine/Dot (descending) and for L2 (ascending). An
// element moves ahead of another only when its score is strictly better; NaN scores go last.
void sort_hits_descending(std::vector<SearchHit>& hits);
void sort_hits_ascending(std::vector<SearchHit>& hits);

}  // namespace tornquil
