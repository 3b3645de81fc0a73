// Cost of one metadata filter test on a stored text, as the exact scan pays it per
// candidate: in place, and through a full parse for comparison.
#include <benchmark/benchmark.h>

#include <string>

#include "base/json_read.hpp"
#include "search/filter.hpp"

namespace tornquil {
namespace {

// About 100 bytes, the size of typical agent-memory metadata.
const std::string kMetadata =
    R"({"channel":"slack","importance":0.82,"kind":"observation","session":"s-20931",)"
    R"("tags":["ops","db"],"turn":17})";

MetadataFilter filter_of(const char* where) {
  auto v = parse_json(where);
  if (!v) std::abort();
  return parse_where_filter(*v);
}

void BM_FilterTextString(benchmark::State& state) {
  MetadataFilter f = filter_of(R"({"kind":"observation"})");
  for (auto _ : state) benchmark::DoNotOptimize(matches_filter_text(f, kMetadata));
}
BENCHMARK(BM_FilterTextString);

void BM_FilterTextRange(benchmark::State& state) {
  MetadataFilter f = filter_of(R"({"importance":{"$gte":0.5}})");
  for (auto _ : state) benchmark::DoNotOptimize(matches_filter_text(f, kMetadata));
}
BENCHMARK(BM_FilterTextRange);

void BM_FilterParsed(benchmark::State& state) {
  MetadataFilter f = filter_of(R"({"kind":"observation"})");
  for (auto _ : state) {
    benchmark::DoNotOptimize(matches_filter(f, parse_metadata_text(kMetadata)));
  }
}
BENCHMARK(BM_FilterParsed);

}  // namespace
}  // namespace tornquil

BENCHMARK_MAIN();
