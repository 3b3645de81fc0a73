// The batch insert: reading rows of any layout, the checks that run before any slot is
// taken, the records and vectors a batch leaves, what a failure in each phase leaves, and a
// batch racing single adds.
#include "collection/batch_insert.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "base/uuid.hpp"
#include "collection/vector_check.hpp"
#include "collection_fixture.hpp"
#include "search/distance.hpp"
#include "search/exact.hpp"

namespace tornquil::testing {
namespace {

class BatchInsertTest : public ManualClockTest {
 protected:
  // A collection of its own for each case of a table.
  std::shared_ptr<Collection> open_case(int n, const CollectionConfig& config) {
    auto c = open_collection(dir_.file("case" + std::to_string(n)), config);
    EXPECT_TRUE(c) << c.error().render();
    return c ? *c : nullptr;
  }
};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

using Ids = std::vector<std::string>;
using Ttls = std::vector<std::optional<uint64_t>>;

// Rows of seeds 0..n-1, metadata {"i":k}.
Batch seeded(uint64_t dims, size_t n) {
  Batch b;
  for (size_t i = 0; i < n; ++i) b.row(vec(dims, i), "{\"i\":" + std::to_string(i) + "}");
  return b;
}

std::vector<std::string> run(Collection& c, const Batch& b) {
  auto r = add_batch_records(c, b.input());
  EXPECT_TRUE(r) << r.error().render();
  return r ? *r : std::vector<std::string>();
}

// Runs the batch and calls `meanwhile` once, between its phases 2 and 3, with no lock held;
// a batch that `meanwhile` runs itself finds the hook spent.
Result<std::vector<std::string>> run_interrupted(Collection& c, const Batch& b,
                                                 const std::function<void()>& meanwhile) {
  struct Hook {
    const std::function<void()>* meanwhile;
    bool spent = false;
  } hook{&meanwhile};
  TEST_set_batch_phase_hook(
      [](int phase, void* arg) {
        auto* h = static_cast<Hook*>(arg);
        if (phase != 2 || h->spent) return;
        h->spent = true;
        (*h->meanwhile)();
      },
      &hook);
  auto r = add_batch_records(c, b.input());
  TEST_set_batch_phase_hook(nullptr, nullptr);
  EXPECT_TRUE(hook.spent);
  return r;
}

// What get answers: the committed record when it is live.
std::optional<Record> get_live(Collection& c, const std::string& id) {
  std::optional<Record> r = committed_record(c, id);
  if (r && !is_live(*r)) return std::nullopt;
  return r;
}

uint64_t live_count(Collection& c) {
  auto n = record_count(c);
  EXPECT_TRUE(n) << n.error().render();
  return n ? *n : 0;
}

std::vector<std::string> search_ids(Collection& c, const std::vector<float>& query) {
  std::shared_lock lk(c.slots.vectors_lock);
  auto hits = scan_committed(*c.meta, c.slots.vectors, c.config.metric, query, 100, std::nullopt);
  EXPECT_TRUE(hits) << hits.error().render();
  std::vector<std::string> ids;
  if (hits) {
    for (const SearchHit& h : *hits) ids.push_back(h.id);
  }
  return ids;
}

TEST(BatchRowsTest, ReadsEveryLayoutAsTheRowsTheCallerSees) {
  // The logical 3 x 4 matrix m[r][c] = 10 r + c, stored in several layouts.
  const size_t R = 3, C = 4;
  auto value = [](size_t r, size_t c) { return static_cast<float>(10 * r + c); };
  std::vector<float> c_order(R * C), f_order(R * C);
  std::vector<double> c_order64(R * C);
  for (size_t r = 0; r < R; ++r) {
    for (size_t c = 0; c < C; ++c) {
      c_order[r * C + c] = value(r, c);
      f_order[c * R + r] = value(r, c);
      c_order64[r * C + c] = value(r, c);
    }
  }
  // Every other column of a 3 x 8 matrix whose odd columns hold junk.
  std::vector<float> wide(R * 2 * C, -1.0f);
  for (size_t r = 0; r < R; ++r) {
    for (size_t c = 0; c < C; ++c) wide[r * 2 * C + 2 * c] = value(r, c);
  }
  // The same bytes one byte off alignment.
  std::vector<unsigned char> unaligned(R * C * 4 + 1);
  std::memcpy(unaligned.data() + 1, c_order.data(), R * C * 4);

  const ptrdiff_t f = 4, d = 8;
  const float* last_row = c_order.data() + (R - 1) * C;
  const float* last_elem = c_order.data() + R * C - 1;
  struct Case {
    const char* name;
    BatchRows rows;
  };
  const std::vector<Case> cases = {
      {"C order", BatchRows::float32_matrix(c_order.data(), R, C, C * f, f)},
      {"Fortran order", BatchRows::float32_matrix(f_order.data(), R, C, f, R * f)},
      {"column slice", BatchRows::float32_matrix(wide.data(), R, C, 2 * C * f, 2 * f)},
      {"unaligned", BatchRows::float32_matrix(unaligned.data() + 1, R, C, C * f, f)},
      {"float64", BatchRows::float64_matrix(c_order64.data(), R, C, C * d, d)},
      // Rows reversed (m[::-1]) read from the last row backwards.
      {"reversed rows", BatchRows::float32_matrix(last_row, R, C, -C * f, f)},
      // Both axes reversed (m[::-1, ::-1]).
      {"reversed both", BatchRows::float32_matrix(last_elem, R, C, -C * f, -f)},
  };
  for (const Case& tc : cases) {
    ASSERT_EQ(tc.rows.size(), R) << tc.name;
    std::vector<float> scratch(C);
    for (size_t r = 0; r < R; ++r) {
      ASSERT_EQ(tc.rows.row_length(r), C) << tc.name;
      std::span<const float> row = tc.rows.row(r, scratch.data());
      std::vector<float> want(C);
      for (size_t c = 0; c < C; ++c) {
        size_t rr = r, cc = c;
        if (std::string(tc.name).starts_with("reversed")) rr = R - 1 - r;
        if (std::string(tc.name) == "reversed both") cc = C - 1 - c;
        want[c] = value(rr, cc);
      }
      EXPECT_EQ(std::vector<float>(row.begin(), row.end()), want) << tc.name << " row " << r;
    }
  }

  // A transposed matrix: the 4 x 3 view of the C-ordered 3 x 4 buffer.
  BatchRows t = BatchRows::float32_matrix(c_order.data(), C, R, f, C * f);
  std::vector<float> scratch(R);
  std::span<const float> row1 = t.row(1, scratch.data());
  EXPECT_EQ(std::vector<float>(row1.begin(), row1.end()), (std::vector<float>{1, 11, 21}));

  // Float64 narrowing: to nearest, beyond the float32 range to infinity, NaN stays NaN.
  const double big[3] = {1e300, 0.1, std::nan("")};
  BatchRows b64 = BatchRows::float64_matrix(big, 1, 3, 24, 8);
  std::span<const float> n = b64.row(0, scratch.data());
  EXPECT_EQ(n[0], kInf);
  EXPECT_EQ(n[1], 0.1f);
  EXPECT_TRUE(std::isnan(n[2]));

  // Zero rows, and rows of zero columns.
  EXPECT_EQ(BatchRows::float32_matrix(nullptr, 0, 4, 16, 4).size(), 0u);
  EXPECT_EQ(BatchRows::float32_matrix(c_order.data(), 2, 0, 0, 4).row_length(1), 0u);
}

TEST_F(BatchInsertTest, StoresActiveRecordsWithTheirSlotsVectorsMetadataAndTtls) {
  auto c = open(make_config(4));
  Batch b = seeded(4, 3);
  b.ttls = Ttls{std::nullopt, 0, 60};
  const std::vector<std::string> ids = run(*c, b);
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 3u);

  for (size_t i = 0; i < 3; ++i) {
    std::optional<Record> r = committed_record(*c, ids[i]);
    ASSERT_TRUE(r) << i;
    EXPECT_EQ(r->state, RecordState::Active);
    EXPECT_EQ(r->slot, i);
    EXPECT_EQ(r->metadata, "{\"i\":" + std::to_string(i) + "}");
    EXPECT_EQ(slot_floats(*c, i), vec(4, i));
    const std::optional<uint64_t> expiry[] = {std::nullopt, r->created_at, r->created_at + 60};
    EXPECT_EQ(r->expires_at, expiry[i]);  // the second is never live
  }
  EXPECT_EQ(live_count(*c), 2u);
  EXPECT_FALSE(get_live(*c, ids[1]));
  EXPECT_TRUE(get_live(*c, ids[2]));
  EXPECT_EQ(buffered(*c), 0u);  // the write buffer is not used
  EXPECT_EQ(stored_freelist(*c), std::vector<uint64_t>{});
  EXPECT_FALSE(c->needs_rebuild.load());  // no HNSW parameters
}

TEST_F(BatchInsertTest, AHugeTtlSaturatesInsteadOfWrapping) {
  auto c = open(make_config(2));
  Batch b = seeded(2, 1);
  b.ttls = Ttls{std::numeric_limits<uint64_t>::max()};
  const std::vector<std::string> ids = run(*c, b);
  std::optional<Record> r = committed_record(*c, ids[0]);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->expires_at, std::numeric_limits<uint64_t>::max());
}

TEST_F(BatchInsertTest, RefusedBatchesChangeNothing) {
  auto c = open(make_config(4, Metric::Cosine));
  add(*c, 1, "a");
  ASSERT_TRUE(drop_buffered_record(*c, "a"));  // slot 0 is free
  add(*c, 2, "b");                             // takes slot 0 again
  add(*c, 3, "c");                             // slot 1
  ASSERT_TRUE(drop_buffered_record(*c, "c"));  // slot 1 is free
  ASSERT_TRUE(flush_pending(*c));

  auto with = [](Batch b, auto change) {
    change(b);
    return b;
  };
  const std::string too_long(511, 'x');
  struct Case {
    Batch batch;
    std::string error;
  };
  const std::vector<Case> cases = {
      // The metadata length is tested first, then ids, then ttls.
      {with(seeded(4, 2),
            [](Batch& b) {
              b.metadata.pop_back();
              b.ids = Ids{"x"};
              b.ttls = Ttls{};
            }),
       "Invalid input: vectors and metadatas must have same length"},
      {with(seeded(4, 2),
            [](Batch& b) {
              b.ids = Ids{"x"};
              b.ttls = Ttls{};
            }),
       "Invalid input: ids must have same length as vectors"},
      {with(seeded(4, 2),
            [](Batch& b) {
              b.ttls = Ttls{1, 2, 3};
            }),
       "Invalid input: ttls must have same length as vectors"},
      // Lengths before dimensions; the first wrong row in batch order.
      {with(seeded(4, 1), [](Batch& b) { b.row(vec(3, 1)).row(vec(5, 1)).metadata.pop_back(); }),
       "Invalid input: vectors and metadatas must have same length"},
      {with(seeded(4, 1), [](Batch& b) { b.row(vec(3, 1)).row(vec(5, 1)); }),
       "Dimension mismatch: expected 4, got 3"},
      // Dimensions before the stored form, the stored form before ids.
      {with(seeded(4, 1),
            [](Batch& b) {
              b.row({kNaN, 1, 2, 3}).row(vec(2, 1));
            }),
       "Dimension mismatch: expected 4, got 2"},
      {with(seeded(4, 2),
            [&](Batch& b) {
              b.row({1, kNaN, 2, 3});
              b.ids = Ids{"a", too_long, "c"};
            }),
       "Invalid input: vector 2 element 1 is not finite (NaN)"},
      {with(seeded(4, 2),
            [&](Batch& b) {
              b.ids = Ids{"a", too_long};
            }),
       "Invalid input: Record id is too long: 511 bytes (at most 510)"},
  };
  for (const Case& tc : cases) {
    auto r = add_batch_records(*c, tc.batch.input());
    ASSERT_FALSE(r) << tc.error;
    EXPECT_EQ(r.error().render(), tc.error);
  }
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{1});
  EXPECT_EQ(stored_freelist(*c), std::vector<uint64_t>{1});
  EXPECT_EQ(slot_count(*c), 2u);
  EXPECT_EQ(committed_records(*c).size(), 1u);

  // The longest storable id is accepted.
  Batch ok = seeded(4, 1);
  ok.ids = Ids{std::string(510, 'i')};
  run(*c, ok);
  EXPECT_TRUE(get_live(*c, std::string(510, 'i')));
}

// The vectors with a NaN or infinite element, which every writer refuses before anything
// changes, and their neighbours that stay accepted.
TEST_F(BatchInsertTest, VectorsStoredWithANaNHeadAreRefusedByEveryWriter) {
  struct Case {
    Metric metric;
    std::vector<float> v;
    bool refused;
  };
  const std::vector<Case> cases = {
      {Metric::L2, {kNaN, 1, 2}, true},           {Metric::Dot, {kNaN, 1, 2}, true},
      {Metric::Cosine, {kNaN, 1, 2}, true},       {Metric::Cosine, {1, 2, kNaN}, true},
      {Metric::Cosine, {kInf, 1, 2}, true},       {Metric::Cosine, {-kInf, 1, 2}, true},
      {Metric::L2, {1, kNaN, 2}, true},           {Metric::L2, {kInf, 1, 2}, true},
      {Metric::Dot, {-kInf, kNaN, 2}, true},      {Metric::Cosine, {1, kInf, 2}, true},
      {Metric::Cosine, {0, 0, 0}, false},          // stored as zeros
      {Metric::Cosine, {3e38f, 3e38f, 1}, false},  // the norm overflows: 0, 0, 0
  };
  for (size_t n = 0; n < cases.size(); ++n) {
    const Case& tc = cases[n];
    const std::string what = std::string(metric_name(tc.metric)) + " case " + std::to_string(n);

    auto c = open_case(static_cast<int>(n), make_config(3, tc.metric));
    ASSERT_TRUE(c);
    add(*c, 1, "old");  // buffered
    ASSERT_TRUE(flush_pending(*c));
    add(*c, 2, "old");  // buffered over the committed one
    const uint64_t slots = slot_count(*c);

    auto a = add_record(*c, tc.v, JsonValue(), std::string("new"), std::nullopt);
    auto u = upsert_record(*c, "old", tc.v, JsonValue(), std::nullopt);
    Batch b = seeded(3, 2);
    b.row(tc.v);
    auto r = add_batch_records(*c, b.input());
    if (!tc.refused) {
      EXPECT_TRUE(a && u && r) << what;
      continue;
    }
    const size_t at = *first_non_finite(tc.v);
    const std::string refusal = "element " + std::to_string(at) + " is not finite (" +
                                (std::isnan(tc.v[at]) ? "NaN"
                                 : tc.v[at] > 0       ? "inf"
                                                      : "-inf") +
                                ")";
    ASSERT_FALSE(a) << what;
    EXPECT_EQ(a.error().render(), "Invalid input: vector " + refusal) << what;
    ASSERT_FALSE(u) << what;
    EXPECT_EQ(u.error().render(), "Invalid input: vector " + refusal) << what;
    ASSERT_FALSE(r) << what;
    EXPECT_EQ(r.error().render(), "Invalid input: vector 2 " + refusal) << what;
    // Neither copy of "old" was touched, and no slot was taken.
    EXPECT_EQ(slot_count(*c), slots) << what;
    EXPECT_EQ(buffered_ids(*c), std::vector<std::string>{"old"}) << what;
    EXPECT_EQ(committed_record(*c, "old")->state, RecordState::Active) << what;
    EXPECT_TRUE(memory_freelist(*c).empty()) << what;
  }
}

TEST_F(BatchInsertTest, CosineRowsAreStoredAtUnitLengthAndFloat64RowsNarrowed) {
  auto c = open(make_config(2, Metric::Cosine));
  const double rows[2][2] = {{3, 4}, {0.1, 0}};
  Batch meta;
  meta.metadata = {"{}", "{}"};
  BatchInput in = meta.input();
  in.vectors = BatchRows::float64_matrix(rows, 2, 2, 16, 8);
  auto ids = add_batch_records(*c, in);
  ASSERT_TRUE(ids) << ids.error().render();
  EXPECT_EQ(slot_floats(*c, 0), prepare_vector(Metric::Cosine, std::vector<float>{3, 4}));
  EXPECT_EQ(slot_floats(*c, 0), (std::vector<float>{0.6f, 0.8f}));
  EXPECT_EQ(slot_floats(*c, 1), (std::vector<float>{1, 0}));
}

TEST_F(BatchInsertTest, LaterItemsReplaceEarlierRecordsOfTheirIdAndFreeTheirSlots) {
  auto c = open(make_config(4));
  add(*c, 9, "stored");
  ASSERT_TRUE(flush_pending(*c));  // slot 0

  Batch b = seeded(4, 3);
  b.ids = Ids{"a", "a", "stored"};
  b.ttls = Ttls{5, 7, std::nullopt};
  EXPECT_EQ(run(*c, b), (std::vector<std::string>{"a", "a", "stored"}));

  std::optional<Record> a = committed_record(*c, "a");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->slot, 2u);
  EXPECT_EQ(a->metadata, "{\"i\":1}");
  EXPECT_EQ(a->expires_at, a->created_at + 7);
  EXPECT_EQ(committed_record(*c, "stored")->slot, 3u);
  EXPECT_EQ(committed_records(*c).size(), 2u);
  // Slot 0 (the replaced record) and slot 1 (the first "a") are freed, in that order, and
  // carry the deleted marker.
  EXPECT_EQ(memory_freelist(*c), (std::vector<uint64_t>{0, 1}));
  EXPECT_EQ(stored_freelist(*c), (std::vector<uint64_t>{0, 1}));
  EXPECT_TRUE(std::isnan(slot_floats(*c, 0)[0]));
  EXPECT_TRUE(std::isnan(slot_floats(*c, 1)[0]));
  EXPECT_EQ(slot_count(*c), 4u);
}

// A batch whose ids all sort after the stored ones is appended to the table, any other is
// put among them; either way each id ends with its last item and the stored ids stay.
TEST_F(BatchInsertTest, BatchesAfterAndAmongStoredIdsStoreTheSameRecords) {
  const struct {
    Ids ids;
  } cases[] = {{{"n", "z", "n", "mm"}}, {{"a", "m", "b", "a"}}, {{"m", "m"}}, {{"l", "n"}}};
  int k = 0;
  for (const auto& t : cases) {
    auto c = open_case(k++, make_config(2));
    ASSERT_TRUE(c);
    add(*c, 9, "m");
    ASSERT_TRUE(flush_pending(*c));  // slot 0
    Batch b = seeded(2, t.ids.size());
    b.ids = t.ids;
    EXPECT_EQ(run(*c, b), t.ids);
    std::map<std::string, uint64_t> want = {{"m", 0}};
    for (size_t i = 0; i < t.ids.size(); ++i) want[t.ids[i]] = i + 1;
    std::map<std::string, uint64_t> got;
    for (const Record& r : committed_records(*c)) {
      EXPECT_EQ(r.state, RecordState::Active) << r.id;
      got[r.id] = r.slot;
    }
    EXPECT_EQ(got, want) << t.ids[0];
  }
}

// Ids that share long prefixes, hold zero bytes or repeat: each stored record is the last
// item of its id, whatever order the store is written in.
TEST_F(BatchInsertTest, TheLastItemOfEachIdIsStored) {
  using namespace std::string_literals;
  const Ids small = {"prefix-long-2", "prefix-long-1", "x", "",     "\0"s, "x",  "prefix-long-1",
                     "prefix-l",      "a\0b"s,         "a", "a\0"s, "",    "\0"s};
  // Enough items for the key order to be sorted in parallel: ids that agree in their first
  // eight bytes and differ after, each repeated several times across the batch.
  Ids big;
  for (size_t i = 0; i < 6000; ++i) big.push_back("shared-prefix-" + std::to_string(i % 1700));
  int n = 0;
  for (const Ids& ids : {small, big}) {
    auto c = open_case(n++, make_config(2));
    ASSERT_TRUE(c);
    Batch b = seeded(2, ids.size());
    b.ids = ids;
    EXPECT_EQ(run(*c, b), ids);
    std::map<std::string, uint64_t> last;  // id -> slot of its last item (slots follow items)
    for (size_t i = 0; i < ids.size(); ++i) last[ids[i]] = i;
    const std::vector<Record> stored = committed_records(*c);
    ASSERT_EQ(stored.size(), last.size());
    for (const Record& r : stored) {
      EXPECT_EQ(r.slot, last.at(r.id)) << r.id;
      EXPECT_EQ(r.state, RecordState::Active) << r.id;
      EXPECT_EQ(r.metadata, "{\"i\":" + std::to_string(r.slot) + "}") << r.id;
    }
  }
}

// Phase 2 writes in pieces, the next prepared while the current is written: freed slots one
// by one, runs of fresh slots in staged writes. Every record's slot holds its own row.
TEST_F(BatchInsertTest, EveryRowReachesItsSlotWhateverPiecesItIsWrittenIn) {
  constexpr uint64_t kDims = 384;  // a staged piece holds some 680 rows of this size
  auto c = open(make_config(kDims));
  for (int i = 0; i < 40; ++i) add(*c, 1000 + i, "old" + std::to_string(i));
  ASSERT_TRUE(flush_pending(*c));
  // Freed slots scattered between live ones, some of them adjacent.
  for (int i : {3, 4, 5, 11, 20, 21, 39}) {
    const std::string id = "old" + std::to_string(i);
    ASSERT_TRUE(delete_record(*c, id, committed_record(*c, id)->slot));
  }
  const size_t n = 3000;
  const std::vector<std::string> ids = run(*c, seeded(kDims, n));
  ASSERT_EQ(ids.size(), n);
  std::set<uint64_t> slots;
  for (size_t i = 0; i < n; ++i) {
    const std::optional<Record> r = committed_record(*c, ids[i]);
    ASSERT_TRUE(r) << i;
    EXPECT_EQ(slot_floats(*c, r->slot), vec(kDims, i)) << i;
    slots.insert(r->slot);
  }
  EXPECT_EQ(slots.size(), n);
  EXPECT_EQ(slot_count(*c), 40 + n - 7);
  EXPECT_EQ(slot_floats(*c, committed_record(*c, "old38")->slot), vec(kDims, 1038));
}

TEST_F(BatchInsertTest, FreedSlotsAreTakenFirstThenFreshOnesAcrossGrowth) {
  auto c = open(make_config(4));
  for (int i = 0; i < 4; ++i) add(*c, i, "r" + std::to_string(i));
  ASSERT_TRUE(flush_pending(*c));
  ASSERT_TRUE(delete_record(*c, "r1", 1));
  ASSERT_TRUE(delete_record(*c, "r3", 3));

  // More rows than a new vector file has room for, so the file grows during the batch.
  const size_t n = kInitialSlots + 10;
  const std::vector<std::string> ids = run(*c, seeded(4, n));
  ASSERT_EQ(ids.size(), n);
  EXPECT_EQ(committed_record(*c, ids[0])->slot, 3u);  // most recently freed first
  EXPECT_EQ(committed_record(*c, ids[1])->slot, 1u);
  EXPECT_EQ(committed_record(*c, ids[2])->slot, 4u);
  EXPECT_EQ(committed_record(*c, ids[n - 1])->slot, n + 1);
  EXPECT_EQ(slot_count(*c), n + 2);
  EXPECT_EQ(slot_floats(*c, n + 1), vec(4, n - 1));
  EXPECT_EQ(stored_freelist(*c), std::vector<uint64_t>{});
  EXPECT_EQ(live_count(*c), n + 2);

  // Everything is where a reopen finds it.
  c.reset();
  c = open(make_config(4));
  EXPECT_EQ(slot_count(*c), n + 2);
  EXPECT_EQ(slot_floats(*c, 5), vec(4, 3));
  EXPECT_EQ(live_count(*c), n + 2);
}

TEST_F(BatchInsertTest, EmptyBatchCommitsNothingButMarksTheIndex) {
  auto c = open(make_config(4, Metric::L2, small_hnsw()));
  ASSERT_FALSE(c->needs_rebuild.load());
  EXPECT_EQ(run(*c, Batch()), std::vector<std::string>{});
  EXPECT_TRUE(c->needs_rebuild.load());
  EXPECT_EQ(stored_freelist(*c), std::vector<uint64_t>{});  // saved by phase 1
  EXPECT_EQ(slot_count(*c), 0u);

  BatchInput zero_rows;
  zero_rows.vectors = BatchRows::float32_matrix(nullptr, 0, 4, 16, 4);
  auto r = add_batch_records(*c, zero_rows);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->empty());
}

// A failure in phase 2 or 3 leaves the records Pending: never live, never found, never
// scored, but deletable, and their slots stay off the free list.
TEST_F(BatchInsertTest, FailuresAfterPhaseOneLeavePendingRecordsThatOnlyDeleteSees) {
  enum class Failure { VectorFlush, ActiveCommit };
  for (Failure f : {Failure::VectorFlush, Failure::ActiveCommit}) {
    const char* what = f == Failure::VectorFlush ? "phase 2" : "phase 3";
    auto c = open_case(static_cast<int>(f), make_config(4, Metric::L2, small_hnsw()));
    ASSERT_TRUE(c);
    add(*c, 7, "kept");
    ASSERT_TRUE(flush_pending(*c));
    c->needs_rebuild.store(false);  // as a refresh would leave it

    if (f == Failure::VectorFlush) {
      TEST_fail_next_batch_vector_flush();
    } else {
      c->TEST_fail_next_commit(1);  // phase 1 commits, phase 3 does not
    }
    Batch b = seeded(4, 3);
    b.ids = Ids{"p0", "p1", "p2"};
    auto r = add_batch_records(*c, b.input());
    ASSERT_FALSE(r) << what;
    EXPECT_EQ(r.error().kind(), f == Failure::VectorFlush ? ErrorKind::Io : ErrorKind::Transaction)
        << what;

    for (const std::string id : {"p0", "p1", "p2"}) {
      std::optional<Record> rec = committed_record(*c, id);
      ASSERT_TRUE(rec) << what << " " << id;
      EXPECT_EQ(rec->state, RecordState::Pending) << what;
      EXPECT_FALSE(get_live(*c, id)) << what;
    }
    // Phase 2 wrote the vectors even though it failed to flush them.
    EXPECT_EQ(slot_floats(*c, 2), vec(4, 1)) << what;
    EXPECT_TRUE(c->needs_rebuild.load() == (f == Failure::ActiveCommit)) << what;
    EXPECT_EQ(live_count(*c), 1u) << what;
    EXPECT_EQ(search_ids(*c, vec(4, 1)), std::vector<std::string>{"kept"}) << what;
    EXPECT_EQ(stored_freelist(*c), std::vector<uint64_t>{}) << what;
    EXPECT_TRUE(memory_freelist(*c).empty()) << what;

    for (const std::string id : {"p0", "p1", "p2"}) {
      ASSERT_TRUE(delete_record(*c, id, committed_record(*c, id)->slot)) << what;
      EXPECT_FALSE(committed_record(*c, id)) << what;
    }
    EXPECT_EQ(memory_freelist(*c), (std::vector<uint64_t>{1, 2, 3})) << what;
    EXPECT_EQ(committed_records(*c).size(), 1u) << what;
  }
}

// A slot that a delete frees while its batch runs waits for the batch's end, so that the
// batch's own vector write cannot land on another record's vector: a second batch, which
// stores the id again and fails after its phase 1, takes a fresh slot, and its record stays
// Pending (its vector was never made durable). The deleted record's slot is freed once the
// outer batch ends.
TEST_F(BatchInsertTest, ASlotFreedWhileItsBatchRunsWaitsForTheBatchsEnd) {
  auto c = open(make_config(4));
  Batch b = seeded(4, 2);
  b.ids = Ids{"a", "b"};
  auto r = run_interrupted(*c, b, [&] {
    ASSERT_TRUE(delete_record(*c, "a", committed_record(*c, "a")->slot));
    TEST_fail_next_batch_vector_flush();
    Batch other;
    other.row(vec(4, 77), "{\"other\":true}");
    other.ids = Ids{"a"};
    EXPECT_FALSE(add_batch_records(*c, other.input()));
  });
  ASSERT_TRUE(r) << r.error().render();

  const std::optional<Record> a = committed_record(*c, "a");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->slot, 2u);  // not slot 0, which the outer batch's "a" had
  EXPECT_EQ(a->metadata, "{\"other\":true}");
  EXPECT_EQ(a->state, RecordState::Pending);
  EXPECT_EQ(committed_record(*c, "b")->state, RecordState::Active);
  EXPECT_EQ(live_count(*c), 1u);
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{0});
  EXPECT_EQ(slot_floats(*c, 1), vec(4, 1));  // b's vector, untouched
}

// Phase 3 promotes only the batch's own Pending records: a record deleted half-way
// (Tombstone, its slot already free) or replaced by a newer writer between the phases
// stays as that writer left it.
TEST_F(BatchInsertTest, PhaseThreeLeavesRecordsChangedMeanwhileAlone) {
  auto c = open(make_config(4));
  Batch b = seeded(4, 3);
  b.ids = Ids{"a", "b", "c"};
  auto r = run_interrupted(*c, b, [&] {
    // "a": a delete whose removal fails leaves a Tombstone with the slot freed.
    c->TEST_fail_next_commit(1);
    std::optional<Record> a = committed_record(*c, "a");
    EXPECT_FALSE(delete_record(*c, "a", a->slot));
    // "b": replaced by a single add that is committed at once.
    auto added = add_record(*c, vec(4, 50), JsonValue(), std::string("b"), std::nullopt);
    EXPECT_TRUE(added);
    EXPECT_TRUE(flush_pending(*c));
  });
  ASSERT_TRUE(r) << r.error().render();

  EXPECT_EQ(committed_record(*c, "a")->state, RecordState::Tombstone);
  // The slots of the deleted "a" and of the replaced "b" were the batch's: freed at its end,
  // so the new "b" took a fresh slot.
  EXPECT_EQ(memory_freelist(*c), (std::vector<uint64_t>{0, 1}));
  EXPECT_EQ(committed_record(*c, "b")->slot, 3u);
  EXPECT_EQ(slot_floats(*c, 3), vec(4, 50));
  EXPECT_EQ(committed_record(*c, "c")->state, RecordState::Active);
  EXPECT_EQ(live_count(*c), 2u);
  // The tombstoned record is removed by a later delete and stays gone.
  ASSERT_TRUE(delete_record(*c, "a", 0));
  EXPECT_FALSE(committed_record(*c, "a"));
}

TEST(UuidGeneratorTest, HandsOutDistinctVersion4Uuids) {
  UuidGenerator g;
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {  // several blocks of random bytes
    std::string id = g.next();
    ASSERT_EQ(id.size(), 36u);
    EXPECT_EQ(id[14], '4') << id;
    EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
    seen.insert(std::move(id));
  }
  EXPECT_EQ(seen.size(), 1000u);
}

// A big batch while four threads add single records: every acknowledged id is stored
// exactly once, in a slot no other record names, holding its own vector.
TEST_F(BatchInsertTest, BigBatchInterleavedWithSingleAddsKeepsEveryRecordInItsOwnSlot) {
  constexpr uint64_t kDims = 8;
  constexpr size_t kBatch = 50000;
  auto c = open(make_config(kDims));
  ASSERT_TRUE(c);

  // After each of its first two phases the batch waits until every adder has added since,
  // so single adds land between its commits however the threads are scheduled.
  struct Meet {
    std::mutex mu;
    std::condition_variable added;
    std::vector<uint64_t> adds = std::vector<uint64_t>(4, 0);
    bool timed_out = false;
  } meet;
  TEST_set_batch_phase_hook(
      [](int, void* arg) {
        auto* m = static_cast<Meet*>(arg);
        std::unique_lock lk(m->mu);
        const std::vector<uint64_t> before = m->adds;
        auto all_moved = [&] {
          for (size_t t = 0; t < before.size(); ++t) {
            if (m->adds[t] == before[t]) return false;
          }
          return true;
        };
        // A guard against a hang, never a speed bound.
        if (!m->added.wait_for(lk, std::chrono::seconds(300), all_moved)) m->timed_out = true;
      },
      &meet);

  std::atomic<bool> batch_done{false};
  std::vector<std::map<std::string, uint64_t>> added(4);  // id -> seed, per thread
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (uint64_t i = 0; !batch_done.load() || i < 200; ++i) {
        const uint64_t seed = 1000000 * (t + 1) + i;
        auto r = add_record(*c, vec(kDims, seed), JsonValue(), std::nullopt, std::nullopt);
        ASSERT_TRUE(r) << r.error().render();
        added[t][*r] = seed;
        std::lock_guard lk(meet.mu);
        ++meet.adds[t];
        meet.added.notify_all();
      }
    });
  }
  const Batch b = seeded(kDims, kBatch);
  auto ids = add_batch_records(*c, b.input());
  TEST_set_batch_phase_hook(nullptr, nullptr);
  batch_done.store(true);
  for (std::thread& th : threads) th.join();
  ASSERT_TRUE(ids) << ids.error().render();
  EXPECT_FALSE(meet.timed_out);
  ASSERT_TRUE(flush_pending(*c));

  std::map<std::string, uint64_t> want;  // id -> seed
  for (size_t i = 0; i < kBatch; ++i) want[(*ids)[i]] = i;
  size_t singles = 0;
  for (const auto& m : added) {
    singles += m.size();
    want.insert(m.begin(), m.end());
  }
  ASSERT_EQ(want.size(), kBatch + singles);  // no id was handed out twice

  const std::vector<Record> stored = committed_records(*c);
  EXPECT_EQ(stored.size(), want.size());
  std::set<uint64_t> slots;
  for (const Record& r : stored) {
    auto it = want.find(r.id);
    ASSERT_NE(it, want.end()) << r.id;
    EXPECT_EQ(r.state, RecordState::Active);
    EXPECT_TRUE(slots.insert(r.slot).second) << "slot " << r.slot << " named twice";
    EXPECT_EQ(slot_floats(*c, r.slot), vec(kDims, it->second)) << r.id;
  }
  EXPECT_EQ(live_count(*c), want.size());
}

}  // namespace
}  // namespace tornquil::testing
