// The finite-vector test shared by add, upsert, the batch insert, the import and search.
#include "collection/vector_check.hpp"

#include <cmath>
#include <cstring>
#include <string>

namespace tornquil {

namespace {

// Elements looked at together: a block without an early exit lets the compiler test them
// in vector registers, and a vector of any length stops within one block of its first fault.
constexpr size_t kBlock = 16;
constexpr uint32_t kExponentBits = 0x7F800000;  // all ones: an infinity or a NaN

bool non_finite(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof(bits));
  return (bits & kExponentBits) == kExponentBits;
}

CoreError refusal(std::string prefix, std::span<const float> v, size_t at) {
  const float f = v[at];
  const char* what = std::isnan(f) ? "NaN" : (f > 0 ? "inf" : "-inf");
  return CoreError::invalid_input(std::move(prefix) + "element " + std::to_string(at) +
                                  " is not finite (" + what + ")");
}

}  // namespace

std::optional<size_t> first_non_finite(std::span<const float> v) {
  const float* p = v.data();
  const size_t n = v.size();
  size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    bool any = false;
    for (size_t j = 0; j < kBlock; ++j) any |= non_finite(p[i + j]);
    if (any) break;
  }
  for (; i < n; ++i) {
    if (non_finite(p[i])) return i;
  }
  return std::nullopt;
}

Result<void> check_storable_vector(std::span<const float> v, std::optional<uint64_t> row) {
  const std::optional<size_t> at = first_non_finite(v);
  if (!at) return {};
  std::string prefix = "vector ";
  if (row) prefix += std::to_string(*row) + " ";
  return std::unexpected(refusal(std::move(prefix), v, *at));
}

Result<void> check_query_vector(std::span<const float> v) {
  const std::optional<size_t> at = first_non_finite(v);
  if (!at) return {};
  return std::unexpected(refusal("query vector ", v, *at));
}

}  // namespace tornquil
