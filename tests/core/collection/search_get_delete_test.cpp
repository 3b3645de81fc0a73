// The collection layer's record operations as the binding calls them: search (its dimension
// check, the merge of committed and buffered hits, the road of a collection with graph
// parameters), get by id and delete by id.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collection/get.hpp"
#include "collection/search.hpp"
#include "collection_fixture.hpp"
#include "search/exact.hpp"

namespace tornquil::testing {
namespace {

using SearchGetDeleteTest = CollectionTest;

constexpr uint64_t kDims = 4;

std::vector<std::string> ids_of(const std::vector<SearchHit>& hits) {
  std::vector<std::string> out;
  for (const SearchHit& h : hits) out.push_back(h.id);
  return out;
}

JsonValue meta_of(const std::string& text) { return parse_metadata_text(text); }

TEST_F(SearchGetDeleteTest, SearchMergesCommittedAheadOfBufferedAtEqualScoresAndCutsToK) {
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
