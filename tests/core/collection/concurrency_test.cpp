// Many threads on one collection: adds, deletes (of buffered and committed records, the
// same id sometimes twice at once) and counts, then a reopen that must find every
// acknowledged, undeleted record exactly once, in a slot of its own, with its own vector.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <random>
#include <set>

#include "../turns.hpp"
#include "base/json_read.hpp"
#include "collection/compact.hpp"
#include "collection/search.hpp"
#include "collection_fixture.hpp"
#include "search/exact.hpp"

namespace tornquil::testing {
namespace {

using ConcurrencyTest = CollectionTest;

constexpr uint64_t kDims = 8;

uint64_t seed_of(int thread, uint64_t i) { return static_cast<uint64_t>(thread) * 1000000 + i; }

// Deletes the way a user's delete does: the buffered copy first, else the committed record.
bool delete_one(Collection& c, const std::string& id) {
  auto d = delete_by_id(c, id);
  EXPECT_TRUE(d) << d.error().render();
  return d && *d;
}

TEST_F(ConcurrencyTest, AddsDeletesAndCountsKeepEveryAcknowledgedRecord) {
  auto c = open(make_config(kDims));
  ASSERT_TRUE(c);

  std::mutex mu;
  std::map<std::string, uint64_t> acknowledged;  // id -> seed of its vector
  std::vector<std::string> recent;               // ids deleters pick from
  std::set<std::string> deleted;

  // Fixed work: each turn of a thread meets a turn of every other.
  constexpr uint64_t kTurns = 40;
  std::vector<TurnWorker> workers;
  for (int t = 0; t < 4; ++t) {
    workers.push_back({kTurns, [&, t](uint64_t turn) {
                         for (uint64_t i = turn * 25; i < (turn + 1) * 25; ++i) {
                           const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
                           auto r = add_record(*c, vec(kDims, seed_of(t, i)), JsonValue(), id,
                                               std::nullopt);
                           ASSERT_TRUE(r) << r.error().render();
                           std::lock_guard lk(mu);
                           acknowledged[id] = seed_of(t, i);
                           recent.push_back(id);
                         }
                       }});
  }
  for (int t = 0; t < 2; ++t) {
    workers.push_back({kTurns, [&, rng = std::mt19937(t)](uint64_t) mutable {
                         for (int k = 0; k < 5; ++k) {
                           std::string id;
                           {
                             std::lock_guard lk(mu);
                             if (recent.empty()) return;
                             // Among the newest few, so that both deleters sometimes pick the
                             // same id and buffered as well as committed records are deleted.
                             const size_t window = std::min<size_t>(recent.size(), 8);
                             id = recent[recent.size() - 1 - rng() % window];
                           }
                           if (delete_one(*c, id)) {
                             std::lock_guard lk(mu);
                             deleted.insert(id);
                           }
                         }
                       }});
  }
  for (int t = 0; t < 2; ++t) {
    workers.push_back({kTurns, [&](uint64_t) {
                         auto n = record_count(*c);
                         ASSERT_TRUE(n) << n.error().render();
                       }});
  }
  run_turns(workers);
  ASSERT_FALSE(HasFatalFailure());
  // From their second turn on, the deleters follow adds.
  ASSERT_GT(deleted.size(), 0u);

  // The last reference flushes what is still buffered.
  c.reset();
  c = open(make_config(kDims));
  ASSERT_TRUE(c);

  std::set<std::string> expected;
  for (const auto& [id, seed] : acknowledged) {
    if (!deleted.count(id)) expected.insert(id);
  }
  std::set<std::string> found;
  std::set<uint64_t> used_slots;
  for (const Record& r : committed_records(*c)) {
    EXPECT_TRUE(found.insert(r.id).second) << r.id;
    EXPECT_TRUE(used_slots.insert(r.slot).second) << "slot " << r.slot << " shared";
    ASSERT_TRUE(acknowledged.count(r.id)) << r.id;
    EXPECT_EQ(slot_floats(*c, r.slot), vec(kDims, acknowledged[r.id])) << r.id;
  }
  EXPECT_EQ(found, expected);

  // No slot is both used and free, and none is free twice.
  std::set<uint64_t> free_slots;
  for (uint64_t s : memory_freelist(*c)) {
    EXPECT_TRUE(free_slots.insert(s).second) << "slot " << s << " free twice";
    EXPECT_FALSE(used_slots.count(s)) << "slot " << s << " free and used";
  }
}

// A batch inserter (ids that repeat from batch to batch, half of them with TTL 0: Pending and
// already expired while their batch runs), a compactor and an adder side by side: every
// Active record's slot holds the vector its writer gave it, and every slot is named by one
// record or stands once on the free list.
TEST_F(ConcurrencyTest, BatchesCompactionAndAddsKeepEveryVectorAndSlot) {
  auto c = open(make_config(kDims));
  ASSERT_TRUE(c);
  // The seed of a vector is recorded in its metadata, so each record says what it holds.
  auto meta = [](uint64_t seed) { return "{\"s\":" + std::to_string(seed) + "}"; };

  std::mt19937_64 batch_rng(1), add_rng(2);
  uint64_t compacted = 0;
  constexpr uint64_t kTurns = 12;
  const std::vector<TurnWorker> workers = {
      {kTurns,
       [&](uint64_t turn) {
         Batch b;
         b.ids.emplace();
         b.ttls.emplace();
         for (int i = 0; i < 200; ++i) {
           const uint64_t seed = (turn + 1) * 1000 + i;
           b.row(vec(kDims, seed), meta(seed));
           b.ids->push_back("b" + std::to_string(batch_rng() % 1500));
           b.ttls->push_back(batch_rng() % 2 ? std::optional<uint64_t>(0) : std::nullopt);
         }
         auto r = add_batch_records(*c, b.input());
         ASSERT_TRUE(r) << r.error().render();
       }},
      {kTurns,
       [&](uint64_t) {
         auto r = compact_collection(*c);
         ASSERT_TRUE(r) << r.error().render();
         compacted += r->expired_removed + r->tombstones_removed;
       }},
      {kTurns,
       [&](uint64_t turn) {
         for (uint64_t seed = (1u << 30) + turn * 100; seed < (1u << 30) + (turn + 1) * 100;
              ++seed) {
           auto r = add_record(*c, vec(kDims, seed), parse_metadata_text(meta(seed)),
                               "a" + std::to_string(add_rng() % 1000), std::nullopt);
           ASSERT_TRUE(r) << r.error().render();
         }
       }},
  };
  run_turns(workers);
  ASSERT_FALSE(HasFatalFailure());
  // From its second turn on, each compaction follows a batch, whose expired records only
  // compaction removes.
  EXPECT_GT(compacted, 0u);
  ASSERT_TRUE(sync_collection(*c));

  for (int pass = 0; pass < 2; ++pass) {
    std::set<uint64_t> named;
    size_t active = 0;
    for (const Record& r : committed_records(*c)) {
      EXPECT_TRUE(named.insert(r.slot).second) << "slot " << r.slot << " named twice";
      if (r.state != RecordState::Active) continue;
      ++active;
      const uint64_t seed = std::stoull(r.metadata.substr(5, r.metadata.size() - 6));
      EXPECT_EQ(slot_floats(*c, r.slot), vec(kDims, seed)) << r.id << " in slot " << r.slot;
    }
    EXPECT_GT(active, 500u);
    std::set<uint64_t> free;
    for (uint64_t s : memory_freelist(*c)) {
      EXPECT_TRUE(free.insert(s).second) << "slot " << s << " free twice";
      EXPECT_FALSE(named.contains(s)) << "slot " << s << " named and free";
    }
    // The stored list holds the same slots; concurrent pushes may have ordered them apart.
    std::optional<std::vector<uint64_t>> stored = stored_freelist(*c);
    ASSERT_TRUE(stored);
    EXPECT_EQ(std::set<uint64_t>(stored->begin(), stored->end()), free);
    EXPECT_EQ(named.size() + free.size(), slot_count(*c));
    ASSERT_TRUE(compact_collection(*c));
  }
}

// Four threads search while one writes every kind of commit. Records written before the
// threads start are never touched, and each search for one of their vectors must find it
// first, filtered or not, on whichever road the search takes; when the writer is done, the
// columns that followed its commits give exactly the walk's hits.
TEST_F(ConcurrencyTest, FourSearchesBesideOneWriterFindWhatStaysAndEndOnTheWalksHits) {
  auto c = open(make_config(kDims));
  ASSERT_TRUE(c);
  constexpr uint64_t kStable = 300;
  for (uint64_t i = 0; i < kStable; ++i) {
    ASSERT_TRUE(
        add_record(*c, vec(kDims, i), JsonValue(), "s" + std::to_string(i), std::nullopt, false));
  }
  ASSERT_TRUE(flush_pending(*c));
  // The searchers run until the writer is done; each round of the writer waits until every
  // searcher has searched since the last one.
  std::vector<TurnWorker> workers;
  workers.push_back(
      {40, [&](uint64_t round) {
         const uint64_t base = 1000 + round * 20;
         for (uint64_t j = 0; j < 5; ++j) {
           ASSERT_TRUE(add_record(*c, vec(kDims, base + j), JsonValue(),
                                  "w" + std::to_string(base + j), std::nullopt, false));
         }
         ASSERT_TRUE(flush_pending(*c));
         Batch b;
         b.ids.emplace();
         for (uint64_t j = 5; j < 10; ++j) {
           b.row(vec(kDims, base + j));
           b.ids->push_back("w" + std::to_string(base + j));
         }
         ASSERT_TRUE(add_batch_records(*c, b.input()));
         ASSERT_TRUE(upsert_record(*c, "w" + std::to_string(base + 1), vec(kDims, base + 11),
                                   JsonValue(), std::nullopt, false));
         ASSERT_TRUE(delete_by_id(*c, "w" + std::to_string(base + 2)));
       }});
  for (int t = 0; t < 4; ++t) {
    workers.push_back({std::nullopt, [&, t, rng = std::mt19937(t)](uint64_t) mutable {
                         const std::optional<MetadataFilter> everything = MetadataFilter{};
                         const uint64_t i = rng() % kStable;
                         auto hits = search_collection(*c, vec(kDims, i), 3,
                                                       t % 2 ? everything : std::nullopt);
                         ASSERT_TRUE(hits) << hits.error().render();
                         ASSERT_FALSE(hits->empty());
                         EXPECT_EQ((*hits)[0].id, "s" + std::to_string(i));
                         EXPECT_EQ((*hits)[0].score, 0.0f);
                       }});
  }
  const std::vector<uint64_t> turns = run_turns(workers);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(turns[0], 40u);

  for (uint64_t i = 0; i < kStable; i += 37) {
    auto got = search_collection(*c, vec(kDims, i), 50, std::nullopt);
    ASSERT_TRUE(got);
    std::shared_lock lk(c->slots.vectors_lock);
    auto walked =
        scan_committed(*c->meta, c->slots.vectors, Metric::L2, vec(kDims, i), 50, std::nullopt);
    ASSERT_TRUE(walked);
    ASSERT_EQ(got->size(), walked->size());
    for (size_t j = 0; j < got->size(); ++j) {
      EXPECT_EQ((*got)[j].id, (*walked)[j].id);
      EXPECT_EQ((*got)[j].score, (*walked)[j].score);
    }
  }
}

}  // namespace
}  // namespace tornquil::testing
