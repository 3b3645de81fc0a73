// Where the time of one batch insert goes: the engine's steps (checks, plan, the records
// encoded in key order, the Pending puts and their commit, the vectors, the flush, the
// Active rewrite and its commit) for a batch of n rows of 384 float32 into a fresh cosine
// collection, three-key metadata and generated ids; and, before that, the binding's
// conversion of the json.dumps texts of the same metadata into the compact text records
// store. Medians of a few runs. Last, the disk alone: the batch's vector bytes written into
// a new file beside the collections and made durable, the least that storing them can take.
//
// Usage: bench_batch_phases [n] [runs]   (defaults 100000 and 5)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/json_read.hpp"
#include "base/json_write.hpp"
#include "base/platform.hpp"
#include "collection/batch_insert.hpp"
#include "collection/collection.hpp"

namespace tq = tornquil;

namespace {

constexpr size_t kDims = 384;

double ms(uint64_t ns) { return static_cast<double>(ns) / 1e6; }

uint64_t median(std::vector<uint64_t> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// What json.dumps gives for the benchmark's dicts, in insertion order with its separators.
std::vector<std::string> dumps_texts(size_t n) {
  std::vector<std::string> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    out.push_back("{\"source\": \"chat\", \"turn\": " + std::to_string(i) + ", \"tag\": \"t" +
                  std::to_string(i % 10) + "\"}");
  }
  return out;
}

// The dumps texts as stored text through a parsed value.
uint64_t time_parse_write(const std::vector<std::string>& texts, std::vector<std::string>& out) {
  const uint64_t t0 = tq::platform::monotonic_ns();
  out.clear();
  out.reserve(texts.size());
  for (const std::string& t : texts) {
    auto v = tq::parse_json(t);
    if (!v) std::abort();
    out.push_back(tq::to_compact_json(*v));
  }
  return tq::platform::monotonic_ns() - t0;
}

// The same in one pass per text, the way the binding compacts each item of the one dumps
// text of a batch (on the worker pool there; here on one thread).
uint64_t time_compactor(const std::vector<std::string>& texts, std::vector<std::string>& out) {
  const uint64_t t0 = tq::platform::monotonic_ns();
  out.clear();
  out.reserve(texts.size());
  tq::JsonCompactor compactor;
  for (const std::string& t : texts) {
    std::string& stored = out.emplace_back();
    stored.reserve(t.size());
    if (!compactor.append(t, stored)) std::abort();
  }
  return tq::platform::monotonic_ns() - t0;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;

  std::mt19937_64 rng(42);
  std::normal_distribution<float> normal;
  std::vector<float> rows(n * kDims);
  for (float& x : rows) x = normal(rng);
  const std::vector<std::string> dumps = dumps_texts(n);

  std::vector<std::string> metadata, check;
  std::vector<uint64_t> parse_write, compactor;
  for (int r = 0; r < runs; ++r) {
    parse_write.push_back(time_parse_write(dumps, check));
    compactor.push_back(time_compactor(dumps, metadata));
  }
  if (check != metadata) std::abort();
  std::printf("batch of %zu x %zu float32, %d runs, medians\n", n, kDims, runs);
  std::printf("  dumps text -> stored text: parse, write %8.1f ms\n", ms(median(parse_write)));
  std::printf("  dumps text -> stored text: one pass     %8.1f ms\n", ms(median(compactor)));

  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("tq_batch_phases_" + std::to_string(getpid()));
  std::filesystem::create_directories(root);
  tq::BatchStepTimes t;
  tq::TEST_set_batch_step_times(&t);
  std::vector<std::vector<uint64_t>> steps(10);
  for (int r = 0; r < runs; ++r) {
    tq::CollectionConfig config;
    char name[24];
    std::snprintf(name, sizeof name, "c%d", r);
    config.name = name;
    config.dimensions = kDims;
    auto c = tq::open_collection((root / config.name).string(), config);
    if (!c) {
      std::fprintf(stderr, "%s\n", c.error().render().c_str());
      return 1;
    }
    tq::BatchInput in;
    in.vectors =
        tq::BatchRows::float32_matrix(rows.data(), n, kDims, kDims * sizeof(float), sizeof(float));
    in.metadata = metadata;
    const uint64_t t0 = tq::platform::monotonic_ns();
    auto ids = tq::add_batch_records(**c, in);
    const uint64_t total = tq::platform::monotonic_ns() - t0;
    if (!ids || ids->size() != n) {
      std::fprintf(stderr, "batch failed\n");
      return 1;
    }
    const uint64_t each[] = {t.check,   t.plan,  t.encode,   t.put,     t.commit1,
                             t.vectors, t.flush, t.activate, t.commit3, total};
    for (size_t s = 0; s < 10; ++s) steps[s].push_back(each[s]);
  }
  tq::TEST_set_batch_step_times(nullptr);
  const char* names[] = {"checks",
                         "plan (ids, slots, clock, order)",
                         "records encoded in key order",
                         "phase 1 puts",
                         "phase 1 commit",
                         "vectors",
                         "flush",
                         "phase 3 rewrite",
                         "phase 3 commit",
                         "engine total"};
  for (size_t s = 0; s < 10; ++s) {
    std::printf("  %-36s %8.1f ms\n", names[s], ms(median(steps[s])));
  }
  std::printf("  engine rate %.0f records/s\n", n / (median(steps[9]) / 1e9));

  // The same bytes in 1 MiB writes, then one sync, with writeback started after each write
  // as phase 2 does; a new file each run, so that no run rewrites cached pages.
  std::vector<uint64_t> disk;
  const size_t bytes = rows.size() * sizeof(float);
  for (int r = 0; r < runs; ++r) {
    auto f = tq::platform::File::open((root / ("disk" + std::to_string(r))).string(),
                                      tq::platform::File::Mode::CreateTruncate);
    if (!f) return 1;
    const uint64_t t0 = tq::platform::monotonic_ns();
    constexpr size_t kPiece = size_t{1} << 20;
    for (size_t at = 0; at < bytes; at += kPiece) {
      const size_t len = std::min(kPiece, bytes - at);
      if (!f->write_at(reinterpret_cast<const char*>(rows.data()) + at, len, at)) return 1;
      f->start_writeback(at, len);
    }
    if (!f->sync()) return 1;
    disk.push_back(tq::platform::monotonic_ns() - t0);
  }
  std::printf("  the disk alone: %.1f MB written and synced %8.1f ms\n", bytes / 1e6,
              ms(median(disk)));
  std::filesystem::remove_all(root);
  return 0;
}
