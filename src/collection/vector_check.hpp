// The test every new vector passes before a write takes a slot for it: its stored form must
// not begin with a NaN, since a slot whose first float is a NaN reads as deleted. Such a
// record would be counted but never found, a write reported as success that is lost.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "base/error.hpp"
#include "base/types.hpp"

namespace tornquil {

// InvalidInput "vector cannot be stored: its stored form would begin with NaN" when the
// vector prepared for `metric` would begin with a NaN; a batch names the vector's row
// ("vector 3 cannot be stored: ..."). Allocates nothing on success.
Result<void> check_storable_vector(Metric metric, std::span<const float> vector,
                                   std::optional<uint64_t> row = std::nullopt);

}  // namespace tornquil
