// Small value types shared by every layer: the distance metric and the stored record state.
#pragma once

#include <cstdint>
#include <string_view>

namespace tornquil {

// Stored as a u32 index; one byte in memory.
enum class Metric : uint8_t { Cosine = 0, Dot = 1, L2 = 2 };

// Stored as a u32 index; one byte in memory.
enum class RecordState : uint8_t { Active = 0, Pending = 1, Tombstone = 2 };

// The capitalised debug names, used in the message that refuses a second metric.
constexpr std::string_view metric_debug_name(Metric m) {
  switch (m) {
    case Metric::Cosine: return "Cosine";
    case Metric::Dot: return "Dot";
    case Metric::L2: return "L2";
  }
  return "?";
}

// The lower-case names Python and NDJSON see.
constexpr std::string_view metric_name(Metric m) {
  switch (m) {
    case Metric::Cosine: return "cosine";
    case Metric::Dot: return "dot";
    case Metric::L2: return "l2";
  }
  return "?";
}

}  // namespace tornquil
