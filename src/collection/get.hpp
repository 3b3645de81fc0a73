// get_by_id: one record of a collection by its id, as `get` answers it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace tornquil {

class Collection;

// A record found by id: its id and its metadata as compact JSON text.
struct FoundRecord {
  std::string id;
  std::string metadata;
};

// The live record of `id`, as its newest copy shows it: the newest buffered copy when there
// is one (its text as buffered; nullopt when it has expired), else the committed record when
// it is live and its slot still holds a vector (its stored text
// parsed and written out again by the compact writer; text that is not JSON gives "null").
// nullopt for an id too long to be stored, an absent, expired, Pending or Tombstone record,
// and a slot that carries the deleted marker. Errors: those of the read transaction and of
// decoding the stored value, and NotFound "Slot {} not allocated" for a committed record
// whose slot the vector file does not hold; CollectionNotFound once the collection was
// dropped. The caller holds no lock of the collection.
Result<std::optional<FoundRecord>> get_by_id(Collection& c, std::string_view id);

}  // namespace tornquil
