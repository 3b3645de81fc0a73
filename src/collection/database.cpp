// The database handle's core: directories, registry transactions, the cache of open
// collections and the name rule.
#include "collection/database.hpp"

#include <mutex>
#include <optional>
#include <utility>

#include "base/clock.hpp"
#include "base/platform.hpp"
#include "collection/layout.hpp"
#include "collection/live_collections.hpp"
#include "storage/registry.hpp"
#include "storage/store_check.hpp"
#include "storage/vector_file.hpp"

namespace tornquil {

namespace {

// Why `name` is refused, or nullopt when it is usable.
std::optional<std::string> invalid_name_reason(std::string_view name) {
  if (name.empty()) return "the name is empty";
  if (name == "." || name == "..") return "'.' and '..' are not allowed";
  if (name.find('/') != std::string_view::npos || name.find('\\') != std::string_view::npos) {
    return "the name contains a path separator";
  }
  if (name.find('\0') != std::string_view::npos) return "the name contains a NUL character";
  if (name.size() > kMaxCollectionNameBytes) {
    return "the name is " + std::to_string(name.size()) + " bytes long (at most 255)";
  }
  return std::nullopt;
}

// A requested (dim, metric) against a collection's configuration: dimensions first, then the
// metric by its debug names.
Result<void> check_config(const CollectionConfig& config, uint64_t dim, Metric metric) {
  TQ_TRY(check_dimensions(config.dimensions, dim));
  if (config.metric != metric) {
    std::string text = "Collection '";
    text.append(config.name)
        .append("' exists with metric ")
        .append(metric_debug_name(config.metric))
        .append(", not ")
        .append(metric_debug_name(metric));
    return std::unexpected(CoreError::collection_exists(std::move(text)));
  }
  return {};
}

// The directories below `collections` that hold a vector file: collections that were
// created, whatever the registry says of them.
Result<uint64_t> count_collection_dirs(const std::string& collections) {
  TQ_ASSIGN(std::vector<std::string> names, platform::list_dir(collections));
  uint64_t n = 0;
  for (const std::string& name : names) {
    const std::string vectors =
        platform::join_path(platform::join_path(collections, name), kVectorsFileName);
    TQ_ASSIGN(const bool exists, platform::path_exists(vectors));
    n += exists ? 1 : 0;
  }
  return n;
}

}  // namespace

Result<void> check_collection_name(std::string_view name) {
  std::optional<std::string> why = invalid_name_reason(name);
  if (!why) return {};
  std::string text = "Invalid collection name '";
  text.append(name).append("': ").append(*why);
  return std::unexpected(CoreError::invalid_input(std::move(text)));
}

Result<void> check_collection_dimensions(uint64_t dim) { return validate_dimensions(dim); }

Database::Database(std::string path, std::unique_ptr<KvStore> registry)
    : path_(std::move(path)), registry_(std::move(registry)) {}

Database::~Database() {
  registry_.reset();
  open_collections_.clear();
}

Result<std::unique_ptr<Database>> Database::open(std::string path) {
  TQ_TRY(platform::create_dir_all(path));
  const std::string collections = platform::join_path(path, kCollectionsDirName);
  TQ_TRY(platform::create_dir_all(collections));
  const std::string registry_path = platform::join_path(path, kMetaFileName);
  TQ_ASSIGN(const uint64_t stored, count_collection_dirs(collections));
  TQ_TRY(check_store_not_emptied(
      registry_path,
      stored == 0 ? std::string()
                  : std::string(kCollectionsDirName) + "/ holds " + std::to_string(stored) +
                        (stored == 1 ? " collection directory" : " collection directories")));
  TQ_ASSIGN(std::unique_ptr<KvStore> registry, KvStore::open(registry_path));
  return std::unique_ptr<Database>(new Database(std::move(path), std::move(registry)));
}

std::shared_ptr<Collection> Database::cached(std::string_view name) {
  std::shared_lock lk(cache_lock_);
  auto it = open_collections_.find(std::string(name));
  return it == open_collections_.end() ? nullptr : it->second;
}

void Database::cache_insert(const std::string& name, const std::shared_ptr<Collection>& c) {
  std::shared_ptr<Collection> replaced;  // released after the lock, it may be the last one
  {
    std::unique_lock lk(cache_lock_);
    std::shared_ptr<Collection>& slot = open_collections_[name];
    replaced = std::exchange(slot, c);
  }
}

Result<std::optional<CollectionConfig>> Database::lookup_config(std::string_view name) {
  TQ_ASSIGN(ReadTxn txn, begin_read_txn(*registry_));
  return get_collection_config(txn, name);
}

Result<std::shared_ptr<Collection>> Database::open_and_cache(CollectionConfig config) {
  const std::string name = config.name;
  TQ_ASSIGN(std::shared_ptr<Collection> c,
            open_collection(collection_dir(path_, name), std::move(config)));
  cache_insert(name, c);
  return c;
}

Result<std::shared_ptr<Collection>> Database::open_or_create(std::string_view name, uint64_t dim,
                                                             Metric metric) {
  TQ_TRY(check_collection_dimensions(dim));
  TQ_TRY(check_collection_name(name));
  if (std::shared_ptr<Collection> c = cached(name)) {
    TQ_TRY(check_config(c->config, dim, metric));
    return c;
  }
  TQ_ASSIGN(std::optional<CollectionConfig> stored, lookup_config(name));
  if (stored) {
    TQ_TRY(check_config(*stored, dim, metric));
    return open_and_cache(std::move(*stored));
  }
  CollectionConfig config;
  config.name = std::string(name);
  config.dimensions = dim;
  config.metric = metric;
  config.created_at = now_unix_secs();
  {
    TQ_ASSIGN(WriteTxn txn, begin_write_txn(*registry_));
    TQ_TRY(put_collection_config(txn, config));
    TQ_TRY(txn.commit());
  }
  return open_and_cache(std::move(config));
}

Result<std::shared_ptr<Collection>> Database::get(std::string_view name) {
  TQ_TRY(check_collection_name(name));
  if (std::shared_ptr<Collection> c = cached(name)) return c;
  TQ_ASSIGN(std::optional<CollectionConfig> stored, lookup_config(name));
  if (!stored) return std::unexpected(CoreError::collection_not_found(std::string(name)));
  return open_and_cache(std::move(*stored));
}

Result<void> Database::drop(std::string_view name) {
  TQ_TRY(check_collection_name(name));
  // Released when the call ends, after the drop is marked (or failed): it may be the last
  // reference, whose release flush must not write into a dropped collection.
  std::shared_ptr<Collection> removed;
  {
    std::unique_lock lk(cache_lock_);
    auto it = open_collections_.find(std::string(name));
    if (it != open_collections_.end()) {
      removed = std::move(it->second);
      open_collections_.erase(it);
    }
  }

  TQ_ASSIGN(std::optional<CollectionConfig> stored, lookup_config(name));
  if (!stored) return {};
  const std::string dir = collection_dir(path_, name);
  // The directory's identity, taken while it still exists: the collections open on it may
  // have reached it through other spellings of the path. Taken before the name goes, like
  // everything here that needs memory, so that running out of it leaves the name
  // registered and the drop can be tried again.
  Result<std::optional<platform::FileId>> dir_id = platform::file_id(dir);
  {
    TQ_ASSIGN(WriteTxn txn, begin_write_txn(*registry_));
    TQ_TRY(delete_collection_config(txn, name));
    TQ_TRY(txn.commit());
  }
  // Every collection still open on the directory, through any handle or Python object,
  // refuses work from now on: what it wrote would go to files about to be removed, or into
  // a collection created again under the name.
  mark_collections_dropped(dir_id ? *dir_id : std::nullopt, dir);
  removed.reset();
  // A directory whose metadata cannot be read is left alone.
  if (dir_id && *dir_id) TQ_TRY(platform::remove_dir_all(dir));
  return {};
}

Result<std::vector<std::string>> Database::collection_names() {
  return list_collection_names(*registry_);
}

Result<void> Database::sync() {
  std::shared_lock lk(cache_lock_);
  for (auto& [name, c] : open_collections_) TQ_TRY(sync_collection(*c));
  return {};
}

}  // namespace tornquil
