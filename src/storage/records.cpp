// The record table: encoding, decoding and the table operations.
#include "storage/records.hpp"

#include "base/codec.hpp"

namespace tornquil {

Record to_record(const RecordView& v) {
  return {std::string(v.id), v.slot, std::string(v.metadata), v.created_at, v.expires_at, v.state};
}

Result<void> check_record_id(std::string_view id) {
  if (id.size() <= kMaxKeyBytes) return {};
  return std::unexpected(CoreError::invalid_input(
      "Record id is too long: " + std::to_string(id.size()) + " bytes (at most 510)"));
}

void encode_record_into(const RecordView& r, std::string& out) {
  out.clear();
  out.reserve(37 + r.id.size() + r.metadata.size() + (r.expires_at ? 8 : 0));
  Writer w(out);
  w.text(r.id);
  w.u64(r.slot);
  w.text(r.metadata);
  w.u64(r.created_at);
  w.opt_u64(r.expires_at);
  w.u32(static_cast<uint32_t>(r.state));
}

std::string encode_record(const RecordView& r) {
  std::string out;
  encode_record_into(r, out);
  return out;
}

Result<RecordView> decode_record_view(std::string_view bytes) {
  Reader r(bytes);
  RecordView v;
  TQ_ASSIGN(v.id, r.text_view());
  TQ_ASSIGN(v.slot, r.u64());
  TQ_ASSIGN(v.metadata, r.text_view());
  TQ_ASSIGN(v.created_at, r.u64());
  TQ_ASSIGN(v.expires_at, r.opt_u64());
  TQ_ASSIGN(uint32_t state, r.variant(3));
  v.state = static_cast<RecordState>(state);
  return v;
}

Result<Record> decode_record(std::string_view bytes) {
  TQ_ASSIGN(RecordView v, decode_record_view(bytes));
  return to_record(v);
}

Result<ReadTxn> begin_read_txn(KvStore& store) { return store.begin_read(); }

Result<WriteTxn> begin_write_txn(KvStore& store) { return store.begin_write(); }

Result<void> put_record(WriteTxn& txn, const Record& record) {
  TQ_TRY(check_record_id(record.id));
  return txn.put(kRecordsTable, record.id, encode_record(record));
}

Result<std::optional<RecordView>> get_record_view(ReadTxn& txn, std::string_view id) {
  TQ_ASSIGN(std::optional<std::string_view> value, txn.get(kRecordsTable, id));
  if (!value) return std::optional<RecordView>{};
  TQ_ASSIGN(RecordView view, decode_record_view(*value));
  return std::optional<RecordView>{view};
}

Result<std::optional<Record>> get_record(ReadTxn& txn, std::string_view id) {
  TQ_ASSIGN(std::optional<RecordView> view, get_record_view(txn, id));
  if (!view) return std::optional<Record>{};
  return std::optional<Record>{to_record(*view)};
}

Result<uint64_t> count_live_records(ReadTxn& txn) {
  TQ_ASSIGN(Cursor cur, txn.cursor(kRecordsTable));
  uint64_t live = 0;
  std::string_view key, value;
  for (;;) {
    TQ_ASSIGN(bool more, cur.next(key, value));
    if (!more) break;
    TQ_ASSIGN(RecordView v, decode_record_view(value));
    if (is_live(v)) ++live;
  }
  return live;
}

Result<std::optional<uint64_t>> highest_record_slot(ReadTxn& txn) {
  TQ_ASSIGN(Cursor cur, txn.cursor(kRecordsTable));
  std::optional<uint64_t> highest;
  std::string_view key, value;
  for (;;) {
    TQ_ASSIGN(bool more, cur.next(key, value));
    if (!more) break;
    Reader r(value);
    if (!r.text_view()) continue;
    Result<uint64_t> slot = r.u64();
    if (slot && (!highest || *slot > *highest)) highest = *slot;
  }
  return highest;
}

Result<bool> set_record_state(KvStore& store, WriteTxn& txn, std::string_view id,
                              RecordState state) {
  std::optional<Record> found;
  {
    TQ_ASSIGN(ReadTxn committed, begin_read_txn(store));
    TQ_ASSIGN(found, get_record(committed, id));
  }
  if (!found) return false;
  found->state = state;
  TQ_TRY(put_record(txn, *found));
  return true;
}

Result<bool> remove_record(WriteTxn& txn, std::string_view id) {
  return txn.remove(kRecordsTable, id);
}

bool is_live(const RecordView& r) {
  if (r.state != RecordState::Active) return false;
  if (!r.expires_at) return true;
  return now_unix_secs() < *r.expires_at;
}

}  // namespace tornquil
