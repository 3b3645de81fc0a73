// Reading one record by id: the write buffer, then the record table, then its slot.
#include "collection/get.hpp"

#include <cmath>
#include <shared_mutex>
#include <span>
#include <utility>

#include "base/json_read.hpp"
#include "base/json_write.hpp"
#include "collection/collection.hpp"
#include "storage/records.hpp"

namespace tornquil {

namespace {

enum class SlotState { Readable, Deleted, Missing };

// Whether a committed record's slot holds a vector. A slot the file does not hold (never
// allocated, or past the end of the mapping) is Missing: nothing outside the mapping is read.
SlotState slot_state(Collection& c, uint64_t slot) {
  std::shared_lock lk(c.slots.vectors_lock);
  std::span<const float> v = c.slots.vectors.slot_view(slot);
  if (v.empty()) return SlotState::Missing;
  return std::isnan(v[0]) ? SlotState::Deleted : SlotState::Readable;
}

}  // namespace

Result<std::optional<FoundRecord>> get_by_id(Collection& c, std::string_view id) {
  // An id too long to be a key was never stored, nor accepted into the buffer.
  if (!check_record_id(id)) return std::optional<FoundRecord>();

  TQ_TRY(check_not_dropped(c));
  // The newest buffered copy is the record: an older copy or the committed record it
  // replaces is never read, also when that newest copy has expired.
  BufferedCopy buffered = buffered_copy(c, id);
  if (buffered.found) {
    if (!buffered.live) return std::optional<FoundRecord>();
    return FoundRecord{std::string(id), std::move(buffered.metadata)};
  }

  std::optional<Record> found;
  {
    TQ_ASSIGN(ReadTxn txn, begin_read_txn(*c.meta));
    TQ_ASSIGN(found, get_record(txn, id));
  }
  if (!found || !is_live(*found)) return std::optional<FoundRecord>();
  switch (slot_state(c, found->slot)) {
    case SlotState::Missing:
      return std::unexpected(CoreError::slot_not_allocated(found->slot));
    case SlotState::Deleted:
      return std::optional<FoundRecord>();  // the deleted-slot marker
    case SlotState::Readable:
      break;
  }
  return FoundRecord{std::move(found->id), to_compact_json(parse_metadata_text(found->metadata))};
}

}  // namespace tornquil
