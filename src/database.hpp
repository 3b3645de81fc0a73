// The Python class Tornquil: the database handle. Its instance layout and type object.
//
// A handle owns the database path, the open and exclusively locked registry (the root
// meta.redb), a cache of the collections opened through it and the recovery counters.
//
// Thread safety: every method runs with the GIL held for its whole call. The cache has its
// own reader-writer lock besides, taken with no other lock of the system held and never
// across a registry transaction or a collection open; `sync` takes the collections' locks
// inside it.
#pragma once

#include <Python.h>

#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "collection/collection.hpp"
#include "results.hpp"
#include "storage/kv_store.hpp"

namespace tornquil {

struct DatabaseHandle {
  std::string path;                   // as given to the constructor
  std::unique_ptr<KvStore> registry;  // open and locked for the handle's life
  std::shared_mutex cache_lock;
  // Collections opened through this handle, by name (byte for byte). Guarded by cache_lock.
  std::unordered_map<std::string, std::shared_ptr<Collection>> open_collections;
  RecoveryStatsData recovery;  // set to zero at construction, never changed
};

// Instance layout of Tornquil. `handle` is null only while construction has not finished.
struct TornquilObject {
  PyObject ob_base;
  DatabaseHandle* handle;
};

// The type object, created on first need and kept for the life of the process. Borrowed
// reference, or nullptr with a Python exception set. GIL held.
PyTypeObject* tornquil_type();

}  // namespace tornquil
