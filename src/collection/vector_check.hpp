// The test every vector passes before it is written or searched for: each element must be
// finite. A NaN scores NaN against everything and so is never found, an infinity turns
// into NaN as soon as it is scored or normalised, and neither can be written back out
// (an export writes null there, which no import reads). Finite extremes (±FLT_MAX,
// subnormals) pass: they are stored and read back exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/error.hpp"

namespace tornquil {

// The index of the first NaN or infinite element, nullopt when every element is finite.
// Allocates nothing; cheap enough to run on every add.
std::optional<size_t> first_non_finite(std::span<const float> v);

// InvalidInput "vector element {i} is not finite ({NaN|inf|-inf})" for the first such
// element; a batch names the vector's row ("vector 3 element 0 is not finite (NaN)").
// Allocates nothing on success.
Result<void> check_storable_vector(std::span<const float> v,
                                   std::optional<uint64_t> row = std::nullopt);

// The same test for the query of a search: InvalidInput "query vector element {i} is not
// finite (...)".
Result<void> check_query_vector(std::span<const float> v);

}  // namespace tornquil
