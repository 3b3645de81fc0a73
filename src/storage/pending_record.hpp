// PendingRecord: one entry of a collection's write buffer, a record not yet committed to
// table "records" together with its prepared vector, which is already in its slot.
#pragma once

#include <vector>

#include "storage/records.hpp"

namespace tornquil {

struct PendingRecord {
  // Always Active; its slot is allocated and off the free list.
  Record record;
  // The prepared vector, the same floats that were written into record.slot, kept so
  // that searches score buffered records without reading the vector file.
  std::vector<float> vector;
};

}  // namespace tornquil
