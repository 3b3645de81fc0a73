// The one walk over the live committed records of table "records" that the index code
// builds on: the open counts them and checks them against a loaded index in it, the index
// refresh lists them.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "base/error.hpp"
#include "storage/kv_store.hpp"
#include "storage/records.hpp"

namespace tornquil {

// Calls visit(const RecordView&) for every live record, in key order, and answers how many
// there were. The views point into the store's pages and are valid only during the call.
// A missing table visits nothing. Database for a failure of the table or the iteration,
// the Serialization error of decode_record_view for a value that does not decode.
template <class Visit>
Result<uint64_t> for_each_live_record(ReadTxn& txn, Visit&& visit) {
  TQ_ASSIGN(Cursor cur, txn.cursor(kRecordsTable));
  uint64_t live = 0;
  std::string_view key, value;
  for (;;) {
    TQ_ASSIGN(const bool more, cur.next(key, value));
    if (!more) break;
    TQ_ASSIGN(const RecordView r, decode_record_view(value));
    if (!is_live(r)) continue;
    ++live;
    visit(r);
  }
  return live;
}

}  // namespace tornquil
