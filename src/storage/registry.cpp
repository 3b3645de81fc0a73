// The collection registry: configuration encoding and the four registry operations.
#include "storage/registry.hpp"

#include "base/codec.hpp"

namespace tornquil {

std::string encode_collection_config(const CollectionConfig& c) {
  std::string out;
  out.reserve(29 + c.name.size() + (c.hnsw ? kHnswConfigBytes : 0));
  Writer w(out);
  w.text(c.name);
  w.u64(c.dimensions);
  w.u32(static_cast<uint32_t>(c.metric));
  w.u64(c.created_at);
  w.u8(c.hnsw ? 1 : 0);
  if (c.hnsw) encode_hnsw_config(w, *c.hnsw);
  return out;
}

Result<CollectionConfig> decode_collection_config(std::string_view bytes) {
  Reader r(bytes);
  CollectionConfig c;
  TQ_ASSIGN(c.name, r.text());
  TQ_ASSIGN(c.dimensions, r.u64());
  TQ_ASSIGN(uint32_t metric, r.variant(3));
  c.metric = static_cast<Metric>(metric);
  TQ_ASSIGN(c.created_at, r.u64());
  TQ_ASSIGN(bool has_hnsw, r.tag());
  if (has_hnsw) {
    TQ_ASSIGN(c.hnsw, decode_hnsw_config(r));
  }
  return c;
}

Result<std::optional<CollectionConfig>> get_collection_config(ReadTxn& txn, std::string_view name) {
  TQ_ASSIGN(std::optional<std::string_view> value, txn.get(kCollectionsTable, name));
  if (!value) return std::optional<CollectionConfig>{};
  TQ_ASSIGN(CollectionConfig c, decode_collection_config(*value));
  return std::optional<CollectionConfig>{std::move(c)};
}

Result<void> put_collection_config(WriteTxn& txn, const CollectionConfig& c) {
  return txn.put(kCollectionsTable, c.name, encode_collection_config(c));
}

Result<bool> delete_collection_config(WriteTxn& txn, std::string_view name) {
  return txn.remove(kCollectionsTable, name);
}

Result<std::vector<std::string>> list_collection_names(KvStore& registry) {
  TQ_ASSIGN(ReadTxn txn, registry.begin_read());
  TQ_ASSIGN(Cursor cur, txn.cursor(kCollectionsTable));
  std::vector<std::string> names;
  std::string_view key, value;
  for (;;) {
    TQ_ASSIGN(bool more, cur.next(key, value));
    if (!more) break;
    names.emplace_back(key);
  }
  return names;
}

}  // namespace tornquil
