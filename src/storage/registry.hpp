// CollectionConfig: how a collection was created, kept one per name in table
// "collections" of the database's root store, and the registry operations on it.
//
// Value layout (little-endian; L = bytes of name):
//   offset  width  content
//        0      8  L, u64
//        8      L  name bytes
//    8 + L      8  dimensions, u64
//   16 + L      4  metric, u32: 0 Cosine, 1 Dot, 2 L2
//   20 + L      8  created_at, u64 Unix seconds
//   28 + L      1  hnsw tag: 0 absent, 1 present
//   29 + L     56  the HnswConfig (tag 1 only)
// 29 + L bytes without graph parameters, 85 + L with them; bytes after the last field
// are ignored when decoding.
//
// The registry takes no lock of its own: the store admits one write transaction at a
// time and any number of readers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/hnsw_config.hpp"
#include "base/types.hpp"
#include "storage/kv_store.hpp"

namespace tornquil {

constexpr const char* kCollectionsTable = "collections";

struct CollectionConfig {
  std::string name;
  uint64_t dimensions = 0;
  Metric metric = Metric::Cosine;
  uint64_t created_at = 0;
  std::optional<HnswConfig> hnsw;

  bool operator==(const CollectionConfig&) const = default;
};

// The exact stored bytes.
std::string encode_collection_config(const CollectionConfig& c);
// Serialization with the decoder's text for a malformed value.
Result<CollectionConfig> decode_collection_config(std::string_view bytes);

// The config stored under the name, or nullopt when there is none (or no table yet).
// The caller begins and ends the read transaction.
Result<std::optional<CollectionConfig>> get_collection_config(ReadTxn& txn, std::string_view name);

// Stores the config under its name, replacing any entry of that name. The caller commits.
Result<void> put_collection_config(WriteTxn& txn, const CollectionConfig& c);

// True when an entry was removed. The caller commits.
Result<bool> delete_collection_config(WriteTxn& txn, std::string_view name);

// Every registered name in ascending byte order, in a read transaction of its own. The
// values are not decoded, so a damaged entry is still listed.
Result<std::vector<std::string>> list_collection_names(KvStore& registry);

}  // namespace tornquil
