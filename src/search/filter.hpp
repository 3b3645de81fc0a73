// The metadata filter of a search: its parsed form, the parse from the `where_` JSON value
// and the test of one record's metadata against it. Top-level fields only, implicit
// equality, eight comparison operators, and a logical AND of everything.
//
// A filter is built once per search and only read afterwards, so scans share it by
// reference among worker threads; every function here is pure and takes no lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_read.hpp"

namespace tornquil {

enum class FilterOp : uint8_t { Eq, Ne, Gt, Gte, Lt, Lte, In, Nin };

// One operator with its operand; for In and Nin the operand is the array of values.
struct FilterCondition {
  FilterOp op;
  JsonValue operand;
};

// One top-level metadata key, taken literally (a dot is an ordinary character), with the
// conditions that must all hold for its value, in ascending byte order of their operator
// keys. Never without conditions.
struct FieldFilter {
  std::string field;
  std::vector<FilterCondition> conditions;
};

// All field filters must hold; in ascending byte order of their field names. The search
// keeps it optional: an absent filter and a present empty one accept the same records, but
// the search treats them differently.
struct MetadataFilter {
  std::vector<FieldFilter> fields;

  bool empty() const { return fields.empty(); }
};

// Never fails: what it does not understand it leaves out (unknown operators, "$in"/"$nin"
// with a non-array operand, keys without "$" inside an operator object), and a field left
// without conditions constrains nothing. A `where` that is not an object gives no fields.
MetadataFilter parse_where_filter(const JsonValue& where);

// An empty filter accepts everything; otherwise the metadata must be a non-empty object
// that has every named field, each value meeting all its conditions.
bool matches_filter(const MetadataFilter& filter, const JsonValue& metadata);

// The same answer as matches_filter(filter, parse_metadata_text(text)), read from the stored
// text in place: the top-level members are walked and validated without being built, and
// only the named values are compared. Allocates nothing unless a condition compares an array
// or object value with an array or object operand, or the filter names more than 16 fields.
bool matches_filter_text(const MetadataFilter& filter, std::string_view text);

// Whether the text is one valid JSON object whose keys hold no escapes and stand in strictly
// ascending byte order: the form the compact writer gives every stored metadata text. Such a
// text can be tested by matches_plain_object_text, which reads no further than the last
// field the filter names.
bool is_plain_object_text(std::string_view text);

// matches_filter_text's answer for a text that is_plain_object_text accepts. The text is
// read as it stands, without validating it again; any other text gives an answer of no
// meaning (never a read outside it).
bool matches_plain_object_text(const MetadataFilter& filter, std::string_view text);

}  // namespace tornquil
