// The record columns follow every kind of commit a collection makes: after each one, the
// collection's search (which reads the columns) gives exactly the hits of a walk of the
// record table, bit for bit, filtered or not, for zero-padded, generated and unpadded ids
// and ids added between others, over several blocks of texts; and the columns show the
// snapshot the commit made without having been built again.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>

#include "base/json_read.hpp"
#include "collection/compact.hpp"
#include "collection/ndjson.hpp"
#include "collection/search.hpp"
#include "collection_fixture.hpp"
#include "search/distance.hpp"
#include "search/exact.hpp"

namespace tornquil::testing {
namespace {

constexpr uint64_t kDims = 8;
// Numbers of the ids: the first batch takes every tenth, over 2,500 records.
constexpr uint64_t kSpan = 25000;

// Vectors in a few tight clusters, some exact copies of each other, so that many scores tie
// and the order among equal scores (key order) decides the hits.
class Vectors {
 public:
  explicit Vectors(uint32_t seed) : rng_(seed) {
    std::normal_distribution<float> nd;
    for (auto& centre : centres_) {
      for (float& x : centre) x = nd(rng_);
    }
  }
  std::vector<float> next() {
    std::uniform_int_distribution<int> pick(0, 3);
    const auto& centre = centres_[pick(rng_)];
    std::vector<float> v(centre.begin(), centre.end());
    // One in three is the centre itself.
    if (std::uniform_int_distribution<int>(0, 2)(rng_) != 0) {
      std::normal_distribution<float> nd(0, 0.05f);
      for (float& x : v) x += nd(rng_);
    }
    return v;
  }
  const std::array<float, kDims>& centre(int i) const { return centres_[i]; }

 private:
  std::mt19937 rng_;
  std::array<std::array<float, kDims>, 4> centres_;
};

// Ids of one shape for the numbers n; "between" ids of the same shape sort between them.
std::string shaped_id(const std::string& shape, uint64_t n, bool between = false) {
  char buf[64];
  if (shape == "zero-padded") {
    std::snprintf(buf, sizeof buf, "mem-%07llu%s", static_cast<unsigned long long>(n),
                  between ? "-b" : "");
  } else if (shape == "uuid") {
    std::mt19937_64 r(n * 2 + (between ? 1 : 0));
    const uint64_t a = r(), b = r();
    std::snprintf(buf, sizeof buf, "%08x-%04x-4%03x-a%03x-%012llx", static_cast<unsigned>(a),
                  static_cast<unsigned>(a >> 32) & 0xffff, static_cast<unsigned>(a >> 48) & 0xfff,
                  static_cast<unsigned>(b) & 0xfff,
                  static_cast<unsigned long long>(b >> 16) & 0xffffffffffffull);
  } else {  // "unpadded"
    std::snprintf(buf, sizeof buf, "doc-%llu%s", static_cast<unsigned long long>(n),
                  between ? "5" : "");
  }
  return buf;
}

std::string meta_of(uint64_t n) {
  return "{\"g\":" + std::to_string(n % 3) + ",\"n\":" + std::to_string(n) + "}";
}

JsonValue json(const std::string& text) {
  auto v = parse_json(text);
  EXPECT_TRUE(v) << text;
  return v ? *v : JsonValue();
}

class ColumnsFollowTest : public CollectionTest {
 protected:
  // Every query and filter: the collection's hits against a walk of its table.
  void expect_columns_match_the_walk(Collection& c, const char* after) {
    SCOPED_TRACE(after);
    ASSERT_TRUE(flush_pending(c));
    ASSERT_EQ(buffered(c), 0u);
    const char* const kFilters[] = {nullptr, "{}", "{\"g\": 1}", "{\"g\": {\"$in\": [0, 2]}}",
                                    "{\"n\": {\"$gte\": 1300}}"};
    std::vector<std::vector<float>> queries = {std::vector<float>(kDims, 0.0f)};
    for (int i = 0; i < 4; ++i) {
      queries.emplace_back(vectors_.centre(i).begin(), vectors_.centre(i).end());
    }
    queries.push_back(vectors_.next());
    // Twice: a first search after the columns were dropped builds nothing.
    for (int round = 0; round < 2; ++round) {
      for (const char* f : kFilters) {
        std::optional<MetadataFilter> filter;
        if (f != nullptr) filter = parse_where_filter(json(f));
        for (const auto& q : queries) {
          for (uint64_t k : {uint64_t{1}, uint64_t{7}, uint64_t{2000}}) {
            SCOPED_TRACE(std::string(f ? f : "no filter") + " k " + std::to_string(k));
            auto got = search_collection(c, q, k, filter);
            ASSERT_TRUE(got) << got.error().render();
            const std::vector<float> prepared = prepare_vector(c.config.metric, q);
            std::shared_lock lk(c.slots.vectors_lock);
            auto walked =
                scan_committed(*c.meta, c.slots.vectors, c.config.metric, prepared, k, filter);
            ASSERT_TRUE(walked) << walked.error().render();
            ASSERT_EQ(got->size(), walked->size());
            for (size_t i = 0; i < got->size(); ++i) {
              EXPECT_EQ((*got)[i].id, (*walked)[i].id) << i;
              EXPECT_EQ(std::bit_cast<uint32_t>((*got)[i].score),
                        std::bit_cast<uint32_t>((*walked)[i].score));
              EXPECT_EQ((*got)[i].slot, (*walked)[i].slot);
              EXPECT_TRUE((*got)[i].metadata == (*walked)[i].metadata);
            }
          }
        }
      }
    }
    // The columns show the last commit and hold every Active record.
    auto txn = c.meta->begin_read();
    ASSERT_TRUE(txn);
    auto state = c.scan_columns.TEST_state();
    ASSERT_TRUE(state);
    EXPECT_EQ(state->first, txn->snapshot_id());
    uint64_t active = 0;
    for (const Record& r : committed_records(c)) active += r.state == RecordState::Active;
    EXPECT_EQ(state->second, active);
  }

  // The snapshot the columns show, which must only move with commits from here on.
  uint64_t columns_snapshot(Collection& c) {
    auto s = c.scan_columns.TEST_state();
    EXPECT_TRUE(s);
    return s ? s->first : 0;
  }

  void add_batch(Collection& c, const std::vector<std::string>& ids,
                 std::optional<uint64_t> ttl = std::nullopt) {
    Batch b;
    b.ids.emplace(ids);
    if (ttl) b.ttls.emplace(ids.size(), ttl);
    for (size_t i = 0; i < ids.size(); ++i) b.row(vectors_.next(), meta_of(next_meta_++));
    auto r = add_batch_records(c, b.input());
    ASSERT_TRUE(r) << r.error().render();
  }

  void add_one(Collection& c, const std::string& id) {
    auto r = add_record(c, vectors_.next(), json(meta_of(next_meta_++)), id, std::nullopt, false);
    ASSERT_TRUE(r) << r.error().render();
  }

  Vectors vectors_{7};
  uint64_t next_meta_ = 0;
};

TEST_F(ColumnsFollowTest, EveryKindOfCommitKeepsTheColumnRoadOnTheWalksHits) {
  for (const std::string shape : {"zero-padded", "uuid", "unpadded"}) {
    SCOPED_TRACE(shape);
    std::filesystem::remove_all(coll_dir());
    auto c = open(make_config(kDims, Metric::Cosine));
    ASSERT_TRUE(c);
    // Every tenth number now, enough for several blocks of texts; those between come later.
    std::vector<std::string> first;
    for (uint64_t n = 0; n < kSpan; n += 10) first.push_back(shaped_id(shape, n));
    add_batch(*c, first);
    // The first search asks for the log, the second builds the columns.
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(search_collection(*c, vectors_.next(), 5, {}));
    ASSERT_TRUE(c->scan_columns.TEST_state());
    expect_columns_match_the_walk(*c, "the build");
    const uint64_t built = columns_snapshot(*c);

    // The flush of the write buffer: new keys between and after the stored ones, one id
    // twice in the buffer, and a committed id replaced.
    for (uint64_t n = 1; n < kSpan; n += 370) add_one(*c, shaped_id(shape, n));
    add_one(*c, shaped_id(shape, 5, true));
    add_one(*c, shaped_id(shape, 5, true));
    add_one(*c, shaped_id(shape, kSpan + 3));
    add_one(*c, first[4]);
    expect_columns_match_the_walk(*c, "a flush");

    // Deletes of committed records (Tombstone, then removal) and of an absent id.
    for (size_t i = 0; i < first.size(); i += 70) ASSERT_TRUE(delete_by_id(*c, first[i]));
    ASSERT_TRUE(delete_by_id(*c, "absent"));
    expect_columns_match_the_walk(*c, "deletes");

    // Upserts: committed records replaced in place, a deleted id and a new one buffered.
    for (size_t i = 1; i < first.size(); i += 90) {
      ASSERT_TRUE(upsert_record(*c, first[i], vectors_.next(), json(meta_of(next_meta_++)),
                                std::nullopt, false));
    }
    ASSERT_TRUE(
        upsert_record(*c, first[0], vectors_.next(), json("{\"g\":1}"), std::nullopt, false));
    ASSERT_TRUE(upsert_record(*c, shaped_id(shape, 2, true), vectors_.next(), json("{}"),
                              std::nullopt, false));
    expect_columns_match_the_walk(*c, "upserts");

    // A batch (its phase 3 makes the records Active): keys between the stored ones, ids
    // the table holds, and an id twice.
    std::vector<std::string> batch;
    for (uint64_t n = 3; n < kSpan; n += 200) batch.push_back(shaped_id(shape, n));
    batch.push_back(first[2]);
    batch.push_back(first[3]);
    batch.push_back(shaped_id(shape, 3));
    add_batch(*c, batch);
    expect_columns_match_the_walk(*c, "a batch");

    // Compaction of expired records: a batch with a TTL of 0 is dead at once.
    std::vector<std::string> dying;
    for (uint64_t n = 7; n < kSpan; n += 500) dying.push_back(shaped_id(shape, n));
    add_batch(*c, dying, 0);
    expect_columns_match_the_walk(*c, "expired records");
    auto compacted = compact_collection(*c);
    ASSERT_TRUE(compacted) << compacted.error().render();
    EXPECT_EQ(compacted->expired_removed, dying.size());
    expect_columns_match_the_walk(*c, "compaction");

    // An import of the collection's own export replaces every record with its copy.
    const std::string file = dir_.file("export.ndjson");
    ASSERT_TRUE(export_to_file(*c, file));
    auto imported = import_from_file(*c, file);
    ASSERT_TRUE(imported) << imported.error().render();
    expect_columns_match_the_walk(*c, "an import");

    // Never built again: the snapshot only moved on with the commits.
    EXPECT_GT(columns_snapshot(*c), built);
    EXPECT_EQ(c->scan_columns.TEST_builds(), 1u);
  }
}

TEST_F(ColumnsFollowTest, AFailedCommitKeepsTheColumnsAndACommitTheyMissedRetiresThem) {
  auto c = open(make_config(kDims, Metric::L2));
  ASSERT_TRUE(c);
  std::vector<std::string> ids;
  for (uint64_t n = 0; n < 50; ++n) ids.push_back(shaped_id("zero-padded", n));
  add_batch(*c, ids);
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(search_collection(*c, vectors_.next(), 5, {}));
  const uint64_t before = columns_snapshot(*c);

  // A flush whose commit fails changes nothing: the columns stay at their snapshot.
  add_one(*c, "late");
  c->TEST_fail_next_commit();
  ASSERT_FALSE(flush_pending(*c));
  EXPECT_EQ(columns_snapshot(*c), before);
  expect_columns_match_the_walk(*c, "the flush again");

  // A commit made past the collection (as another program could not, but a damaged step
  // might) leaves the columns behind: the next commit drops them, the scans walk, and the
  // columns are built again from what the table holds.
  {
    auto txn = begin_write_txn(*c->meta);
    ASSERT_TRUE(txn);
    Record r = *committed_record(*c, ids[1]);
    r.metadata = "{\"g\":2}";
    ASSERT_TRUE(put_record(*txn, r));
    ASSERT_TRUE(txn->commit());
  }
  ASSERT_TRUE(delete_by_id(*c, ids[2]));
  EXPECT_FALSE(c->scan_columns.TEST_state());
  for (int i = 0; i < 8 && !c->scan_columns.TEST_state(); ++i) {
    ASSERT_TRUE(search_collection(*c, vectors_.next(), 5, {}));
  }
  expect_columns_match_the_walk(*c, "the rebuild");
}

}  // namespace
}  // namespace tornquil::testing
