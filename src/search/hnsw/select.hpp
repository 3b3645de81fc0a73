// Neighbour selection of the incremental road: the heuristic of the HNSW paper (Malkov and
// Yashunin, Algorithm 4) with kept pruned connections. A candidate joins the list when it
// is nearer to the list's owner than to every candidate already in it, so that a list
// spends its places on different directions instead of on one tight group; the candidates
// passed over then fill the places left, nearest first. A cut made this way keeps the long
// links that hold a clustered graph together, where a cut to the nearest entries drops them.
//
// Some candidates may be marked as ones the list must keep (a link that keeps a node in
// reach): they take their places first, and the others share what remains of the limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "search/distance.hpp"
#include "search/hnsw/walk.hpp"

namespace tornquil {

// The distance between two stored vectors of `dims` floats, one pair or four at a time
// (bit for bit the same results), and whether two of them stand at one place.
struct PairDistance {
  DistanceFn one = nullptr;
  DistanceX4Fn four = nullptr;
  DistanceFn place = nullptr;  // squared L2, whatever the metric
  size_t dims = 0;

  explicit PairDistance(Metric m = Metric::L2, size_t d = 0)
      : one(distance_kernel(m)),
        four(distance_x4_kernel(m)),
        place(distance_kernel(Metric::L2)),
        dims(d) {}

  // At distance 0 from each other: equal vectors (a NaN is at no place).
  bool same_place(const float* a, const float* b) const { return place(a, b, dims) == 0.0f; }
};

// Lists one selection reuses from call to call, so that selecting allocates nothing once
// they have grown.
struct SelectScratch {
  std::vector<const float*> where;    // each candidate's vector, or null
  std::vector<uint32_t> kept;         // positions of the candidates taken by the first pass
  std::vector<uint32_t> passed_over;  // positions the first pass did not take
  std::vector<uint32_t> dropped;      // the candidates left out, in candidate order
};

// Chooses the list an owner keeps from `candidates` (node, score against the owner), given
// best first, and writes their node indices to `out`:
//  1. In candidate order: a candidate that must_keep(node) names is taken. Any other is
//     taken when, against every candidate taken so far (by `dist`), it scores strictly
//     better against the owner, or exactly as well without standing at the taken one's
//     place (a candidate without a vector, or a taken one without, never counts as
//     nearer), as long as fewer than limit - (the number of must-keep candidates) others
//     were taken. So a copy of a taken candidate is passed over, while a copy of the owner,
//     which is as near to everything as the owner is, keeps no other candidate out.
//  2. The candidates passed over then fill those places, in candidate order.
// `out` holds the candidates of step 1 in their order, then those of step 2; the list is
// longer than `limit` only when more candidates must be kept than it allows. The others go
// to s.dropped, in candidate order. vector_of(node) gives a node's `dims` floats or null.
template <class VectorOf, class MustKeep>
void select_neighbors_heuristic(std::span<const ScoredNode> candidates, size_t limit,
                                const VectorOf& vector_of, const PairDistance& dist, bool hib,
                                const MustKeep& must_keep, std::vector<uint32_t>& out,
                                SelectScratch& s) {
  out.clear();
  s.kept.clear();
  s.passed_over.clear();
  s.dropped.clear();
  s.where.resize(candidates.size());
  size_t must = 0;
  for (size_t i = 0; i < candidates.size(); ++i) {
    s.where[i] = vector_of(candidates[i].node);
    if (must_keep(candidates[i].node)) ++must;
  }
  const size_t room = limit > must ? limit - must : 0;  // places for the other candidates
  size_t taken = 0;
  for (size_t i = 0; i < candidates.size(); ++i) {
    const uint32_t node = candidates[i].node;
    if (must_keep(node)) {
      s.kept.push_back(static_cast<uint32_t>(i));
      continue;
    }
    const float* own = s.where[i];
    bool diverse = taken < room && own != nullptr;
    // Nearer the owner than the taken vector `other`, at distance d from it.
    const float to_owner = candidates[i].score;
    const auto nearer_owner = [&](float d, const float* other) {
      return strictly_better(to_owner, d, hib) || (to_owner == d && !dist.same_place(own, other));
    };
    // Four taken vectors at a time; a test that fails ends the candidate's turn.
    size_t k = 0;
    for (; diverse && k + 4 <= s.kept.size(); k += 4) {
      const float* b[4];
      for (size_t j = 0; j < 4; ++j) {
        b[j] = s.where[s.kept[k + j]];
        if (b[j] == nullptr) diverse = false;
      }
      if (!diverse) break;
      float d[4];
      dist.four(own, b, dist.dims, d);
      for (size_t j = 0; j < 4; ++j) diverse = diverse && nearer_owner(d[j], b[j]);
    }
    for (; diverse && k < s.kept.size(); ++k) {
      const float* other = s.where[s.kept[k]];
      diverse = other != nullptr && nearer_owner(dist.one(own, other, dist.dims), other);
    }
    if (diverse) {
      s.kept.push_back(static_cast<uint32_t>(i));
      ++taken;
    } else {
      s.passed_over.push_back(static_cast<uint32_t>(i));
    }
  }
  for (const uint32_t i : s.kept) out.push_back(candidates[i].node);
  for (const uint32_t i : s.passed_over) {
    if (taken < room) {
      out.push_back(candidates[i].node);
      ++taken;
    } else {
      s.dropped.push_back(candidates[i].node);
    }
  }
}

}  // namespace tornquil
