// The storable-vector test shared by add, upsert and the batch insert.
#include "collection/vector_check.hpp"

#include <string>

#include "search/distance.hpp"

namespace tornquil {

Result<void> check_storable_vector(Metric metric, std::span<const float> vector,
                                   std::optional<uint64_t> row) {
  if (!prepared_head_is_nan(metric, vector)) return {};
  std::string text = "vector ";
  if (row) text += std::to_string(*row) + " ";
  text += "cannot be stored: its stored form would begin with NaN";
  return std::unexpected(CoreError::invalid_input(std::move(text)));
}

}  // namespace tornquil
