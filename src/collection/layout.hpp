// The names of every file and directory the system keeps on disk, defined here once:
//
//   <database>/meta.redb                       the registry: table "collections"
//   <database>/collections/<name>/vectors.bin  a collection's vector file
//   <database>/collections/<name>/meta.redb    its store: tables "records" and "freelist"
//   <database>/collections/<name>/hnsw.index   its saved graph index, written by sync
//
// The key-value store keeps a lock file beside each store: <store> + kStoreLockSuffix.
#pragma once

#include <string>
#include <string_view>

#include "base/platform.hpp"

namespace tornquil {

constexpr const char* kVectorsFileName = "vectors.bin";
// Both the registry of a database and the store of each collection.
constexpr const char* kMetaFileName = "meta.redb";
constexpr const char* kIndexFileName = "hnsw.index";
constexpr const char* kCollectionsDirName = "collections";
constexpr const char* kStoreLockSuffix = "-lock";

// db_path / "collections" / name, the name joined as given: names that are not plain
// directory names are refused before they get here.
inline std::string collection_dir(const std::string& db_path, std::string_view name) {
  return platform::join_path(platform::join_path(db_path, kCollectionsDirName), std::string(name));
}

}  // namespace tornquil
