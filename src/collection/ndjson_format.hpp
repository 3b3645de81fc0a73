// The two line forms of an export file, UTF-8 text with one JSON value per line:
//
//   {"version":1,"collection":"notes","dimensions":3,"metric":"cosine","record_count":2,
//    "exported_at":1700000000}
//   {"id":"a","vector":[0.5,-0.0,1e-7],"metadata":{"k":1},"created_at":1700000000,"ttl":30}
//
// (each on one line): the header first, then one line per record. The writers lay each out
// exactly so, members in this order, no blank anywhere; a NaN or infinite element is written
// as null. The reader is a strict JSON parser that also accepts each line as an array of its
// values in the order above, takes members in any order, ignores extra keys and refuses
// repeated ones; its error texts end in " at line {} column {}".
//
// Thread safety: pure functions over caller-owned values.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_value.hpp"

namespace tornquil {

// The newest header version this reader understands.
constexpr uint32_t kExportVersion = 1;

struct ExportHeader {
  uint32_t version = kExportVersion;
  std::string collection;
  uint64_t dimensions = 0;
  std::string metric;
  uint64_t record_count = 0;
  uint64_t exported_at = 0;
};

struct ExportRecord {
  std::string id;
  std::vector<float> vector;
  JsonValue metadata;
  std::optional<uint64_t> created_at;
  std::optional<uint64_t> ttl;
};

// The lines without their LF, appended to `out`.
void write_export_header(const ExportHeader& h, std::string& out);
void write_export_record(std::string_view id, std::span<const float> vector,
                         const JsonValue& metadata, uint64_t created_at,
                         std::optional<uint64_t> ttl, std::string& out);

// The reader's text on failure, ending in " at line {} column {}".
std::expected<ExportHeader, std::string> parse_export_header(std::string_view text);
// Fills `out`, reusing its buffers.
std::expected<void, std::string> parse_export_record(std::string_view text, ExportRecord& out);

}  // namespace tornquil
