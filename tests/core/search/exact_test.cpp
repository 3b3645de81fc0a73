// The exact scan and the top list: the insertion rule against a stable-sort oracle, the
// tests that keep records out, the order of equal and NaN scores, the widened list of a
// filtered scan, the sequential and pooled roads giving the same hits, the scan's errors,
// whole scans against a brute-force oracle on random data, and the parallel walk of the
// record table: the same hits as the single walk for keys of every shape, its snapshot
// check, and walks running beside commits.
#include "search/exact.hpp"

#include <gtest/gtest.h>
#include <lmdb.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../storage/test_dir.hpp"
#include "../turns.hpp"
#include "base/json_read.hpp"
#include "base/json_write.hpp"
#include "search/distance.hpp"
#include "search/filter.hpp"
#include "storage/kv_store.hpp"
#include "storage/records.hpp"
#include "storage/vector_file.hpp"

namespace tornquil {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr uint64_t kNow = 1700000000;

int64_t fixed_clock() { return static_cast<int64_t>(kNow) * 1000000000; }

// The oracle's order, written out on its own: strictly better score first, NaN after every
// real score, and the earlier item first among equals.
bool oracle_before(float a, size_t ia, float b, size_t ib, bool hib) {
  const bool an = std::isnan(a), bn = std::isnan(b);
  if (an != bn) return bn;
  if (!an && a != b) return hib ? a > b : a < b;
  return ia < ib;
}

std::vector<std::pair<float, uint64_t>> oracle_top(const std::vector<float>& scores, uint64_t limit,
                                                   bool hib) {
  std::vector<size_t> idx(scores.size());
  for (size_t i = 0; i < idx.size(); ++i) idx[i] = i;
  std::sort(idx.begin(), idx.end(),
            [&](size_t a, size_t b) { return oracle_before(scores[a], a, scores[b], b, hib); });
  std::vector<std::pair<float, uint64_t>> out;
  for (size_t i = 0; i < idx.size() && i < limit; ++i) out.emplace_back(scores[idx[i]], idx[i]);
  return out;
}

std::vector<std::pair<float, uint64_t>> entries_of(const TopK& top) {
  std::vector<std::pair<float, uint64_t>> out;
  for (const TopEntry& e : top.entries) out.emplace_back(e.score, e.position);
  return out;
}

// Float equality that lets NaN equal NaN, for comparing score lists.
bool same_score(float a, float b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

void expect_same_entries(const std::vector<std::pair<float, uint64_t>>& got,
                         const std::vector<std::pair<float, uint64_t>>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_TRUE(same_score(got[i].first, want[i].first)) << "at " << i;
    EXPECT_EQ(got[i].second, want[i].second) << "at " << i;
  }
}

// ---- push_top_k ----

TEST(TopKTest, PushSequencesKeepTheFirstLimitOfAStableBestFirstSort) {
  struct Case {
    const char* name;
    uint64_t limit;
    bool hib;
    std::vector<float> pushes;
    std::vector<std::pair<float, uint64_t>> want;
  };
  const Case cases[] = {
      {"equal scores keep push order", 5, true, {1, 1, 1}, {{1, 0}, {1, 1}, {1, 2}}},
      {"a later equal score is dropped when full", 2, true, {3, 2, 2}, {{3, 0}, {2, 1}}},
      {"a strictly better score displaces the last", 2, true, {3, 2, 2.5f}, {{3, 0}, {2.5f, 2}}},
      {"ascending for L2", 3, false, {5, 1, 3, 1}, {{1, 1}, {1, 3}, {3, 2}}},
      {"limit 0 keeps nothing", 0, true, {1, kInf, -kInf}, {}},
      {"NaNs last", 4, true, {kNaN, 1, kNaN, -kInf}, {{1, 1}, {-kInf, 3}, {kNaN, 0}, {kNaN, 2}}},
      {"NaN after reals, L2", 3, false, {kNaN, 7, kInf}, {{7, 1}, {kInf, 2}, {kNaN, 0}}},
      {"NaN dropped from a full list", 2, true, {1, 2, kNaN}, {{2, 1}, {1, 0}}},
      {"a real score displaces a NaN", 2, true, {kNaN, kNaN, -kInf}, {{-kInf, 2}, {kNaN, 0}}},
      {"infinities are real", 3, true, {-kInf, kInf, 0}, {{kInf, 1}, {0, 2}, {-kInf, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TopK top = make_top_k(c.limit, c.hib, c.pushes.size());
    for (size_t i = 0; i < c.pushes.size(); ++i) push_top_k(top, c.pushes[i], i);
    expect_same_entries(entries_of(top), c.want);
  }
}

TEST(TopKTest, RandomPushesMatchTheOracleOnBothSidesOfTheInsertionSortBound) {
  std::mt19937 rng(7);
  for (uint64_t limit : {1, 3, 19, 20, 21, 64, 1000}) {
    for (bool hib : {true, false}) {
      // Few distinct values, so ties are common; some NaN.
      std::uniform_int_distribution<int> pick(0, 12);
      std::vector<float> scores(400);
      for (float& s : scores) {
        const int v = pick(rng);
        s = v == 12 ? kNaN : static_cast<float>(v);
      }
      TopK top = make_top_k(limit, hib, scores.size());
      for (size_t i = 0; i < scores.size(); ++i) push_top_k(top, scores[i], i);
      SCOPED_TRACE("limit " + std::to_string(limit) + (hib ? " higher" : " lower"));
      expect_same_entries(entries_of(top), oracle_top(scores, limit, hib));
    }
  }
}

TEST(TopKTest, AHugeLimitReservesOnlyWhatTheItemsCanFill) {
  const uint64_t huge = std::numeric_limits<uint64_t>::max();
  TopK top = make_top_k(huge, true, 3);
  EXPECT_EQ(top.limit, huge);
  EXPECT_LE(top.entries.capacity(), 16u);
  for (int i = 0; i < 3; ++i) push_top_k(top, static_cast<float>(i), i);
  EXPECT_EQ(top.entries.size(), 3u);
}

// ---- sort_hits ----

std::vector<SearchHit> hits_with(const std::vector<std::pair<const char*, float>>& v) {
  std::vector<SearchHit> out;
  for (auto& [id, s] : v) out.push_back(SearchHit{id, JsonValue(), s});
  return out;
}

std::vector<std::string> ids_of(const std::vector<SearchHit>& hits) {
  std::vector<std::string> out;
  for (const SearchHit& h : hits) out.push_back(h.id);
  return out;
}

TEST(SortHitsTest, StableByScoreWithNaNLast) {
  const auto input = std::vector<std::pair<const char*, float>>{
      {"a", 1}, {"n1", kNaN}, {"b", 3}, {"c", 1}, {"n2", kNaN}, {"d", 3}, {"e", 2}};
  std::vector<SearchHit> desc = hits_with(input);
  sort_hits_descending(desc);
  EXPECT_EQ(ids_of(desc), (std::vector<std::string>{"b", "d", "e", "a", "c", "n1", "n2"}));
  std::vector<SearchHit> asc = hits_with(input);
  sort_hits_ascending(asc);
  EXPECT_EQ(ids_of(asc), (std::vector<std::string>{"a", "c", "e", "b", "d", "n1", "n2"}));
}

// ---- scan_committed ----

struct Rec {
  std::string id;
  std::vector<float> vec;
  std::string metadata = "{}";
  RecordState state = RecordState::Active;
  std::optional<uint64_t> expires_at = std::nullopt;
};

// A store and a vector file of `dims` dimensions with records written the way a flush
// writes them: a slot each, the vector in it, the record committed.
class ScanFixture {
 public:
  explicit ScanFixture(size_t dims) : dims_(dims) {
    auto s = KvStore::open(dir_.file("meta.redb"));
    EXPECT_TRUE(s) << s.error().render();
    store_ = std::move(*s);
    auto v = create_vector_file(dir_.file("vectors.bin"), dims);
    EXPECT_TRUE(v) << v.error().render();
    vectors_ = std::move(*v);
  }

  // Returns the slot each record got.
  std::vector<uint64_t> add(const std::vector<Rec>& recs) {
    auto txn = begin_write_txn(*store_);
    EXPECT_TRUE(txn);
    std::vector<uint64_t> slots;
    for (const Rec& r : recs) {
      auto slot = append_slot(vectors_);
      EXPECT_TRUE(slot);
      EXPECT_TRUE(write_vector(vectors_, *slot, r.vec));
      Record rec{r.id, *slot, r.metadata, kNow - 10, r.expires_at, r.state};
      EXPECT_TRUE(put_record(*txn, rec));
      slots.push_back(*slot);
    }
    EXPECT_TRUE(txn->commit());
    return slots;
  }

  // Stores raw bytes as record values, as a damaged file would hold them.
  void put_raw(const std::vector<std::pair<std::string, std::string>>& entries) {
    auto txn = store_->begin_write();
    for (auto& [id, value] : entries) ASSERT_TRUE(txn->put(kRecordsTable, id, value));
    ASSERT_TRUE(txn->commit());
  }

  // Removes the records of these ids (their slots stay written).
  void remove(const std::vector<std::string>& ids) {
    auto txn = store_->begin_write();
    for (const std::string& id : ids) ASSERT_TRUE(txn->remove(kRecordsTable, id));
    ASSERT_TRUE(txn->commit());
  }

  Result<std::vector<SearchHit>> scan(Metric m, const std::vector<float>& q, uint64_t k,
                                      const std::optional<MetadataFilter>& f = std::nullopt,
                                      ScanBounds* bounds = nullptr) {
    return scan_committed(*store_, vectors_, m, q, k, f, bounds);
  }

  KvStore& store() { return *store_; }
  VectorStorage& vectors() { return vectors_; }
  size_t dims() const { return dims_; }

 private:
  testing::TestDir dir_;
  size_t dims_;
  std::unique_ptr<KvStore> store_;
  VectorStorage vectors_;
};

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override { TEST_set_wall_clock(&fixed_clock); }
  void TearDown() override { TEST_set_wall_clock(nullptr); }
};

std::optional<MetadataFilter> where(const char* json) {
  auto v = parse_json(json);
  EXPECT_TRUE(v.has_value()) << json;
  return parse_where_filter(*v);
}

std::vector<float> query_of(std::initializer_list<float> v) { return std::vector<float>(v); }

TEST_F(ScanTest, ZeroKReturnsAtOnceWithoutATransactionWhileOtherKsNeedOne) {
  ScanFixture fx(2);
  fx.add({{"a", {1, 0}}});
  // Take every reader place the store has, so that no further read transaction can begin.
  std::vector<ReadTxn> held;
  for (int i = 0; i < 5000; ++i) {
    auto r = fx.store().begin_read();
    if (!r) break;
    held.push_back(std::move(*r));
  }
  ASSERT_LT(held.size(), 5000u);
  auto zero = fx.scan(Metric::Dot, query_of({1, 0}), 0, where("{\"x\": 1}"));
  ASSERT_TRUE(zero) << zero.error().render();
  EXPECT_TRUE(zero->empty());
  auto one = fx.scan(Metric::Dot, query_of({1, 0}), 1);
  ASSERT_FALSE(one);
  EXPECT_EQ(one.error().kind(), ErrorKind::Transaction);
  EXPECT_EQ(one.error().render(), "Transaction error: " + kv_error_text(MDB_READERS_FULL));
}

TEST_F(ScanTest, AStoreThatNeverCommittedARecordGivesNoHits) {
  ScanFixture fx(3);
  for (const auto& f : {std::optional<MetadataFilter>(), where("{}"), where("{\"a\": 1}")}) {
    auto r = fx.scan(Metric::Cosine, query_of({1, 0, 0}), 10, f);
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_TRUE(r->empty());
  }
}

TEST_F(ScanTest, OnlyActiveUnexpiredRecordsWithAReadableVectorAreHits) {
  ScanFixture fx(2);
  const std::vector<uint64_t> slots = fx.add({
      {"active", {1, 0}},
      {"pending", {1, 0}, "{}", RecordState::Pending},
      {"tombstone", {1, 0}, "{}", RecordState::Tombstone},
      {"expires-now", {1, 0}, "{}", RecordState::Active, kNow},
      {"expired", {1, 0}, "{}", RecordState::Active, kNow - 1},
      {"expires-next-second", {1, 0}, "{}", RecordState::Active, kNow + 1},
      {"nan-first", {kNaN, 1}},
      {"deleted", {1, 0}},
  });
  ASSERT_TRUE(write_deleted_marker(fx.vectors(), slots[7]));
  // A record whose slot the vector file never allocated.
  Record ghost{
      "ghost", fx.vectors().slot_count() + 5, "{}", kNow, std::nullopt, RecordState::Active};
  fx.put_raw({{"ghost", encode_record(ghost)}});

  for (const auto& f : {std::optional<MetadataFilter>(), where("{}")}) {
    auto r = fx.scan(Metric::Dot, query_of({1, 0}), 100, f);
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_EQ(ids_of(*r), (std::vector<std::string>{"active", "expires-next-second"}));
  }
}

TEST_F(ScanTest, EqualScoresComeInKeyOrderAndTheEarliestKeysWinTheLastPlaces) {
  ScanFixture fx(2);
  // Inserted out of key order; every score equal except "m", which is best.
  fx.add({{"d", {1, 1}}, {"b", {1, 1}}, {"m", {2, 2}}, {"a", {1, 1}}, {"c", {1, 1}}});
  auto r = fx.scan(Metric::Dot, query_of({1, 1}), 3);
  ASSERT_TRUE(r);
  EXPECT_EQ(ids_of(*r), (std::vector<std::string>{"m", "a", "b"}));
  EXPECT_EQ((*r)[1].score, 2.0f);
  // L2: lowest first, ties in key order.
  auto l2 = fx.scan(Metric::L2, query_of({2, 2}), 10);
  ASSERT_TRUE(l2);
  EXPECT_EQ(ids_of(*l2), (std::vector<std::string>{"m", "a", "b", "c", "d"}));
  EXPECT_EQ((*l2)[0].score, 0.0f);
  EXPECT_EQ((*l2)[1].score, 2.0f);
}

TEST_F(ScanTest, HitsCarryTheIdTheParsedMetadataAndTheScore) {
  ScanFixture fx(2);
  fx.add({{"good", {3, 4}, "{\"b\":[1,2.5],\"a\":\"x\"}"}, {"bad", {1, 0}, "{not json"}});
  auto r = fx.scan(Metric::L2, query_of({0, 0}), 5);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->size(), 2u);
  EXPECT_EQ((*r)[0].id, "bad");
  EXPECT_TRUE((*r)[0].metadata.is_null());
  EXPECT_EQ((*r)[0].score, 1.0f);
  EXPECT_EQ((*r)[1].id, "good");
  EXPECT_EQ(to_compact_json((*r)[1].metadata), "{\"a\":\"x\",\"b\":[1,2.5]}");
  EXPECT_EQ((*r)[1].score, 25.0f);
  // Invalid metadata fails every non-empty filter and passes an empty one.
  auto f = fx.scan(Metric::L2, query_of({0, 0}), 5, where("{\"a\": {\"$ne\": 1}}"));
  ASSERT_TRUE(f);
  EXPECT_EQ(ids_of(*f), (std::vector<std::string>{"good"}));
}

TEST_F(ScanTest, NaNScoresComeLastInKeyOrder) {
  for (size_t n : {40, 900}) {  // both roads
    ScanFixture fx(3);
    std::vector<Rec> recs;
    for (size_t i = 0; i < n; ++i) {
      char id[32];
      std::snprintf(id, sizeof(id), "r%05u", static_cast<unsigned>(i));
      // Every third record has a NaN past its first float, which only the score shows.
      std::vector<float> v = {1, i % 3 == 0 ? kNaN : 0.f, static_cast<float>(i % 7)};
      recs.push_back({id, v});
    }
    fx.add(recs);
    for (Metric m : {Metric::Dot, Metric::L2}) {
      auto r = fx.scan(m, query_of({1, 1, 1}), n);
      ASSERT_TRUE(r);
      ASSERT_EQ(r->size(), n);
      const size_t real = n - (n + 2) / 3;
      for (size_t i = 0; i < n; ++i) EXPECT_EQ(std::isnan((*r)[i].score), i >= real) << i;
      for (size_t i = real; i < n; ++i) EXPECT_EQ((*r)[i].id, recs[(i - real) * 3].id) << i;
      // The cut to k keeps real scores only.
      auto few = fx.scan(m, query_of({1, 1, 1}), 5);
      ASSERT_TRUE(few);
      for (const SearchHit& h : *few) EXPECT_FALSE(std::isnan(h.score));
    }
  }
}

TEST_F(ScanTest, AQueryOfAnotherLengthIsRefused) {
  ScanFixture fx(4);
  fx.add({{"a", {1, 2, 3, 4}}});
  auto r = fx.scan(Metric::Dot, query_of({1, 2, 3}), 1);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().render(), "Dimension mismatch: expected 4, got 3");
}

// ---- against a brute-force oracle ----

struct Oracle {
  // Records in key order with their eligibility decided by the plain rules.
  static std::vector<SearchHit> hits(const std::vector<Rec>& recs, Metric m,
                                     const std::vector<float>& q, uint64_t k,
                                     const std::optional<MetadataFilter>& f) {
    std::map<std::string, const Rec*> by_key;
    for (const Rec& r : recs) by_key[r.id] = &r;
    std::vector<const Rec*> cands;
    std::vector<float> scores;
    for (auto& [id, r] : by_key) {
      if (r->state != RecordState::Active) continue;
      if (r->expires_at && *r->expires_at <= kNow) continue;
      if (f && !matches_filter(*f, parse_metadata_text(r->metadata))) continue;
      if (std::isnan(r->vec[0])) continue;
      cands.push_back(r);
      scores.push_back(distance(m, q.data(), r->vec.data(), q.size()));
    }
    std::vector<SearchHit> out;
    for (auto& [s, i] : oracle_top(scores, k, m != Metric::L2)) {
      out.push_back(SearchHit{cands[i]->id, parse_metadata_text(cands[i]->metadata), s});
    }
    return out;
  }
};

void expect_same_hits(const std::vector<SearchHit>& got, const std::vector<SearchHit>& want) {
  ASSERT_EQ(ids_of(got), ids_of(want));
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_TRUE(same_score(got[i].score, want[i].score)) << got[i].id;
    EXPECT_TRUE(got[i].metadata == want[i].metadata) << got[i].id;
  }
}

// Random records: vectors from a small pool (many equal scores), a tag in the metadata,
// and a sprinkling of every kind of record that must not be a hit.
std::vector<Rec> random_records(size_t n, size_t dims, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::vector<float>> pool(24);
  std::normal_distribution<float> nd;
  for (auto& v : pool) {
    v.resize(dims);
    for (float& x : v) x = std::round(nd(rng) * 4) / 4;
  }
  std::uniform_int_distribution<int> pick(0, 23), kind(0, 19), tag(0, 4);
  std::vector<Rec> out;
  for (size_t i = 0; i < n; ++i) {
    Rec r;
    char hex[16];
    std::snprintf(hex, sizeof(hex), "%08x-", static_cast<unsigned>(rng()));
    r.id = hex + std::to_string(i);
    r.vec = pool[static_cast<size_t>(pick(rng))];
    r.metadata = "{\"tag\":" + std::to_string(tag(rng)) + ",\"i\":" + std::to_string(i) + "}";
    switch (kind(rng)) {
      case 0:
        r.state = RecordState::Pending;
        break;
      case 1:
        r.state = RecordState::Tombstone;
        break;
      case 2:
        r.expires_at = kNow;
        break;
      case 3:
        r.expires_at = kNow + 100;
        break;
      case 4:
        r.vec[0] = kNaN;
        break;
      case 5:
        r.metadata = "[1,2]";
        break;
      default:
        break;
    }
    out.push_back(std::move(r));
  }
  return out;
}

TEST_F(ScanTest, RandomScansMatchTheOracleOnBothRoads) {
  for (size_t n : {120, 2500}) {
    ScanFixture fx(12);
    const std::vector<Rec> recs = random_records(n, fx.dims(), static_cast<uint32_t>(n));
    fx.add(recs);
    std::mt19937 rng(99);
    std::normal_distribution<float> nd;
    std::vector<float> q(fx.dims());
    for (float& x : q) x = nd(rng);
    for (Metric m : {Metric::Cosine, Metric::Dot, Metric::L2}) {
      const std::vector<float> query = prepare_vector(m, q);
      for (const char* w : {"", "{}", "{\"tag\": 2}", "{\"tag\": {\"$gte\": 1, \"$lt\": 4}}"}) {
        for (uint64_t k : {1, 7, 50, 100000}) {
          const std::optional<MetadataFilter> f = *w ? where(w) : std::optional<MetadataFilter>();
          SCOPED_TRACE("n " + std::to_string(n) + " metric " + std::string(metric_name(m)) +
                       " where " + w + " k " + std::to_string(k));
          auto got = fx.scan(m, query, k, f);
          ASSERT_TRUE(got) << got.error().render();
          expect_same_hits(*got, Oracle::hits(recs, m, query, k, f));
        }
      }
    }
  }
}

TEST_F(ScanTest, AFilteredScanGivesExactlyTheHitsOfALimitOfK) {
  // Many records of equal score, so the widened list holds more equals than k.
  ScanFixture fx(2);
  std::vector<Rec> recs;
  for (int i = 0; i < 60; ++i) {
    char id[8];
    std::snprintf(id, sizeof(id), "k%02d", i);
    recs.push_back({id, {1, static_cast<float>(i % 3)}, i % 2 ? "{\"odd\":true}" : "{}"});
  }
  fx.add(recs);
  auto r = fx.scan(Metric::Dot, query_of({0, 1}), 4, where("{\"odd\": true}"));
  ASSERT_TRUE(r);
  // Odd i with i % 3 == 2 score 2: i = 5, 11, 17, 23, ... in key order.
  EXPECT_EQ(ids_of(*r), (std::vector<std::string>{"k05", "k11", "k17", "k23"}));
}

TEST_F(ScanTest, HugeKDoesNotWrapTheWidenedLimit) {
  ScanFixture fx(2);
  std::vector<Rec> recs;
  for (int i = 0; i < 6; ++i) recs.push_back({"r" + std::to_string(i), {float(i), 0}, "{\"t\":1}"});
  recs.push_back({"other", {9, 0}, "{\"t\":2}"});
  fx.add(recs);
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  // Ten times these would wrap to 0 and to 4.
  for (uint64_t k : {max, uint64_t{1} << 63, max / 10 + 1}) {
    auto r = fx.scan(Metric::Dot, query_of({1, 0}), k, where("{\"t\": 1}"));
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_EQ(ids_of(*r), (std::vector<std::string>{"r5", "r4", "r3", "r2", "r1", "r0"}));
  }
}

TEST_F(ScanTest, FourHundredNinetyNineAndFiveHundredRecordsGiveTheSameHits) {
  // All scores equal, so only the order of pushes decides; the 500th record is a
  // tombstone, which crosses the threshold without changing what may be a hit.
  std::vector<Rec> recs;
  for (int i = 0; i < 499; ++i) {
    char id[8];
    std::snprintf(id, sizeof(id), "%03d", (i * 37) % 499);
    recs.push_back({id, {1, 1}});
  }
  ScanFixture small(2), large(2);
  small.add(recs);
  recs.push_back({"zzz", {1, 1}, "{}", RecordState::Tombstone});
  large.add(recs);
  for (uint64_t k : {1, 10, 256, 257, 600}) {
    for (const auto& f : {std::optional<MetadataFilter>(), where("{}")}) {
      auto a = small.scan(Metric::Cosine, query_of({1, 1}), k, f);
      auto b = large.scan(Metric::Cosine, query_of({1, 1}), k, f);
      ASSERT_TRUE(a && b);
      EXPECT_EQ(ids_of(*a), ids_of(*b));
      ASSERT_EQ(a->size(), std::min<uint64_t>(k, 499));
      for (size_t i = 0; i < a->size(); ++i) {
        char id[32];
        std::snprintf(id, sizeof(id), "%03u", static_cast<unsigned>(i));
        EXPECT_EQ((*a)[i].id, id);
      }
    }
  }
}

// ---- errors ----

TEST_F(ScanTest, TheFirstValueInKeyOrderThatDoesNotDecodeEndsTheScan) {
  for (size_t n : {20, 20000}) {  // both roads
    ScanFixture fx(2);
    std::vector<Rec> recs;
    for (size_t i = 0; i < n; ++i) recs.push_back({"r" + std::to_string(100000 + i), {1, 0}});
    fx.add(recs);
    Record bad_state{"x", 0, "{}", kNow, std::nullopt, RecordState::Active};
    std::string state3 = encode_record(bad_state);
    state3[state3.size() - 4] = 3;
    Record bad_tag = bad_state;
    std::string tag2 = encode_record(bad_tag);
    tag2[tag2.size() - 5] = 2;
    // One bad tag halfway, then bad states in every later chunk of the walk: whichever
    // chunk is scored first, the error of the earliest key is the one reported.
    std::vector<std::pair<std::string, std::string>> raw = {
        {"r" + std::to_string(100000 + n / 2) + "x", tag2}};
    for (size_t i = n / 2 + 1; i < n; i += 7)
      raw.emplace_back("r" + std::to_string(100000 + i), state3);
    fx.put_raw(raw);
    auto r = fx.scan(Metric::Dot, query_of({1, 0}), 5);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), "Serialization error: tag for enum is not valid, found 2");
    // Not even a filter that rejects everything skips the decoding.
    auto f = fx.scan(Metric::Dot, query_of({1, 0}), 5, where("{\"none\": 1}"));
    ASSERT_FALSE(f);
    EXPECT_EQ(f.error().render(), "Serialization error: tag for enum is not valid, found 2");
  }
}

// ---- the parallel walk ----

// Identical to the last bit: ids, score bit patterns and metadata.
void expect_identical_hits(const std::vector<SearchHit>& got, const std::vector<SearchHit>& want) {
  ASSERT_EQ(ids_of(got), ids_of(want));
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(std::bit_cast<uint32_t>(got[i].score), std::bit_cast<uint32_t>(want[i].score))
        << got[i].id;
    EXPECT_TRUE(got[i].metadata == want[i].metadata) << got[i].id;
  }
}

// Each scan takes the walk given here; the defaults come back afterwards.
class ParallelWalkTest : public ScanTest {
 protected:
  void TearDown() override {
    TEST_set_scan_walk_hooks(nullptr);
    ScanTest::TearDown();
  }

  // A scan with `transactions` read transactions (1: the single walk) and that many times
  // `ranges_per_transaction` ranges asked of the split.
  Result<std::vector<SearchHit>> scan_with(ScanFixture& fx, uint32_t transactions,
                                           uint32_t ranges_per_transaction, Metric m,
                                           const std::vector<float>& q, uint64_t k,
                                           const std::optional<MetadataFilter>& f,
                                           ScanBounds* bounds = nullptr) {
    hooks_.min_entries = 0;
    hooks_.transactions = transactions;
    hooks_.ranges_per_transaction = ranges_per_transaction;
    TEST_set_scan_walk_hooks(&hooks_);
    return fx.scan(m, q, k, f, bounds);
  }

  ScanWalkTestHooks hooks_;
};

// n unique ids of one shape, in no particular order.
std::vector<std::string> shaped_ids(const std::string& shape, size_t n, std::mt19937_64& rng) {
  static const char* const kStems[] = {"\xc3\xa9",     "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                       "\xef\xbf\xbf", "\x7f",         "A"};
  std::set<std::string> ids;
  char buf[64];
  for (size_t i = 0; ids.size() < n; ++i) {
    const unsigned u = static_cast<unsigned>(i);
    std::string id;
    if (shape == "random hex") {
      std::snprintf(buf, sizeof(buf), "%016llx", static_cast<unsigned long long>(rng()));
      id = buf;
    } else if (shape == "sequential") {
      std::snprintf(buf, sizeof(buf), "mem-%08u", u);
      id = buf;
    } else if (shape == "zero-padded counter") {
      std::snprintf(buf, sizeof(buf), "r%07u", u);
      id = buf;
    } else if (shape == "unpadded counter") {
      std::snprintf(buf, sizeof(buf), "doc-%u", u);
      id = buf;
    } else if (shape == "two-part") {
      std::snprintf(buf, sizeof(buf), "user%03u/msg%05u", u % 1000, u / 1000);
      id = buf;
    } else if (shape == "long shared prefix") {
      std::snprintf(buf, sizeof(buf), "%08x", static_cast<unsigned>(rng()));
      id = std::string(490, 'p') + buf;
    } else if (shape == "longest ids differing at the end") {
      std::snprintf(buf, sizeof(buf), "%05u", u);
      id = std::string(kMaxKeyBytes - 5, 'q') + buf;
    } else if (shape == "two clusters, the ranges between empty") {
      std::snprintf(buf, sizeof(buf), "%s%05u", i % 2 ? "zzzz" : "aaaa", u);
      id = buf;
    } else if (shape == "most ids in one range") {
      if (i % 20 == 0) {
        std::snprintf(buf, sizeof(buf), "%012llx", static_cast<unsigned long long>(rng()));
      } else {
        std::snprintf(buf, sizeof(buf), "hot/%06u", u);
      }
      id = buf;
    } else if (shape == "empty, NUL and bytes from 0x80 up") {
      std::snprintf(buf, sizeof(buf), "%u", u);
      const std::string stem = kStems[i % 6];
      // Python allows NUL in an id, also as its last characters.
      id = i == 0        ? std::string()
           : i % 11 == 0 ? stem + std::string(i % 4, '\0')
           : i % 7 == 0  ? stem + '\0' + buf
                         : stem + buf;
    }
    ids.insert(std::move(id));
  }
  std::vector<std::string> out(ids.begin(), ids.end());
  std::shuffle(out.begin(), out.end(), rng);
  return out;
}

// Random records (random_records) under n ids of one shape, in no particular order.
std::vector<Rec> shaped_records(const std::string& shape, size_t n, size_t dims, uint32_t seed,
                                std::mt19937_64& rng) {
  std::vector<Rec> recs = random_records(n, dims, seed);
  std::vector<std::string> ids = shaped_ids(shape, n, rng);
  EXPECT_EQ(ids.size(), recs.size());
  for (size_t i = 0; i < recs.size(); ++i) recs[i].id = ids[i];
  return recs;
}

// A parallel walk as the test hooks ask for it.
struct WalkSplit {
  uint32_t transactions, ranges_per_transaction;
};

TEST_F(ParallelWalkTest, EveryWalkGivesTheSingleWalksHitsBitForBitOnKeysOfEveryShape) {
  const char* const kShapes[] = {"random hex",
                                 "sequential",
                                 "long shared prefix",
                                 "longest ids differing at the end",
                                 "two clusters, the ranges between empty",
                                 "most ids in one range",
                                 "empty, NUL and bytes from 0x80 up"};
  const WalkSplit kWalks[] = {{2, 1}, {2, 64}, {3, 5}, {8, 1}, {8, 7}, {8, 64}};
  for (const char* shape : kShapes) {
    SCOPED_TRACE(shape);
    ScanFixture fx(6);
    std::mt19937_64 rng(11);
    std::vector<Rec> recs = shaped_records(shape, 1500, fx.dims(), 3, rng);
    fx.add(recs);
    std::normal_distribution<float> nd;
    std::vector<float> q(fx.dims());
    for (float& x : q) x = nd(rng);
    for (Metric m : {Metric::Dot, Metric::L2}) {
      const std::vector<float> query = prepare_vector(m, q);
      for (const char* w : {"", "{}", "{\"tag\": 2}"}) {
        const std::optional<MetadataFilter> f = *w ? where(w) : std::optional<MetadataFilter>();
        for (uint64_t k : {3, 100}) {
          SCOPED_TRACE(std::string(metric_name(m)) + " where " + w + " k " + std::to_string(k));
          auto single = scan_with(fx, 1, 1, m, query, k, f);
          ASSERT_TRUE(single) << single.error().render();
          ASSERT_EQ(hooks_.walked_transactions, 1u);
          expect_same_hits(*single, Oracle::hits(recs, m, query, k, f));
          for (const WalkSplit& walk : kWalks) {
            SCOPED_TRACE(std::to_string(walk.transactions) + " transactions, " +
                         std::to_string(walk.ranges_per_transaction) + " ranges each");
            auto got =
                scan_with(fx, walk.transactions, walk.ranges_per_transaction, m, query, k, f);
            ASSERT_TRUE(got) << got.error().render();
            EXPECT_EQ(hooks_.walked_transactions, walk.transactions);
            EXPECT_GT(hooks_.walked_ranges, 1u);
            expect_identical_hits(*got, *single);
          }
        }
      }
    }
  }
}

TEST_F(ParallelWalkTest, LearntAndStaleBoundsGiveTheSingleWalksHitsBitForBit) {
  // The bounds a scan learns serve the next ones, also once the table has changed in one
  // part of its keys (the upper half added, a run of the lowest removed), so that they
  // stand where the table no longer is.
  const char* const kShapes[] = {"zero-padded counter", "random hex", "unpadded counter",
                                 "two-part", "empty, NUL and bytes from 0x80 up"};
  const WalkSplit kSplits[] = {{2, 1}, {3, 1}, {2, 4}, {13, 1}};  // 2, 3, 8 and 13 ranges
  for (const char* shape : kShapes) {
    SCOPED_TRACE(shape);
    ScanFixture fx(6);
    std::mt19937_64 rng(5);
    std::vector<Rec> recs = shaped_records(shape, 4000, fx.dims(), 9, rng);
    std::sort(recs.begin(), recs.end(), [](const Rec& a, const Rec& b) { return a.id < b.id; });
    const std::vector<Rec> later(recs.begin() + 2000, recs.end());
    recs.resize(2000);
    fx.add(recs);
    std::normal_distribution<float> nd;
    std::vector<float> q(fx.dims());
    for (float& x : q) x = nd(rng);
    const std::vector<float> query = prepare_vector(Metric::Cosine, q);
    ScanBounds bounds;
    for (const char* table : {"first", "changed"}) {
      SCOPED_TRACE(table);
      if (std::string(table) == "changed") {
        fx.add(later);
        std::vector<std::string> gone;
        for (size_t i = 0; i < 600; ++i) gone.push_back(recs[i].id);
        fx.remove(gone);
        recs.erase(recs.begin(), recs.begin() + 600);
        recs.insert(recs.end(), later.begin(), later.end());
      }
      for (uint64_t k : {5, 300}) {
        auto single = scan_with(fx, 1, 1, Metric::Cosine, query, k, std::nullopt);
        ASSERT_TRUE(single) << single.error().render();
        expect_same_hits(*single, Oracle::hits(recs, Metric::Cosine, query, k, std::nullopt));
        // Twice round the splits: guessed or stale bounds first, learnt ones after.
        for (int round = 0; round < 2; ++round) {
          for (const WalkSplit& s : kSplits) {
            const uint32_t ranges = s.transactions * s.ranges_per_transaction;
            SCOPED_TRACE(std::to_string(ranges) + " ranges, round " + std::to_string(round));
            auto got = scan_with(fx, s.transactions, s.ranges_per_transaction, Metric::Cosine,
                                 query, k, std::nullopt, &bounds);
            ASSERT_TRUE(got) << got.error().render();
            EXPECT_EQ(hooks_.walked_transactions, s.transactions);
            if (round == 1) {
              EXPECT_EQ(hooks_.walked_ranges, ranges);
            }
            expect_identical_hits(*got, *single);
          }
        }
      }
      ASSERT_TRUE(bounds.load());
      EXPECT_EQ(bounds.load()->entries, fx.store().begin_read()->entry_count(kRecordsTable));
    }
  }
}

TEST_F(ParallelWalkTest, TheFirstBadValueInKeyOrderEndsTheScanWhicheverRangeMeetsIt) {
  ScanFixture fx(2);
  std::vector<Rec> recs;
  for (size_t i = 0; i < 3000; ++i) recs.push_back({"r" + std::to_string(10000 + i), {1, 0}});
  fx.add(recs);
  Record bad{"x", 0, "{}", kNow, std::nullopt, RecordState::Active};
  std::string bad_state = encode_record(bad);
  bad_state[bad_state.size() - 4] = 3;
  std::string bad_tag = encode_record(bad);
  bad_tag[bad_tag.size() - 5] = 2;
  // The first bad value (a bad tag) at the table's start, in its middle, at its very end;
  // bad states in every later part of the table, which later ranges meet first.
  for (size_t first_bad : {size_t{0}, size_t{1500}, size_t{2999}}) {
    SCOPED_TRACE("first bad value at " + std::to_string(first_bad));
    ScanFixture damaged(2);
    damaged.add(recs);
    std::vector<std::pair<std::string, std::string>> raw = {
        {"r" + std::to_string(10000 + first_bad), bad_tag}};
    for (size_t i = first_bad + 1; i < recs.size(); i += 13) {
      raw.emplace_back("r" + std::to_string(10000 + i), bad_state);
    }
    damaged.put_raw(raw);
    for (auto [txns, per] : {std::pair{2u, 1u}, {8u, 3u}, {8u, 64u}}) {
      auto r = scan_with(damaged, txns, per, Metric::Dot, query_of({1, 0}), 5, std::nullopt);
      ASSERT_FALSE(r);
      EXPECT_EQ(hooks_.walked_transactions, 0u + txns);  // the parallel walk ran
      EXPECT_EQ(r.error().render(), "Serialization error: tag for enum is not valid, found 2");
      hooks_.walked_transactions = 0;
    }
  }
}

// Commits a record better than every other between the scan's own read transaction and the
// others, so that they show different snapshots.
void commit_late_record(void* store) {
  auto txn = begin_write_txn(*static_cast<KvStore*>(store));
  ASSERT_TRUE(txn);
  ASSERT_TRUE(put_record(*txn, Record{"late", 0, "{}", kNow, std::nullopt, RecordState::Active}));
  ASSERT_TRUE(txn->commit());
}

TEST_F(ParallelWalkTest, ACommitBetweenTheTransactionsFallsBackToTheScansOwnSnapshot) {
  ScanFixture fx(2);
  std::vector<Rec> recs = {{"best", {5, 0}}};
  for (int i = 0; i < 2000; ++i) recs.push_back({"r" + std::to_string(1000 + i), {1, 0}});
  fx.add(recs);  // "best" takes slot 0, which "late" will point at too
  hooks_.after_first_txn = &commit_late_record;
  hooks_.arg = &fx.store();
  auto first = scan_with(fx, 4, 8, Metric::Dot, query_of({1, 0}), 2, std::nullopt);
  ASSERT_TRUE(first) << first.error().render();
  EXPECT_EQ(hooks_.walked_transactions, 1u);
  // Only what the scan's own snapshot holds: walked with the newer snapshot, "late" would
  // have come second (the same score as "best", later in key order).
  EXPECT_EQ(ids_of(*first), (std::vector<std::string>{"best", "r1000"}));
  hooks_.after_first_txn = nullptr;
  auto second = scan_with(fx, 4, 8, Metric::Dot, query_of({1, 0}), 2, std::nullopt);
  ASSERT_TRUE(second) << second.error().render();
  EXPECT_EQ(hooks_.walked_transactions, 4u);
  EXPECT_EQ(ids_of(*second), (std::vector<std::string>{"best", "late"}));
}

TEST_F(ParallelWalkTest, WithFewReaderPlacesLeftTheWalkUsesTheTransactionsItGets) {
  ScanFixture fx(3);
  std::vector<Rec> recs = random_records(2000, fx.dims(), 8);
  fx.add(recs);
  const std::vector<float> q = prepare_vector(Metric::Cosine, query_of({0.3f, -1, 2}));
  auto single = scan_with(fx, 1, 1, Metric::Cosine, q, 20, std::nullopt);
  ASSERT_TRUE(single);
  std::vector<ReadTxn> held;
  for (int i = 0; i < 5000; ++i) {
    auto r = fx.store().begin_read();
    if (!r) break;
    held.push_back(std::move(*r));
  }
  ASSERT_LT(held.size(), 5000u);
  // Every place taken, then one, two and four given back: the scan's own transaction takes
  // one, the walk as many of the others as there are.
  size_t freed = 0;
  for (auto [free_places, walked] : {std::pair{1u, 1u}, {2u, 2u}, {4u, 4u}}) {
    SCOPED_TRACE(std::to_string(free_places) + " places free");
    for (; freed < free_places; ++freed) held.pop_back();
    auto got = scan_with(fx, 8, 4, Metric::Cosine, q, 20, std::nullopt);
    ASSERT_TRUE(got) << got.error().render();
    EXPECT_EQ(hooks_.walked_transactions, walked);
    expect_identical_hits(*got, *single);
  }
}

TEST_F(ScanTest, ParallelWalksBesideCommitsEachSeeOneWholeSnapshot) {
  // Enough records for the parallel walk without any hook. Batch b of later commits scores
  // b + 1, so the best hit names the newest batch a scan saw; the hits must then be that
  // batch and the one before it, complete and in key order.
  constexpr int kBatches = 40, kPerBatch = 30;
  ScanFixture fx(2);
  std::vector<Rec> base;
  for (int i = 0; i < 9000; ++i) base.push_back({"b" + std::to_string(10000 + i), {0, 1}});
  fx.add(base);
  // Vectors first, so that the vector file does not change while scans read it.
  std::vector<uint64_t> slots;
  for (int b = 0; b < kBatches; ++b) {
    const std::vector<float> v = {static_cast<float>(b + 1), 0};
    for (int i = 0; i < kPerBatch; ++i) {
      auto slot = append_slot(fx.vectors());
      ASSERT_TRUE(slot && write_vector(fx.vectors(), *slot, v));
      slots.push_back(*slot);
    }
  }
  auto batch_id = [](int b, int i) {
    char id[16];
    std::snprintf(id, sizeof(id), "w%02d-%02d", b, i);
    return std::string(id);
  };
  constexpr uint64_t kK = kPerBatch + 10;
  std::atomic<int> checked{0};
  auto scan = [&](uint64_t) {
    auto r = fx.scan(Metric::Dot, query_of({1, 0}), kK, std::nullopt);
    ASSERT_TRUE(r) << r.error().render();
    ASSERT_EQ(r->size(), kK);
    std::vector<std::string> want;
    const int newest = static_cast<int>((*r)[0].score) - 1;
    for (int b = newest; b >= 0 && b >= newest - 1; --b) {
      for (int i = 0; i < kPerBatch; ++i) want.push_back(batch_id(b, i));
    }
    for (int i = 0; want.size() < kK; ++i) want.push_back(base[static_cast<size_t>(i)].id);
    want.resize(kK);
    ASSERT_EQ(ids_of(*r), want);
    checked.fetch_add(1);
  };
  // One commit a turn; before each, every scanner has finished a scan since the last one.
  auto commit_batch = [&](uint64_t turn) {
    const int b = static_cast<int>(turn);
    auto txn = begin_write_txn(fx.store());
    ASSERT_TRUE(txn);
    for (int i = 0; i < kPerBatch; ++i) {
      Record rec;
      rec.id = batch_id(b, i);
      rec.slot = slots[static_cast<size_t>(b * kPerBatch + i)];
      rec.metadata = "{}";
      ASSERT_TRUE(put_record(*txn, rec));
    }
    ASSERT_TRUE(txn->commit());
  };
  std::vector<testing::TurnWorker> workers = {{kBatches, commit_batch}};
  for (int t = 0; t < 3; ++t) workers.push_back({std::nullopt, scan});
  testing::run_turns(workers);
  EXPECT_GE(checked.load(), 3 * (kBatches - 1));
}

// ---- scan_write_buffer ----

std::vector<PendingRecord> copies_of(const std::vector<Rec>& recs) {
  std::vector<PendingRecord> out;
  for (size_t i = 0; i < recs.size(); ++i) {
    const Rec& r = recs[i];
    out.push_back(PendingRecord{Record{r.id, i, r.metadata, kNow, r.expires_at, r.state}, r.vec});
  }
  return out;
}

TEST_F(ScanTest, BufferScanSkipsWhatIsNotLiveOrNotMatchingAndKeepsBufferOrder) {
  const std::vector<Rec> recs = {
      {"z", {1, 1}, "{\"t\":1}"},
      {"pending", {5, 5}, "{\"t\":1}", RecordState::Pending},
      {"expired", {5, 5}, "{\"t\":1}", RecordState::Active, kNow},
      {"a", {1, 1}, "{\"t\":1}"},
      {"other", {5, 5}, "{\"t\":2}"},
      {"nan-first", {kNaN, 1}, "{\"t\":1}"},  // scored from memory: no mark test
      {"m", {2, 1}, "{\"t\":1}", RecordState::Active, kNow + 1},
  };
  const auto copies = copies_of(recs);
  const auto q = query_of({1, 1});
  EXPECT_TRUE(scan_write_buffer(copies, Metric::Dot, q, 0, std::nullopt).empty());
  auto hits = scan_write_buffer(copies, Metric::Dot, q, 3, where("{\"t\": 1}"));
  EXPECT_EQ(ids_of(hits), (std::vector<std::string>{"m", "z", "a"}));
  EXPECT_EQ(hits[0].score, 3.0f);
  EXPECT_EQ(to_compact_json(hits[0].metadata), "{\"t\":1}");
  auto all = scan_write_buffer(copies, Metric::Dot, q, 10, std::nullopt);
  EXPECT_EQ(ids_of(all), (std::vector<std::string>{"other", "m", "z", "a", "nan-first"}));
  EXPECT_TRUE(std::isnan(all.back().score));
}

TEST_F(ScanTest, BufferScanOfManyCopiesMatchesTheOracleAndAShortVectorIsSkipped) {
  for (size_t n : {499, 500, 3000}) {
    std::vector<Rec> recs = random_records(n, 6, static_cast<uint32_t>(n) + 1);
    std::vector<PendingRecord> copies = copies_of(recs);
    copies[n / 3].vector.resize(3);  // never given by a collection; must not be read past
    std::mt19937 rng(5);
    std::normal_distribution<float> nd;
    std::vector<float> q(6);
    for (float& x : q) x = nd(rng);
    for (Metric m : {Metric::Dot, Metric::L2}) {
      for (const char* w : {"", "{\"tag\": 3}"}) {
        for (uint64_t k : {1, 9, 300, 5000}) {
          const std::optional<MetadataFilter> f = *w ? where(w) : std::optional<MetadataFilter>();
          // The oracle in buffer order: scored from memory, no NaN-mark test.
          std::vector<float> scores;
          std::vector<size_t> pos;
          for (size_t i = 0; i < n; ++i) {
            const Rec& r = recs[i];
            if (r.state != RecordState::Active || (r.expires_at && *r.expires_at <= kNow)) {
              continue;
            }
            if (f && !matches_filter(*f, parse_metadata_text(r.metadata))) continue;
            if (i == n / 3) continue;
            scores.push_back(distance(m, q.data(), r.vec.data(), q.size()));
            pos.push_back(i);
          }
          std::vector<std::string> want;
          for (auto& [s, i] : oracle_top(scores, k, m != Metric::L2))
            want.push_back(recs[pos[i]].id);
          SCOPED_TRACE("n " + std::to_string(n) + " k " + std::to_string(k) + " where " + w);
          EXPECT_EQ(ids_of(scan_write_buffer(copies, m, q, k, f)), want);
        }
      }
    }
  }
}

// ---- the record columns ----

// Scans through a columns cache, as a collection makes them; the hooks fix the shares.
class ColumnsTest : public ParallelWalkTest {
 protected:
  Result<std::vector<SearchHit>> scan_cached(
      ScanFixture& fx, ScanColumnsCache& cache, uint32_t shares, Metric m,
      const std::vector<float>& q, uint64_t k,
      const std::optional<MetadataFilter>& f = std::nullopt) {
    hooks_ = ScanWalkTestHooks();
    hooks_.column_shares = shares;
    TEST_set_scan_walk_hooks(&hooks_);
    return scan_committed(fx.store(), fx.vectors(), m, q, k, f, nullptr, &cache);
  }

  // Two scans: the first turns the log on, the second builds the columns.
  void build(ScanFixture& fx, ScanColumnsCache& cache) {
    for (int scan = 0; scan < 2; ++scan) {
      ASSERT_TRUE(scan_cached(fx, cache, 1, Metric::Dot, query_of({1, 0}), 10));
    }
    ASSERT_TRUE(current(fx, cache));
  }

  // Whether the cache holds columns of the store's current snapshot.
  static bool current(ScanFixture& fx, ScanColumnsCache& cache) {
    auto txn = fx.store().begin_read();
    EXPECT_TRUE(txn);
    auto state = cache.TEST_state();
    return state && state->first == txn->snapshot_id();
  }

  // The held records' ids, in order of their key ranks.
  static std::vector<std::string> ids_by_rank(ScanColumnsCache& cache) {
    std::vector<std::pair<uint64_t, std::string>> ranked;
    cache.TEST_inspect([&](const RecordColumns& c) {
      for (uint64_t s = 0; s < c.size(); ++s) {
        if (c.holds(s)) ranked.emplace_back(c.ranks[s], std::string(c.id(s)));
      }
    });
    std::sort(ranked.begin(), ranked.end());
    std::vector<std::string> out;
    for (auto& [r, id] : ranked) out.push_back(std::move(id));
    return out;
  }
};

TEST_F(ColumnsTest, ScansOverTheColumnsGiveTheWalksHitsBitForBit) {
  // Records of every kind that must not be a hit, many equal scores, ids of several shapes;
  // k below, at and past the number of live records, with and without filters. The first
  // scan walks, the second builds the columns and scans them, the third only scans them.
  const char* const kShapes[] = {"zero-padded counter", "random hex",
                                 "empty, NUL and bytes from 0x80 up",
                                 "longest ids differing at the end"};
  const char* const kFilters[] = {nullptr, "{}", "{\"tag\": 2}", "{\"tag\": {\"$lt\": 2}}"};
  for (const char* shape : kShapes) {
    SCOPED_TRACE(shape);
    ScanFixture fx(5);
    std::mt19937_64 rng(17);
    std::vector<Rec> recs = shaped_records(shape, 1800, fx.dims(), 4, rng);
    const std::vector<uint64_t> slots = fx.add(recs);
    // Deleted after the commit, as a delete marks a slot.
    ASSERT_TRUE(write_deleted_marker(fx.vectors(), slots[3]));
    recs[3].vec[0] = kNaN;
    std::normal_distribution<float> nd;
    std::vector<float> q(fx.dims());
    for (float& x : q) x = nd(rng);
    for (const char* f : kFilters) {
      const std::optional<MetadataFilter> filter = f ? where(f) : std::optional<MetadataFilter>();
      for (Metric m : {Metric::Dot, Metric::L2}) {
        const std::vector<float> query = prepare_vector(m, q);
        for (uint64_t k :
             {uint64_t{1}, uint64_t{37}, uint64_t{1800}, std::numeric_limits<uint64_t>::max()}) {
          for (uint32_t shares : {1u, 3u, 13u}) {
            SCOPED_TRACE(std::string(f ? f : "no filter") + " " + std::string(metric_name(m)) +
                         " k " + std::to_string(k) + " shares " + std::to_string(shares));
            TEST_set_scan_walk_hooks(nullptr);
            auto walked = fx.scan(m, query, k, filter);
            ASSERT_TRUE(walked) << walked.error().render();
            expect_same_hits(*walked, Oracle::hits(recs, m, query, k, filter));
            ScanColumnsCache cache;
            for (int scan = 0; scan < 3; ++scan) {
              auto got = scan_cached(fx, cache, shares, m, query, k, filter);
              ASSERT_TRUE(got) << got.error().render();
              expect_identical_hits(*got, *walked);
              for (size_t i = 0; i < got->size(); ++i) {
                EXPECT_EQ((*got)[i].slot, (*walked)[i].slot);
              }
            }
            ASSERT_TRUE(current(fx, cache));
            // Only Active records are kept, their ranks in key order.
            std::vector<std::string> active;
            for (const Rec& r : recs) {
              if (r.state == RecordState::Active) active.push_back(r.id);
            }
            std::sort(active.begin(), active.end());
            EXPECT_EQ(ids_by_rank(cache), active);
          }
        }
      }
    }
  }
}

TEST_F(ColumnsTest, WhatChangesWithinASnapshotIsTestedAtEveryScan) {
  // The clock passes an expiry, a slot gets the deleted mark: neither commits anything,
  // so the columns stay, and the hits change all the same.
  ScanFixture fx(2);
  const std::vector<uint64_t> slots =
      fx.add({{"a", {1, 0}}, {"b", {2, 0}, "{}", RecordState::Active, kNow + 1}, {"c", {3, 0}}});
  ScanColumnsCache cache;
  for (int scan = 0; scan < 2; ++scan) {
    auto r = scan_cached(fx, cache, 2, Metric::Dot, query_of({1, 0}), 10);
    ASSERT_TRUE(r);
    EXPECT_EQ(ids_of(*r), (std::vector<std::string>{"c", "b", "a"}));
  }
  ASSERT_TRUE(current(fx, cache));
  static int64_t later_ns = 0;
  later_ns = static_cast<int64_t>(kNow + 1) * 1000000000;
  TEST_set_wall_clock([] { return later_ns; });
  auto expired = scan_cached(fx, cache, 2, Metric::Dot, query_of({1, 0}), 10);
  ASSERT_TRUE(expired);
  EXPECT_EQ(ids_of(*expired), (std::vector<std::string>{"c", "a"}));
  ASSERT_TRUE(write_deleted_marker(fx.vectors(), slots[2]));
  auto deleted = scan_cached(fx, cache, 2, Metric::Dot, query_of({1, 0}), 10, where("{}"));
  ASSERT_TRUE(deleted);
  EXPECT_EQ(ids_of(*deleted), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(current(fx, cache));
}

TEST_F(ColumnsTest, ACommitMadePastTheCacheIsNeverServedAndTheColumnsAreBuiltAgain) {
  ScanFixture fx(2);
  fx.add({{"a", {1, 0}}, {"b", {2, 0}}});
  ScanColumnsCache cache;
  ASSERT_NO_FATAL_FAILURE(build(fx, cache));
  fx.add({{"c", {3, 0}}});
  fx.remove({"a"});
  for (int scan = 0; scan < 3; ++scan) {
    auto r = scan_cached(fx, cache, 1, Metric::Dot, query_of({1, 0}), 10);
    ASSERT_TRUE(r);
    EXPECT_EQ(ids_of(*r), (std::vector<std::string>{"c", "b"})) << "scan " << scan;
  }
  ASSERT_TRUE(current(fx, cache));
  EXPECT_EQ(cache.TEST_state()->second, 2u);
}

TEST_F(ColumnsTest, AValueThatDoesNotDecodeKeepsEveryScanOnTheWalkThatReportsIt) {
  ScanFixture fx(2);
  fx.add({{"a", {1, 0}}});
  fx.put_raw({{"b", "\x02"}});
  ScanColumnsCache cache;
  for (int scan = 0; scan < 3; ++scan) {
    auto r = scan_cached(fx, cache, 1, Metric::Dot, query_of({1, 0}), 10);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  }
  EXPECT_FALSE(cache.TEST_state());
}

// Commits through the cache, as a collection makes them.
class FollowTest : public ColumnsTest {
 protected:
  void commit(ScanFixture& fx, ScanColumnsCache& cache,
              const std::function<void(WriteTxn&)>& write) {
    auto txn = fx.store().begin_write();
    ASSERT_TRUE(txn);
    write(*txn);
    ASSERT_TRUE(cache.commit(fx.store(), *txn, [&txn] { return txn->commit(); }));
  }
  Record record(ScanFixture& fx, const std::string& id, float x, std::string meta = "{}") {
    auto slot = append_slot(fx.vectors());
    EXPECT_TRUE(slot);
    EXPECT_TRUE(write_vector(fx.vectors(), *slot, std::vector<float>{x, 0}));
    return Record{id, *slot, std::move(meta), kNow - 10, std::nullopt, RecordState::Active};
  }
  // Scans once through the cache and once by the walk; the hits must be identical and
  // the columns at the store's snapshot.
  void expect_followed(ScanFixture& fx, ScanColumnsCache& cache, const char* what) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(current(fx, cache));
    for (const char* f : {static_cast<const char*>(nullptr), "{\"t\": 1}"}) {
      const std::optional<MetadataFilter> filter = f ? where(f) : std::optional<MetadataFilter>();
      for (uint64_t k : {uint64_t{3}, uint64_t{1000}}) {
        auto got = scan_cached(fx, cache, 3, Metric::Dot, query_of({1, 0}), k, filter);
        ASSERT_TRUE(current(fx, cache));
        TEST_set_scan_walk_hooks(nullptr);
        auto walked = fx.scan(Metric::Dot, query_of({1, 0}), k, filter);
        ASSERT_TRUE(got && walked);
        expect_identical_hits(*got, *walked);
      }
    }
  }
};

TEST_F(FollowTest, KeysAddedBetweenOthersTakeRanksBetweenTheirsUntilTheGapRunsOut) {
  // Every record scores the same, so the hits come in key order. Each commit adds a key
  // just below "b", halving the gap there, well past the point where the ranks must be
  // spread out again; replacements keep their key's place, removals leave it.
  ScanFixture fx(2);
  fx.add({{"a", {1, 0}}, {"b", {1, 0}}, {"c", {1, 0}}});
  ScanColumnsCache cache;
  ASSERT_NO_FATAL_FAILURE(build(fx, cache));
  std::string key = "a";
  for (int i = 0; i < 80; ++i) {
    key += '~';
    commit(fx, cache, [&](WriteTxn& txn) { ASSERT_TRUE(put_record(txn, record(fx, key, 1))); });
    if (i % 20 == 0) expect_followed(fx, cache, "an insert below b");
  }
  expect_followed(fx, cache, "eighty inserts below b");
  // A batch of keys before everything and after everything, one replaced, one removed, a
  // Pending record (never a hit), and a key that goes in and out in the same commit.
  commit(fx, cache, [&](WriteTxn& txn) {
    for (const char* id : {"0", "00", "000", "d", "dd", "ddd"}) {
      ASSERT_TRUE(put_record(txn, record(fx, id, 1, "{\"t\":1}")));
    }
    ASSERT_TRUE(put_record(txn, record(fx, "b", 1, "{\"t\":1}")));
    ASSERT_TRUE(remove_record(txn, "c"));
    Record pending = record(fx, "a~~", 1);
    pending.state = RecordState::Pending;
    ASSERT_TRUE(put_record(txn, pending));
    ASSERT_TRUE(put_record(txn, record(fx, "e", 1)));
    ASSERT_TRUE(remove_record(txn, "e"));
  });
  expect_followed(fx, cache, "a mixed commit");
  std::vector<std::string> want = {"0", "00", "000", "a"};
  for (size_t n = 1; n <= 80; ++n) {
    if (n != 2) want.push_back("a" + std::string(n, '~'));
  }
  for (const char* id : {"b", "d", "dd", "ddd"}) want.push_back(id);
  EXPECT_EQ(ids_by_rank(cache), want);
  // The Pending record made Active through a writing cursor, as a batch does.
  commit(fx, cache, [&](WriteTxn& txn) {
    auto cur = txn.writer(kRecordsTable);
    ASSERT_TRUE(cur);
    auto found = cur->find("a~~");
    ASSERT_TRUE(found && *found);
    auto r = decode_record(**found);
    ASSERT_TRUE(r);
    r->state = RecordState::Active;
    ASSERT_TRUE(cur->replace("a~~", encode_record(*r)));
  });
  expect_followed(fx, cache, "a promotion");
  EXPECT_EQ(ids_by_rank(cache).size(), want.size() + 1);
}

// How a scan in slot order meets the texts of one block: the held records, and how often the
// next one's text does not begin where the last one's ended.
struct BlockLayout {
  uint64_t records = 0;
  uint64_t jumps = 0;
};

// The layout of every block, after checking what every block keeps to: its texts inside it,
// its live bytes those of the records it holds, and texts given up never more than those
// held (or than a few KiB), so that deleting records gives their memory back.
std::vector<BlockLayout> layout_of(ScanColumnsCache& cache) {
  std::vector<BlockLayout> out;
  cache.TEST_inspect([&](const RecordColumns& c) {
    out.resize(c.blocks.size());
    uint64_t all_live = 0;
    for (size_t b = 0; b < c.blocks.size(); ++b) {
      const TextBlock& block = c.blocks[b];
      uint64_t live = 0;
      std::optional<uint64_t> end;
      const uint64_t first = uint64_t{b} << RecordColumns::kBlockShift;
      for (uint64_t s = first; s < std::min<uint64_t>(c.size(), first + RecordColumns::kBlockSlots);
           ++s) {
        if (!c.holds(s)) continue;
        const uint64_t n = c.id(s).size() + c.metadata(s).size();
        EXPECT_LE(c.texts[s] + n, block.used) << "slot " << s;
        ++out[b].records;
        if (end && *end != c.texts[s]) ++out[b].jumps;
        end = c.texts[s] + n;
        live += n;
      }
      EXPECT_EQ(block.live, live) << "block " << b;
      EXPECT_LE(block.used, block.capacity) << "block " << b;
      EXPECT_LE(block.used - block.live, std::max<uint64_t>(block.live, 4095)) << "block " << b;
      all_live += live;
    }
    EXPECT_EQ(c.text_bytes, all_live);
  });
  return out;
}

TEST_F(FollowTest, TextsLieInSlotOrderWhateverTheKeysAndStayCloseToItThroughCommits) {
  // Random ids: key order says nothing of slot order, yet a scan in slot order reads each
  // block's texts back to back after the build. Commits then empty most of the first block
  // and fill its slots again with new ids, replace records into fresh slots and add some:
  // each block may drift from slot order only by the texts placed since it was last laid
  // out, which its room bounds, and every scan still gives the walk's hits.
  ScanFixture fx(2);
  std::mt19937_64 rng(23);
  std::vector<std::string> ids = shaped_ids("random hex", 3000, rng);
  std::vector<Rec> recs;
  for (size_t i = 0; i < ids.size(); ++i) {
    recs.push_back({ids[i], {float(i % 13), 1}, "{\"t\":" + std::to_string(i % 2) + "}"});
  }
  const std::vector<uint64_t> slots = fx.add(recs);
  ScanColumnsCache cache;
  ASSERT_NO_FATAL_FAILURE(build(fx, cache));
  std::vector<BlockLayout> built = layout_of(cache);
  ASSERT_EQ(built.size(), 3u);
  for (const BlockLayout& b : built) EXPECT_EQ(b.jumps, 0u);
  expect_followed(fx, cache, "the build");

  // Most of the first block goes: its texts are laid out again without those given up.
  std::vector<uint64_t> freed;
  commit(fx, cache, [&](WriteTxn& txn) {
    for (size_t i = 0; i < recs.size(); ++i) {
      if (slots[i] < 800) {
        ASSERT_TRUE(remove_record(txn, recs[i].id));
        freed.push_back(slots[i]);
      }
    }
  });
  expect_followed(fx, cache, "most of a block removed");
  EXPECT_EQ(layout_of(cache)[0].jumps, 0u);

  // New ids into the freed slots, in one commit and then a few at a time.
  std::sort(freed.begin(), freed.end());
  std::vector<std::string> fresh = shaped_ids("random hex", 6000, rng);
  size_t next = 0;
  auto put_into = [&](WriteTxn& txn, uint64_t slot) {
    ASSERT_TRUE(write_vector(fx.vectors(), slot, std::vector<float>{float(slot % 11), 1}));
    Record r{fresh[next++] + "-new", slot, "{\"t\":1}", kNow - 10, std::nullopt,
             RecordState::Active};
    ASSERT_TRUE(put_record(txn, r));
  };
  commit(fx, cache, [&](WriteTxn& txn) {
    for (size_t i = 0; i < 500; ++i) put_into(txn, freed[i]);
  });
  expect_followed(fx, cache, "freed slots taken again");
  for (size_t i = 500; i < freed.size(); i += 20) {
    commit(fx, cache, [&](WriteTxn& txn) {
      for (size_t j = i; j < std::min(freed.size(), i + 20); ++j) put_into(txn, freed[j]);
    });
  }
  expect_followed(fx, cache, "the rest of them, a few at a time");

  // Replacements into fresh slots, taken from the blocks in the middle and the end.
  commit(fx, cache, [&](WriteTxn& txn) {
    for (size_t i = 1; i < recs.size(); i += 9) {
      if (slots[i] < 800) continue;
      auto slot = append_slot(fx.vectors());
      ASSERT_TRUE(slot);
      ASSERT_TRUE(write_vector(fx.vectors(), *slot, std::vector<float>{float(i % 7), 1}));
      ASSERT_TRUE(put_record(txn, Record{recs[i].id, *slot, "{\"t\":0}", kNow - 10, std::nullopt,
                                         RecordState::Active}));
    }
  });
  expect_followed(fx, cache, "replacements");

  // Texts of similar length: a block may have an eighth of its texts out of order, each of
  // them a jump there and back, and a block of few texts a few KiB.
  for (const BlockLayout& b : layout_of(cache)) {
    if (b.records >= 512) {
      EXPECT_LE(b.jumps, b.records / 2);
    }
  }
}

TEST_F(FollowTest, IdsThatDifferOnlyByTrailingNulsAreFollowedApart) {
  using namespace std::string_literals;
  ScanFixture fx(2);
  fx.add({{"a", {1, 0}}, {"a\0"s, {1, 0}}, {"a\0\0"s, {1, 0}}, {"b", {1, 0}}});
  ScanColumnsCache cache;
  ASSERT_NO_FATAL_FAILURE(build(fx, cache));
  commit(fx, cache, [&](WriteTxn& txn) {
    ASSERT_TRUE(remove_record(txn, "a\0"s));
    ASSERT_TRUE(put_record(txn, record(fx, "a\0\0\0"s, 1)));
    ASSERT_TRUE(put_record(txn, record(fx, ""s, 1)));
  });
  expect_followed(fx, cache, "removed and added beside their twins");
  EXPECT_EQ(ids_by_rank(cache), (std::vector<std::string>{""s, "a", "a\0\0"s, "a\0\0\0"s, "b"}));
}

TEST_F(FollowTest, ACommitTooLargeToFollowIsTakenAgainAtTheNextScan) {
  ScanFixture fx(2);
  fx.add({{"a", {1, 0}}, {"b", {2, 0}}});
  ScanColumnsCache cache;
  for (int scan = 0; scan < 2; ++scan) {
    ASSERT_TRUE(scan_cached(fx, cache, 1, Metric::Dot, query_of({1, 0}), 10));
  }
  ASSERT_EQ(cache.TEST_builds(), 1u);
  commit(fx, cache, [&](WriteTxn& txn) {
    for (int i = 0; i < 5000; ++i) {
      ASSERT_TRUE(put_record(txn, record(fx, "n" + std::to_string(i), float(i % 7))));
    }
  });
  EXPECT_FALSE(cache.TEST_state());
  // The next scan walks, the one after builds them, and they follow the next commit again.
  ASSERT_TRUE(scan_cached(fx, cache, 1, Metric::Dot, query_of({1, 0}), 10));
  EXPECT_FALSE(cache.TEST_state());
  ASSERT_TRUE(scan_cached(fx, cache, 1, Metric::Dot, query_of({1, 0}), 10));
  expect_followed(fx, cache, "the rebuild");
  EXPECT_EQ(cache.TEST_builds(), 2u);
  commit(fx, cache, [&](WriteTxn& txn) { ASSERT_TRUE(put_record(txn, record(fx, "a0", 9))); });
  expect_followed(fx, cache, "a small commit");
  EXPECT_EQ(cache.TEST_builds(), 2u);
}

TEST_F(FollowTest, WhatTheColumnsCannotFollowRetiresThem) {
  struct Case {
    const char* what;
    std::function<void(ScanFixture&, WriteTxn&)> write;
  };
  const Case kCases[] = {
      {"a value that does not decode",
       [](ScanFixture&, WriteTxn& txn) { ASSERT_TRUE(txn.put(kRecordsTable, "x", "\x02")); }},
      {"a record in a slot another holds",
       [](ScanFixture&, WriteTxn& txn) {
         ASSERT_TRUE(
             put_record(txn, Record{"x", 0, "{}", kNow, std::nullopt, RecordState::Active}));
       }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    ScanFixture fx(2);
    fx.add({{"a", {1, 0}}, {"b", {2, 0}}});
    ScanColumnsCache cache;
    ASSERT_NO_FATAL_FAILURE(build(fx, cache));
    commit(fx, cache, [&](WriteTxn& txn) { c.write(fx, txn); });
    EXPECT_FALSE(cache.TEST_state());
    // The walk answers as before the commit would have it.
    auto r = scan_cached(fx, cache, 1, Metric::Dot, query_of({1, 0}), 10);
    TEST_set_scan_walk_hooks(nullptr);
    auto walked = fx.scan(Metric::Dot, query_of({1, 0}), 10);
    ASSERT_EQ(r.has_value(), walked.has_value());
    if (r) expect_identical_hits(*r, *walked);
  }
  // A transaction begun before the log was on cannot be followed either.
  ScanFixture fx(2);
  fx.add({{"a", {1, 0}}});
  ScanColumnsCache cache;
  auto early = fx.store().begin_write();
  ASSERT_TRUE(early);
  for (int scan = 0; scan < 2; ++scan) {
    ASSERT_TRUE(scan_cached(fx, cache, 1, Metric::Dot, query_of({1, 0}), 10));
  }
  ASSERT_TRUE(cache.TEST_state());
  ASSERT_TRUE(put_record(*early, Record{"b", 1, "{}", kNow, std::nullopt, RecordState::Active}));
  ASSERT_TRUE(cache.commit(fx.store(), *early, [&] { return early->commit(); }));
  EXPECT_FALSE(cache.TEST_state());
}

}  // namespace
}  // namespace tornquil
