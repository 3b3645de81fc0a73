// The collection layer's record operations as the binding calls them: search (its dimension
// check, the merge of committed and buffered hits, the road of a collection with graph
// parameters, the one moment it searches while others write), get by id and delete by id.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "collection/get.hpp"
#include "collection/search.hpp"
#include "collection_fixture.hpp"
#include "search/distance.hpp"
#include "search/exact.hpp"

namespace tornquil::testing {
namespace {

using SearchGetDeleteTest = CollectionTest;
// With the clock held still, records stay buffered until a flush or the hundredth add.
using BufferedSearchTest = ManualClockTest;

constexpr uint64_t kDims = 4;

std::vector<std::string> ids_of(const std::vector<SearchHit>& hits) {
  std::vector<std::string> out;
  for (const SearchHit& h : hits) out.push_back(h.id);
  return out;
}

JsonValue meta_of(const std::string& text) { return parse_metadata_text(text); }

TEST_F(BufferedSearchTest, SearchMergesCommittedAheadOfBufferedAtEqualScoresAndCutsToK) {
  auto c = open(make_config(kDims, Metric::L2));
  ASSERT_TRUE(c);
  const std::vector<float> v = vec(kDims, 1), far = vec(kDims, 9);
  for (const char* id : {"c1", "c2"}) {
    ASSERT_TRUE(add_record(*c, v, JsonValue(), std::string(id), std::nullopt));
  }
  ASSERT_TRUE(add_record(*c, far, JsonValue(), std::string("c3"), std::nullopt));
  ASSERT_TRUE(flush_pending(*c));
  for (const char* id : {"b1", "b2"}) {
    ASSERT_TRUE(add_record(*c, v, JsonValue(), std::string(id), std::nullopt));
  }
  ASSERT_EQ(buffered(*c), 2u);

  struct Case {
    uint64_t k;
    std::vector<std::string> ids;
  };
  const Case cases[] = {
      {0, {}},
      {1, {"c1"}},
      {3, {"c1", "c2", "b1"}},
      {10, {"c1", "c2", "b1", "b2", "c3"}},
  };
  for (const Case& tc : cases) {
    auto hits = search_collection(*c, v, tc.k, std::nullopt);
    ASSERT_TRUE(hits) << hits.error().render();
    EXPECT_EQ(ids_of(*hits), tc.ids) << "k = " << tc.k;
  }
}

TEST_F(SearchGetDeleteTest, SearchRefusesAQueryOfAnotherLengthBeforeAnythingElse) {
  auto c = open(make_config(kDims));
  ASSERT_TRUE(c);
  add(*c, 1);
  auto hits = search_collection(*c, vec(kDims + 1, 1), 5, std::nullopt);
  ASSERT_FALSE(hits);
  EXPECT_EQ(hits.error().render(), "Dimension mismatch: expected 4, got 5");
}

TEST_F(SearchGetDeleteTest, AFilteredSearchKeepsOnlyMatchingRecordsOfBothSides) {
  auto c = open(make_config(kDims, Metric::Cosine));
  ASSERT_TRUE(c);
  ASSERT_TRUE(add_record(*c, vec(kDims, 1), meta_of(R"({"t":"a"})"), std::string("ca"), {}));
  ASSERT_TRUE(add_record(*c, vec(kDims, 1), meta_of(R"({"t":"b"})"), std::string("cb"), {}));
  ASSERT_TRUE(flush_pending(*c));
  ASSERT_TRUE(add_record(*c, vec(kDims, 1), meta_of(R"({"t":"a"})"), std::string("ba"), {}));
  ASSERT_TRUE(add_record(*c, vec(kDims, 1), meta_of(R"({"t":"b"})"), std::string("bb"), {}));
  const MetadataFilter filter = parse_where_filter(meta_of(R"({"t":"a"})"));
  auto hits = search_collection(*c, vec(kDims, 1), 10, filter);
  ASSERT_TRUE(hits) << hits.error().render();
  EXPECT_EQ(ids_of(*hits), (std::vector<std::string>{"ca", "ba"}));
}

TEST_F(SearchGetDeleteTest, ACollectionWithGraphParametersGetsTheExactHits) {
  // On a graph of 30 nodes a beam of 16 reaches the true neighbours: the graph's road must
  // give exactly what the scan of the committed records gives.
  auto c = open(make_config(kDims, Metric::Dot, small_hnsw()));
  ASSERT_TRUE(c);
  for (uint64_t i = 0; i < 30; ++i) add(*c, i);
  ASSERT_TRUE(flush_pending(*c));
  const std::vector<float> q = vec(kDims, 7);
  auto hits = search_collection(*c, q, 5, std::nullopt);
  ASSERT_TRUE(hits) << hits.error().render();
  std::shared_lock lk(c->slots.vectors_lock);
  auto scan = scan_committed(*c->meta, c->slots.vectors, Metric::Dot, q, 5, std::nullopt);
  ASSERT_TRUE(scan);
  EXPECT_EQ(ids_of(*hits), ids_of(*scan));
}

// Holds searches between their look at the write buffer and their committed scan: the
// first `held` looks wait, on the search's thread, until the test releases them.
class SearchPause {
 public:
  explicit SearchPause(int held) : held_(held) {
    hooks_.after_buffer_look = &SearchPause::on_look;
    hooks_.arg = this;
    TEST_set_search_hooks(&hooks_);
  }
  ~SearchPause() { TEST_set_search_hooks(nullptr); }

  // Waits until a search is held; false when none comes (a guard against a hang only).
  bool wait_until_held() {
    std::unique_lock lk(mu_);
    return cv_.wait_for(lk, std::chrono::seconds(60), [this] { return holding_; });
  }
  void release() {
    std::lock_guard lk(mu_);
    holding_ = false;
    released_ = true;
    cv_.notify_all();
  }
  int looks() {
    std::lock_guard lk(mu_);
    return looks_;
  }

 private:
  static void on_look(void* arg, int /*attempt*/) {
    auto* self = static_cast<SearchPause*>(arg);
    std::unique_lock lk(self->mu_);
    if (self->looks_++ >= self->held_) return;
    self->holding_ = true;
    self->released_ = false;
    self->cv_.notify_all();
    self->cv_.wait_for(lk, std::chrono::seconds(60), [self] { return self->released_; });
  }

  SearchTestHooks hooks_;
  std::mutex mu_;
  std::condition_variable cv_;
  const int held_;
  int looks_ = 0;
  bool holding_ = false;
  bool released_ = false;
};

// The two roads to the committed records: the exact scan and the graph.
struct Road {
  const char* name;
  std::optional<HnswConfig> hnsw;
};
const Road kRoads[] = {{"exact", std::nullopt}, {"graph", small_hnsw()}};

class SearchMomentTest : public CollectionTest {
 protected:
  // Committed records c1..c3 at rising distances from vec(kDims, 0), and on the graph road
  // the index that a first search builds.
  std::shared_ptr<Collection> open_with_three(const Road& road) {
    auto c = open(make_config(kDims, Metric::L2, road.hnsw));
    if (!c) return c;
    for (uint64_t i = 1; i <= 3; ++i) {
      EXPECT_TRUE(add_record(*c, vec(kDims, i), JsonValue(), "c" + std::to_string(i), {}, false));
    }
    EXPECT_TRUE(flush_pending(*c));
    EXPECT_TRUE(search_collection(*c, vec(kDims, 0), 1, std::nullopt));
    return c;
  }
};

TEST_F(SearchMomentTest, ASearchHeldWhileOthersWriteSeesTheBufferAndTableOfOneMoment) {
  // Held after its look at the buffer, the search meets writes: x, buffered, is deleted,
  // and y is added. When y is committed meanwhile, the moment is gone (the table no longer
  // stands as it did beside the buffer) and the search takes a new one: y, not x. When
  // nothing is committed, the moment holds: x, as the buffer had it, not y; a buffer from
  // 500 records on is copied at the look and scored later, with the same outcome.
  struct Case {
    const char* name;
    bool commit_y;
    uint64_t filler;  // further buffered records, far from the query
    std::vector<std::string> ids;
    int looks;
  };
  const Case cases[] = {
      {"y committed", true, 0, {"c1", "c2", "c3", "y"}, 2},
      {"y buffered", false, 0, {"c1", "c2", "c3", "x"}, 1},
      {"y buffered, large buffer", false, 600, {"c1", "c2", "c3", "x", "f0"}, 1},
  };
  for (const Road& road : kRoads) {
    for (const Case& tc : cases) {
      SCOPED_TRACE(std::string(road.name) + ", " + tc.name);
      std::filesystem::remove_all(coll_dir());
      auto c = open_with_three(road);
      ASSERT_TRUE(c);
      ASSERT_TRUE(add_record(*c, vec(kDims, 4), JsonValue(), std::string("x"), {}, false));
      for (uint64_t i = 0; i < tc.filler; ++i) {
        ASSERT_TRUE(
            add_record(*c, vec(kDims, 1000 + i), JsonValue(), "f" + std::to_string(i), {}, false));
      }

      SearchPause pause(1);
      Result<std::vector<SearchHit>> hits = std::vector<SearchHit>{};
      std::thread searcher([&] { hits = search_collection(*c, vec(kDims, 0), 5, std::nullopt); });
      const bool held = pause.wait_until_held();
      EXPECT_TRUE(held);
      if (held) {
        auto deleted = delete_by_id(*c, "x");
        EXPECT_TRUE(deleted && *deleted);
        EXPECT_TRUE(add_record(*c, vec(kDims, 5), JsonValue(), std::string("y"), {}, false));
        if (tc.commit_y) {
          EXPECT_TRUE(flush_pending(*c));
        }
      }
      pause.release();
      searcher.join();
      ASSERT_TRUE(hits) << hits.error().render();
      EXPECT_EQ(ids_of(*hits), tc.ids);
      EXPECT_EQ(pause.looks(), tc.looks);
      EXPECT_EQ(count(*c), 4 + tc.filler);
    }
  }
}

TEST_F(SearchMomentTest, ASearchThatCommitsKeepOutrunningLeavesOutTheRecordsTheyChanged) {
  // Every look at the buffer is followed by a commit, until the search gives up taking new
  // moments and searches its last one. Just before, c1 (the nearest) is deleted and z, at
  // the query itself, is added and committed into the slot c1 gave up: scored by its slot,
  // c1 would come first with z's distance of 0. It is left out instead, z (committed after
  // the moment) too, and the exact road still gives k hits.
  for (const Road& road : kRoads) {
    SCOPED_TRACE(road.name);
    std::filesystem::remove_all(coll_dir());
    auto c = open_with_three(road);
    ASSERT_TRUE(c);
    ASSERT_TRUE(add_record(*c, vec(kDims, 4), JsonValue(), std::string("c4"), {}, false));
    ASSERT_TRUE(flush_pending(*c));
    const uint64_t c1_slot = committed_record(*c, "c1")->slot;

    struct State {
      Collection* c;
      int looks = 0;
    } state{c.get()};
    SearchTestHooks hooks;
    hooks.arg = &state;
    hooks.after_buffer_look = [](void* arg, int attempt) {
      auto* s = static_cast<State*>(arg);
      ++s->looks;
      if (attempt + 1 < kSearchMomentAttempts) {
        EXPECT_TRUE(add_record(*s->c, vec(kDims, 50 + attempt), JsonValue(),
                               "r" + std::to_string(attempt), {}, false));
      } else {
        EXPECT_TRUE(delete_by_id(*s->c, "c1"));
        EXPECT_TRUE(add_record(*s->c, vec(kDims, 0), JsonValue(), std::string("z"), {}, false));
      }
      EXPECT_TRUE(flush_pending(*s->c));
    };
    TEST_set_search_hooks(&hooks);
    auto hits = search_collection(*c, vec(kDims, 0), 3, std::nullopt);
    TEST_set_search_hooks(nullptr);
    ASSERT_TRUE(hits) << hits.error().render();
    EXPECT_EQ(state.looks, kSearchMomentAttempts);
    EXPECT_EQ(committed_record(*c, "z")->slot, c1_slot);
    EXPECT_EQ(ids_of(*hits), (std::vector<std::string>{"c2", "c3", "c4"}));
    const std::vector<float> q = vec(kDims, 0), c2 = vec(kDims, 2);
    ASSERT_FALSE(hits->empty());
    EXPECT_EQ((*hits)[0].score, distance(Metric::L2, q, c2));
  }
}

TEST_F(SearchGetDeleteTest, GetFindsTheBufferedCopyFirstThenTheCommittedRecord) {
  auto c = open(make_config(kDims));
  ASSERT_TRUE(c);
  ASSERT_TRUE(add_record(*c, vec(kDims, 1), meta_of(R"({"b":1,"a":[1,2]})"), std::string("x"),
                         std::nullopt));
  auto buffered_hit = get_by_id(*c, "x");
  ASSERT_TRUE(buffered_hit) << buffered_hit.error().render();
  ASSERT_TRUE(*buffered_hit);
  EXPECT_EQ((*buffered_hit)->id, "x");
  EXPECT_EQ((*buffered_hit)->metadata, R"({"a":[1,2],"b":1})");

  ASSERT_TRUE(flush_pending(*c));
  auto committed = get_by_id(*c, "x");
  ASSERT_TRUE(committed && *committed);
  EXPECT_EQ((*committed)->metadata, R"({"a":[1,2],"b":1})");

  for (const std::string& absent : {std::string("y"), std::string(511, 'x')}) {
    auto none = get_by_id(*c, absent);
    ASSERT_TRUE(none) << none.error().render();
    EXPECT_FALSE(*none);
  }
}

TEST_F(SearchGetDeleteTest, GetAnswersNoneForExpiredAndDeletedSlotsAndAnErrorForAMissingSlot) {
  auto c = open(make_config(kDims));
  ASSERT_TRUE(c);
  add(*c, 1, "expired", 0);
  add(*c, 2, "marked");
  ASSERT_TRUE(flush_pending(*c));
  auto marked = committed_record(*c, "marked");
  ASSERT_TRUE(marked);
  {
    std::unique_lock lk(c->slots.vectors_lock);
    ASSERT_TRUE(write_deleted_marker(c->slots.vectors, marked->slot));
  }
  for (const char* id : {"expired", "marked"}) {
    auto r = get_by_id(*c, id);
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_FALSE(*r) << id;
  }

  Record beyond = *marked;
  beyond.id = "beyond";
  beyond.slot = 1u << 30;
  {
    auto txn = begin_write_txn(*c->meta);
    ASSERT_TRUE(txn);
    ASSERT_TRUE(put_record(*txn, beyond));
    ASSERT_TRUE(txn->commit());
  }
  auto r = get_by_id(*c, "beyond");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().render(), "Record not found: Slot 1073741824 not allocated");
}

TEST_F(SearchGetDeleteTest, DeleteTakesEveryCopyBufferedAndCommitted) {
  auto c = open(make_config(kDims));
  ASSERT_TRUE(c);
  add(*c, 1, "x");
  ASSERT_TRUE(flush_pending(*c));
  add(*c, 2, "x");  // newer copies, still buffered
  add(*c, 3, "x");

  auto first = delete_by_id(*c, "x");
  ASSERT_TRUE(first && *first);
  EXPECT_EQ(buffered(*c), 0u);
  EXPECT_FALSE(committed_record(*c, "x"));
  ASSERT_TRUE(flush_pending(*c));
  EXPECT_FALSE(committed_record(*c, "x"));

  auto second = delete_by_id(*c, "x");
  ASSERT_TRUE(second);
  EXPECT_FALSE(*second);

  for (const std::string& absent : {std::string("x"), std::string(511, 'x')}) {
    auto r = delete_by_id(*c, absent);
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_FALSE(*r);
  }
}

}  // namespace
}  // namespace tornquil::testing
