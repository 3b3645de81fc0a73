// The value type's constructors that normalise (non-finite floats, repeated and unsorted
// keys), its lookup and its structural equality.
#include "base/json_value.hpp"

#include <algorithm>
#include <cmath>

namespace tornquil {

JsonValue JsonValue::from_double(double v) {
  if (!std::isfinite(v)) return JsonValue();  // written as null by the compact writer too
  return JsonValue(v);
}

JsonValue JsonValue::from_object(Object members) {
  auto by_key = [](const JsonMember& a, const JsonMember& b) { return a.key < b.key; };
  auto strictly = [](const JsonMember& a, const JsonMember& b) { return !(a.key < b.key); };
  if (std::adjacent_find(members.begin(), members.end(), strictly) != members.end()) {
    std::stable_sort(members.begin(), members.end(), by_key);
    // Equal keys now stand together in text order: keep the last of each run.
    size_t kept = 0;
    for (size_t i = 0; i < members.size(); ++i) {
      if (i + 1 < members.size() && members[i + 1].key == members[i].key) continue;
      if (kept != i) members[kept] = std::move(members[i]);
      ++kept;
    }
    members.erase(members.begin() + static_cast<std::ptrdiff_t>(kept), members.end());
  }
  return JsonValue(std::move(members));
}

double JsonValue::number_as_double() const {
  switch (kind()) {
    case JsonKind::UInt:
      return static_cast<double>(uint_value());
    case JsonKind::Int:
      return static_cast<double>(int_value());
    case JsonKind::Float:
      return float_value();
    default:
      fatal("JSON value read as a number");
  }
}

const JsonValue* JsonValue::find(std::string_view key) const {
  const Object* members = std::get_if<Object>(&v_);
  if (!members) return nullptr;
  auto it = std::lower_bound(members->begin(), members->end(), key,
                             [](const JsonMember& m, std::string_view k) { return m.key < k; });
  if (it == members->end() || it->key != key) return nullptr;
  return &it->value;
}

bool operator==(const JsonMember& a, const JsonMember& b) {
  return a.key == b.key && a.value == b.value;
}

bool operator==(const JsonValue& a, const JsonValue& b) { return a.v_ == b.v_; }

}  // namespace tornquil
