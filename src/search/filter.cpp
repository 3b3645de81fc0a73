// Parsing of `where_` filters and their evaluation, on a parsed metadata value and in place
// on a stored metadata text. Both evaluations share one set of condition rules.
#include "search/filter.hpp"

#include <cstring>
#include <optional>

namespace tornquil {
namespace {

// order() of two values that have no order between them.
constexpr int kUnordered = 2;

// An object counts as an operator object when one of its keys begins with "$".
bool is_operator_object(const JsonValue& v) {
  if (!v.is_object()) return false;
  for (const JsonMember& m : v.object_members()) {
    if (!m.key.empty() && m.key[0] == '$') return true;
  }
  return false;
}

std::optional<FilterOp> operator_of(std::string_view key) {
  if (key == "$eq") return FilterOp::Eq;
  if (key == "$ne") return FilterOp::Ne;
  if (key == "$gt") return FilterOp::Gt;
  if (key == "$gte") return FilterOp::Gte;
  if (key == "$lt") return FilterOp::Lt;
  if (key == "$lte") return FilterOp::Lte;
  if (key == "$in") return FilterOp::In;
  if (key == "$nin") return FilterOp::Nin;
  return std::nullopt;
}

int sign(int c) { return (c > 0) - (c < 0); }

// Strings by their bytes, numbers of any kinds as doubles; nothing else orders.
int order_values(const JsonValue& v, const JsonValue& x) {
  if (v.is_string() && x.is_string()) return sign(v.string_value().compare(x.string_value()));
  if (v.is_number() && x.is_number()) {
    double a = v.number_as_double();
    double b = x.number_as_double();
    return a < b ? -1 : (a > b ? 1 : 0);
  }
  return kUnordered;
}

// A field value already parsed.
struct TreeValue {
  const JsonValue& v;

  bool equals(const JsonValue& x) const { return v == x; }
  int order(const JsonValue& x) const { return order_values(v, x); }
};

// A field value as the raw text of a validated metadata text. Strings are compared in place;
// null, booleans and numbers are read into a value, which needs no allocation; arrays and
// objects are built only when compared with an operand of their own kind.
class RawValue {
 public:
  explicit RawValue(std::string_view raw) : raw_(raw) {
    switch (raw.front()) {
      case '"': {
        std::string_view content = raw.substr(1, raw.size() - 2);
        bool escaped = std::memchr(content.data(), '\\', content.size()) != nullptr;
        string_ = JsonRawString{content, escaped};
        kind_ = JsonKind::String;
        break;
      }
      case '[':
        kind_ = JsonKind::Array;
        break;
      case '{':
        kind_ = JsonKind::Object;
        break;
      default:
        scalar_ = parse_metadata_text(raw);
        kind_ = scalar_.kind();
    }
  }

  bool equals(const JsonValue& x) const {
    switch (kind_) {
      case JsonKind::String:
        return x.is_string() && compare_json_string(string_, x.string_value()) == 0;
      case JsonKind::Array:
      case JsonKind::Object:
        if (x.kind() != kind_) return false;
        return built() == x;
      default:
        return scalar_ == x;
    }
  }

  int order(const JsonValue& x) const {
    switch (kind_) {
      case JsonKind::String:
        return x.is_string() ? compare_json_string(string_, x.string_value()) : kUnordered;
      case JsonKind::Array:
      case JsonKind::Object:
        return kUnordered;
      default:
        return order_values(scalar_, x);
    }
  }

 private:
  const JsonValue& built() const {
    if (!container_) container_ = parse_metadata_text(raw_);
    return *container_;
  }

  std::string_view raw_;
  JsonKind kind_ = JsonKind::Null;
  JsonRawString string_;
  JsonValue scalar_;
  mutable std::optional<JsonValue> container_;
};

template <class V>
bool holds(const FilterCondition& c, const V& v) {
  switch (c.op) {
    case FilterOp::Eq:
      return v.equals(c.operand);
    case FilterOp::Ne:
      return !v.equals(c.operand);
    case FilterOp::Gt: {
      int o = v.order(c.operand);
      return o != kUnordered && o > 0;
    }
    case FilterOp::Gte: {
      int o = v.order(c.operand);
      return o != kUnordered && o >= 0;
    }
    case FilterOp::Lt: {
      int o = v.order(c.operand);
      return o != kUnordered && o < 0;
    }
    case FilterOp::Lte: {
      int o = v.order(c.operand);
      return o != kUnordered && o <= 0;
    }
    case FilterOp::In:
      for (const JsonValue& x : c.operand.array_items()) {
        if (v.equals(x)) return true;
      }
      return false;
    case FilterOp::Nin:
      for (const JsonValue& x : c.operand.array_items()) {
        if (v.equals(x)) return false;
      }
      return true;
  }
  return false;
}

template <class V>
bool all_hold(const FieldFilter& f, const V& v) {
  for (const FilterCondition& c : f.conditions) {
    if (!holds(c, v)) return false;
  }
  return true;
}

// Filters naming more fields than this take the parsed road of matches_filter_text.
constexpr size_t kInPlaceFields = 16;

// Index of the field filter named by a raw key, or `fields.size()` when none is.
size_t field_index(const std::vector<FieldFilter>& fields, const JsonRawString& key) {
  if (!key.escaped && fields.size() <= 4) {
    // Most filters name a field or two: a plain key is compared as it stands.
    for (size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].field == key.raw) return i;
    }
    return fields.size();
  }
  size_t lo = 0;
  size_t hi = fields.size();
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = compare_json_string(key, fields[mid].field);
    if (c == 0) return mid;
    if (c < 0) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return fields.size();
}

}  // namespace

MetadataFilter parse_where_filter(const JsonValue& where) {
  MetadataFilter filter;
  if (!where.is_object()) return filter;
  for (const JsonMember& entry : where.object_members()) {
    FieldFilter field{entry.key, {}};
    if (!is_operator_object(entry.value)) {
      field.conditions.push_back(FilterCondition{FilterOp::Eq, entry.value});
    } else {
      for (const JsonMember& op : entry.value.object_members()) {
        std::optional<FilterOp> which = operator_of(op.key);
        if (!which) continue;
        if ((*which == FilterOp::In || *which == FilterOp::Nin) && !op.value.is_array()) continue;
        field.conditions.push_back(FilterCondition{*which, op.value});
      }
    }
    if (!field.conditions.empty()) filter.fields.push_back(std::move(field));
  }
  return filter;
}

bool matches_filter(const MetadataFilter& filter, const JsonValue& metadata) {
  if (filter.empty()) return true;
  if (!metadata.is_object() || metadata.object_members().empty()) return false;
  for (const FieldFilter& f : filter.fields) {
    const JsonValue* v = metadata.find(f.field);
    if (!v || !all_hold(f, TreeValue{*v})) return false;
  }
  return true;
}

bool matches_filter_text(const MetadataFilter& filter, std::string_view text) {
  if (filter.empty()) return true;
  if (filter.fields.size() > kInPlaceFields) {
    return matches_filter(filter, parse_metadata_text(text));
  }
  // Text that is not an object fails a non-empty filter whether it is valid or not.
  JsonObjectWalker walker(text);
  if (!walker.is_object()) return false;
  // A repeated key keeps its last value, and an invalid text reads as null, so nothing is
  // decided before the whole text has been walked.
  struct Span {
    const char* data;
    size_t size;
  };
  Span values[kInPlaceFields];  // values[i] is set when bit i of `present` is
  uint32_t present = 0;
  JsonRawString key;
  std::string_view value;
  while (walker.next(key, value)) {
    size_t i = field_index(filter.fields, key);
    if (i < filter.fields.size()) {
      values[i] = Span{value.data(), value.size()};
      present |= 1u << i;
    }
  }
  if (!walker.valid()) return false;
  for (size_t i = 0; i < filter.fields.size(); ++i) {
    if (!(present >> i & 1) ||
        !all_hold(filter.fields[i], RawValue({values[i].data, values[i].size})))
      return false;
  }
  return true;
}

bool is_plain_object_text(std::string_view text) {
  JsonObjectWalker walker(text);
  if (!walker.is_object()) return false;
  JsonRawString key;
  std::string_view value;
  std::string_view last;
  bool first = true;
  while (walker.next(key, value)) {
    if (key.escaped || (!first && !(last < key.raw))) return false;
    last = key.raw;
    first = false;
  }
  return walker.valid();
}

namespace {

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

const char* skip_space(const char* p, const char* end) {
  while (p < end && is_json_space(*p)) ++p;
  return p;
}

// Past the string that starts at p (on its opening quote).
const char* skip_string(const char* p, const char* end) {
  for (++p; p < end && *p != '"'; ++p) {
    if (*p == '\\') ++p;
  }
  return p < end ? p + 1 : end;
}

// Past the value that starts at p, in a text known to be valid.
const char* skip_value(const char* p, const char* end) {
  if (p >= end) return end;
  if (*p == '"') return skip_string(p, end);
  if (*p == '{' || *p == '[') {
    int depth = 0;
    while (p < end) {
      const char c = *p;
      if (c == '"') {
        p = skip_string(p, end);
        continue;
      }
      ++p;
      if (c == '{' || c == '[') ++depth;
      if ((c == '}' || c == ']') && --depth == 0) return p;
    }
    return end;
  }
  while (p < end && *p != ',' && *p != '}' && *p != ']' && !is_json_space(*p)) ++p;
  return p;
}

}  // namespace

bool matches_plain_object_text(const MetadataFilter& filter, std::string_view text) {
  if (filter.empty()) return true;
  const std::vector<FieldFilter>& fields = filter.fields;
  const char* p = skip_space(text.data(), text.data() + text.size());
  const char* const end = text.data() + text.size();
  if (p >= end || *p != '{') return false;
  ++p;
  // Keys and fields both ascend: a field that sorts before the key at hand is missing.
  size_t f = 0;
  while (true) {
    p = skip_space(p, end);
    if (p >= end || *p != '"') return false;  // '}': the fields left are missing
    const char* key_start = p + 1;
    p = skip_string(p, end);
    const std::string_view key(key_start, static_cast<size_t>(p - 1 - key_start));
    p = skip_space(p, end);
    if (p >= end) return false;
    p = skip_space(p + 1, end);  // the colon
    const char* value_start = p;
    p = skip_value(p, end);
    if (f < fields.size() && fields[f].field < key) return false;
    if (f < fields.size() && fields[f].field == key) {
      if (p == value_start ||
          !all_hold(fields[f], RawValue({value_start, static_cast<size_t>(p - value_start)}))) {
        return false;
      }
      if (++f == fields.size()) return true;
    }
    p = skip_space(p, end);
    if (p >= end || *p != ',') return false;
    ++p;
  }
}

}  // namespace tornquil
