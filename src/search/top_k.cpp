// The top list's insertion, its one-shot build, and the stable sorts of hits.
#include "search/top_k.hpp"

namespace tornquil {

namespace detail {

void insert_top_k(TopK& top, float score, uint64_t position) {
  std::vector<TopEntry>& e = top.entries;
  const bool hib = top.higher_is_better;
  // The new entry goes behind every entry at least as good as it, ahead of the rest.
  size_t at = e.size();
  if (e.size() < 20) {
    while (at > 0 && score_better(score, e[at - 1].score, hib)) --at;
  } else {
    auto ahead_of = [hib](float s, const TopEntry& x) { return score_better(s, x.score, hib); };
    at = static_cast<size_t>(std::upper_bound(e.begin(), e.end(), score, ahead_of) - e.begin());
  }
  e.insert(e.begin() + static_cast<std::ptrdiff_t>(at), TopEntry{score, position});
  if (e.size() > top.limit) e.pop_back();
}

}  // namespace detail

TopK make_top_k(uint64_t limit, bool higher_is_better, uint64_t most_items) {
  TopK top;
  top.limit = limit;
  top.higher_is_better = higher_is_better;
  top.entries.reserve(static_cast<size_t>(std::min(limit, most_items)) + 1);
  return top;
}

void build_top(TopK& top, const float* scores, const uint32_t* positions, uint32_t n) {
  if (top.limit >= n) {
    for (uint32_t i = 0; i < n; ++i) top.entries.push_back(TopEntry{scores[i], positions[i]});
    const bool hib = top.higher_is_better;
    std::stable_sort(top.entries.begin(), top.entries.end(),
                     [hib](const TopEntry& a, const TopEntry& b) {
                       return score_better(a.score, b.score, hib);
                     });
    return;
  }
  for (uint32_t i = 0; i < n; ++i) push_top_k(top, scores[i], positions[i]);
}

void sort_hits_descending(std::vector<SearchHit>& hits) {
  std::stable_sort(hits.begin(), hits.end(), [](const SearchHit& a, const SearchHit& b) {
    return score_better(a.score, b.score, true);
  });
}

void sort_hits_ascending(std::vector<SearchHit>& hits) {
  std::stable_sort(hits.begin(), hits.end(), [](const SearchHit& a, const SearchHit& b) {
    return score_better(a.score, b.score, false);
  });
}

}  // namespace tornquil
