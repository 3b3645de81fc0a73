// Record: the stored form of one committed record in table "records" of a collection's
// store, its byte encoding, and the operations every other layer reads and writes the
// table through. They keep no state and take no lock; the caller owns the transaction
// and decides when it commits.
//
// Value layout (little-endian; L1 = bytes of id, L2 = bytes of metadata):
//   offset            width  content
//        0                8  L1, u64
//        8               L1  id bytes
//   8 + L1                8  slot, u64
//  16 + L1                8  L2, u64
//  24 + L1               L2  metadata bytes (compact JSON text, never parsed here)
//  24 + L1 + L2           8  created_at, u64 Unix seconds
//  32 + L1 + L2           1  expiry tag: 0 absent, 1 present
//  33 + L1 + L2           8  expires_at, u64 (tag 1 only)
//  33/41 + L1 + L2        4  state, u32: 0 Active, 1 Pending, 2 Tombstone
// 37 + L1 + L2 bytes without an expiry, 45 + L1 + L2 with one; bytes after the state are
// ignored when decoding.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/clock.hpp"  // is_live reads the wall clock, as do the callers of expiry
#include "base/error.hpp"
#include "base/types.hpp"
#include "storage/kv_store.hpp"

namespace tornquil {

constexpr const char* kRecordsTable = "records";

struct Record {
  std::string id;
  uint64_t slot = 0;
  std::string metadata;
  uint64_t created_at = 0;
  std::optional<uint64_t> expires_at;
  RecordState state = RecordState::Active;

  bool operator==(const Record&) const = default;
};

// A decoded record whose texts view the bytes it was decoded from (for a stored value,
// valid until its transaction ends). Scans use it so that only hits are copied.
struct RecordView {
  std::string_view id;
  uint64_t slot = 0;
  std::string_view metadata;
  uint64_t created_at = 0;
  std::optional<uint64_t> expires_at;
  RecordState state = RecordState::Active;
};

inline RecordView as_view(const Record& r) {
  return {r.id, r.slot, r.metadata, r.created_at, r.expires_at, r.state};
}
Record to_record(const RecordView& v);

// InvalidInput "Record id is too long: {} bytes (at most 510)" for an id the store cannot
// hold as a key. Writers refuse such ids before anything changes.
Result<void> check_record_id(std::string_view id);

// The exact stored bytes.
std::string encode_record(const RecordView& r);
// The same bytes in place of out's contents, reusing its room.
void encode_record_into(const RecordView& r, std::string& out);
inline std::string encode_record(const Record& r) { return encode_record(as_view(r)); }

// Serialization with the decoder's text for a malformed value.
Result<RecordView> decode_record_view(std::string_view bytes);
Result<Record> decode_record(std::string_view bytes);

// Transaction with the store's text when the store refuses.
Result<ReadTxn> begin_read_txn(KvStore& store);
// Waits while another write transaction of the store is live.
Result<WriteTxn> begin_write_txn(KvStore& store);

// Stores the record under its id, replacing any value there. InvalidInput for an id that
// is too long; Database when the store fails.
Result<void> put_record(WriteTxn& txn, const Record& record);

// The record under the id in any state, expired or not; nullopt when absent (an id too
// long to be stored is absent).
Result<std::optional<Record>> get_record(ReadTxn& txn, std::string_view id);
// The same as a view into the store's pages, valid until the transaction ends.
Result<std::optional<RecordView>> get_record_view(ReadTxn& txn, std::string_view id);

// Records that are live now. Decodes every value; the first malformed one fails the count.
Result<uint64_t> count_live_records(ReadTxn& txn);

// The highest vector slot that a stored record names, in any state; nullopt for an empty
// table. Reads only each value's id and slot; a value too short to hold them names no
// slot (every read of it fails anyway).
Result<std::optional<uint64_t>> highest_record_slot(ReadTxn& txn);

// Rewrites the committed record's state into `txn`. The record is looked up in a read
// transaction of its own, so a record put in `txn` but not yet committed is not found:
// false, and nothing changes.
Result<bool> set_record_state(KvStore& store, WriteTxn& txn, std::string_view id,
                              RecordState state);

// True when an entry was removed. Opening the table creates it when missing.
Result<bool> remove_record(WriteTxn& txn, std::string_view id);

// The expiry of a record created at `created_at` with an optional time-to-live: the sum,
// saturated at 2^64 - 1 (a time that never comes), so that a huge ttl cannot wrap into the
// past; nullopt without a ttl. Every writer of new records computes expires_at here.
constexpr std::optional<uint64_t> expiry_for(uint64_t created_at, std::optional<uint64_t> ttl) {
  if (!ttl) return std::nullopt;
  uint64_t sum;
  if (__builtin_add_overflow(created_at, *ttl, &sum)) return UINT64_MAX;
  return sum;
}

// Active, and either without expiry or the clock still below expires_at. The clock is
// read only for a record that has an expiry.
bool is_live(const RecordView& r);
inline bool is_live(const Record& r) { return is_live(as_view(r)); }

}  // namespace tornquil
