// The cost of the structural check of a store file at open, for record tables of 10,000,
// 100,000 and 1,000,000 records of the real record encoding, written in flushes of 10,000
// records, in two shapes:
//   uuid: random ids like generated UUIDs and about 100 bytes of metadata; every flush
//         rewrites pages all over the table, so the file holds many free pages;
//   seq:  sequential ids and a few bytes of metadata; the table grows at its end and the
//         file stays compact (about 100 MB at 1,000,000 records).
//
// Prints, per size: the file size, the check alone (best and median of 20 runs, file in
// the page cache) and a whole KvStore::open, which runs the check, for comparison.
// Usage: bench_store_check [directory]   (default: a directory under /tmp; stores already
// there are reused)
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/platform.hpp"
#include "storage/kv_store.hpp"
#include "storage/records.hpp"
#include "storage/store_check.hpp"

namespace tornquil {
namespace {

[[noreturn]] void die(const char* what, const CoreError& e) {
  std::fprintf(stderr, "%s: %s\n", what, e.render().c_str());
  std::exit(1);
}

std::string random_id(std::mt19937_64& rng) {
  static const char kHex[] = "0123456789abcdef";
  std::string id(36, '-');
  for (size_t i = 0; i < id.size(); ++i) {
    if (i != 8 && i != 13 && i != 18 && i != 23) id[i] = kHex[rng() & 15];
  }
  return id;
}

void build(const std::string& path, size_t records, bool uuid) {
  auto store = KvStore::open(path);
  if (!store) die("open", store.error());
  std::mt19937_64 rng(42);
  constexpr size_t kFlush = 10000;
  for (size_t done = 0; done < records; done += kFlush) {
    auto w = begin_write_txn(**store);
    if (!w) die("begin", w.error());
    for (size_t i = done; i < std::min(records, done + kFlush); ++i) {
      Record r;
      r.slot = i;
      if (uuid) {
        r.id = random_id(rng);
        r.metadata = "{\"source\":\"bench\",\"topic\":\"t" + std::to_string(i % 97) +
                     "\",\"text\":\"" + std::string(48, static_cast<char>('a' + i % 26)) + "\"}";
      } else {
        char id[32];
        std::snprintf(id, sizeof(id), "rec-%07zu", i);
        r.id = id;
        r.metadata = "{\"n\":" + std::to_string(i % 1000) + "}";
      }
      r.created_at = 1700000000 + i;
      if (auto p = put_record(*w, r); !p) die("put", p.error());
    }
    if (auto c = w->commit(); !c) die("commit", c.error());
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void measure(const std::string& dir, size_t records, bool uuid) {
  const std::string path = platform::join_path(
      dir, std::string(uuid ? "uuid-" : "seq-") + std::to_string(records) + ".redb");
  if (!std::filesystem::exists(path)) build(path, records, uuid);
  auto file = platform::File::open(path, platform::File::Mode::ReadOnly);
  if (!file) die("open file", file.error());
  auto len = file->length();
  std::vector<double> check_ms, open_ms;
  for (int run = 0; run < 20; ++run) {
    uint64_t t0 = platform::monotonic_ns();
    if (auto c = check_store_file(*file, path); !c) die("check", c.error());
    check_ms.push_back((platform::monotonic_ns() - t0) / 1e6);
  }
  file->close();
  for (int run = 0; run < 5; ++run) {
    uint64_t t0 = platform::monotonic_ns();
    auto store = KvStore::open(path);
    if (!store) die("reopen", store.error());
    open_ms.push_back((platform::monotonic_ns() - t0) / 1e6);
  }
  std::printf(
      "%s %9zu records  %7.1f MB  check best %7.2f ms  median %7.2f ms  open median %7.2f ms\n",
      uuid ? "uuid" : "seq ", records, static_cast<double>(*len) / 1e6,
      *std::min_element(check_ms.begin(), check_ms.end()), median(check_ms), median(open_ms));
  std::fflush(stdout);
}

}  // namespace
}  // namespace tornquil

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : "/tmp/tornquil-bench-store-check";
  if (auto d = tornquil::platform::create_dir_all(dir); !d) tornquil::die("mkdir", d.error());
  for (bool uuid : {false, true}) {
    for (size_t n : {size_t{10000}, size_t{100000}, size_t{1000000}}) {
      tornquil::measure(dir, n, uuid);
    }
  }
  return 0;
}
