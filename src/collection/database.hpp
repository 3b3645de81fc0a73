// Database: the core of a database handle. It owns the database directory's registry (the
// root meta.redb, open and exclusively locked for the handle's life), a cache of the
// collections opened through it, and the rules for collection names and directories.
//
// Thread safety: every member may be called from any number of threads. The cache has its
// own reader-writer lock, taken with no other lock of the system held and never across a
// registry transaction or a collection open; sync() takes the collections' locks inside it.
// Destruction closes the registry first, so its lock is free before any collection goes,
// then releases the cached collections.
#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.hpp"
#include "base/platform.hpp"
#include "base/types.hpp"
#include "collection/collection.hpp"
#include "collection/stats.hpp"
#include "storage/kv_store.hpp"

namespace tornquil {

// A collection's name is one directory name; file systems hold at most this many bytes.
constexpr size_t kMaxCollectionNameBytes = 255;

// InvalidInput "Invalid collection name '{}': {reason}" when `name` cannot be the directory
// of a collection of its own: empty, "." or "..", a path separator or NUL anywhere, or more
// than 255 bytes. The empty name and "." would put the collection's files into the
// collections directory itself, ".." into the database directory (its store would be the
// registry file), and a separator anywhere else; dropping it would then remove that other
// directory.
Result<void> check_collection_name(std::string_view name);

// The dimension rule of a collection: InvalidInput "Dimensions must be greater than 0" for
// 0, DimensionsTooLarge above the vector file's maximum.
Result<void> check_collection_dimensions(uint64_t dim);

class Database {
 public:
  // Creates the database directory and its collections directory when missing and opens the
  // registry. Errors: those of creating the directories and of opening the store, among them
  // "Database already open. Cannot acquire lock." while another handle holds it.
  static Result<std::unique_ptr<Database>> open(std::string path);

  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  const std::string& path() const { return path_; }
  const RecoveryStatsData& recovery() const { return recovery_; }

  // The collection `name` with `dim` dimensions and `metric`: the cached one, else the
  // registered one opened and cached, else a new one registered (committed before the open:
  // a failed open leaves the name registered, and the next request finds it there), opened
  // and cached. The dimensions and the name are checked first, in that order; a registered
  // collection of other dimensions gives DimensionMismatch, one of another metric
  // CollectionExists "Collection '{}' exists with metric {}, not {}".
  Result<std::shared_ptr<Collection>> open_or_create(std::string_view name, uint64_t dim,
                                                     Metric metric);

  // The cached or registered collection `name`; CollectionNotFound when none is registered.
  Result<std::shared_ptr<Collection>> get(std::string_view name);

  // Forgets the cached collection (its last release closes it), unregisters the name, marks
  // every collection still open on its directory as dropped, whatever spelling of the path
  // opened it (each then refuses work and writes nothing, its release flush included), and
  // removes the directory. A name that is
  // not registered changes nothing and succeeds.
  Result<void> drop(std::string_view name);

  // Every registered name in ascending byte order.
  Result<std::vector<std::string>> collection_names();

  // Syncs every cached collection, in no fixed order; the first failure stops it.
  Result<void> sync();

 private:
  Database(std::string path, std::unique_ptr<KvStore> registry);

  std::shared_ptr<Collection> cached(std::string_view name);
  void cache_insert(const std::string& name, const std::shared_ptr<Collection>& c);
  Result<std::optional<CollectionConfig>> lookup_config(std::string_view name);
  Result<std::shared_ptr<Collection>> open_and_cache(CollectionConfig config);

  const std::string path_;             // as given to open
  std::unique_ptr<KvStore> registry_;  // open and locked for the handle's life
  RecoveryStatsData recovery_;         // zero at open, never changed
  platform::RwLock cache_lock_;
  // Collections opened through this handle, by name (byte for byte). Guarded by cache_lock_.
  std::unordered_map<std::string, std::shared_ptr<Collection>> open_collections_;
};

}  // namespace tornquil
