// The Python class Tornquil: type, docstring, constructor, the handle's methods and its
// release.
#include "database.hpp"

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "args.hpp"
#include "base/platform.hpp"
#include "collection_py.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "storage/records.hpp"
#include "storage/registry.hpp"
#include "storage/vector_file.hpp"

namespace tornquil {
namespace {

constexpr std::string_view kClassName = "Tornquil";
constexpr std::string_view kTextSignature = "(path)";
constexpr std::string_view kDocBody =
    "Tornquil vector database.\n\n"
    "A lightweight, serverless, single-file vector database for AI agent memory.";
constexpr const char* kRegistryFileName = "meta.redb";
constexpr const char* kCollectionsDirName = "collections";
// A collection's name is one directory name; file systems hold at most this many bytes.
constexpr size_t kMaxNameBytes = 255;

// The class docstring carries the constructor's text signature in the interpreter's form
// "Name(sig)\n--\n\nbody", which it splits into __text_signature__ and __doc__. Built once
// and kept (the type keeps a copy of its own). nullptr with ValueError for a NUL byte.
const char* class_doc() {
  static std::string doc;
  if (doc.empty()) {
    std::string text;
    text.append(kClassName).append(kTextSignature).append("\n--\n\n").append(kDocBody);
    if (text.find('\0') != std::string::npos) {
      PyErr_SetString(PyExc_ValueError, "class doc cannot contain nul bytes");
      return nullptr;
    }
    doc = std::move(text);
  }
  return doc.c_str();
}

DatabaseHandle& handle_of(PyObject* self) {
  return *reinterpret_cast<TornquilObject*>(self)->handle;
}

PyObject* unicode_from(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// ---- Collection names ----

// Why `name` cannot be the directory of a collection of its own, or nullopt when it can.
// The empty name and "." would put the collection's files into the collections directory
// itself, ".." into the database directory (its store would be the registry file), and a
// separator anywhere else; drop_collection would then remove that other directory.
std::optional<std::string> invalid_name_reason(std::string_view name) {
  if (name.empty()) return "the name is empty";
  if (name == "." || name == "..") return "'.' and '..' are not allowed";
  if (name.find('/') != std::string_view::npos || name.find('\\') != std::string_view::npos) {
    return "the name contains a path separator";
  }
  if (name.find('\0') != std::string_view::npos) return "the name contains a NUL character";
  if (name.size() > kMaxNameBytes) {
    return "the name is " + std::to_string(name.size()) + " bytes long (at most 255)";
  }
  return std::nullopt;
}

// Raises `exc_type` with "Invalid collection name '{}': {reason}" when the name is refused;
// false then, true for a usable name.
bool check_collection_name(PyObject* exc_type, std::string_view name) {
  std::optional<std::string> why = invalid_name_reason(name);
  if (!why) return true;
  std::string text = "Invalid collection name '";
  text.append(name).append("': ").append(*why);
  PyRef message = PyRef::steal(unicode_from(text));
  if (message) PyErr_SetObject(exc_type, message.get());
  return false;
}

// ---- Metric names ----

// The metric for a name: full Unicode lower-casing (str.lower, final sigma included), then
// an exact comparison. False with ValueError "Invalid metric '{}'. Expected: cosine, dot, l2"
// quoting the argument as given.
bool resolve_metric(PyObject* metric_obj, Metric* out) {
  PyRef lowered = PyRef::steal(
      PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", metric_obj));
  if (!lowered) return false;
  struct Name {
    const char* text;
    Metric metric;
  };
  static constexpr Name kNames[] = {{"cosine", Metric::Cosine},
                                    {"dot", Metric::Dot},
                                    {"l2", Metric::L2},
                                    {"euclidean", Metric::L2}};
  for (const Name& n : kNames) {
    if (PyUnicode_CompareWithASCIIString(lowered.get(), n.text) == 0) {
      *out = n.metric;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "Invalid metric '%U'. Expected: cosine, dot, l2", metric_obj);
  return false;
}

// A requested (dim, metric) against a collection's configuration: dimensions first, then the
// metric by its debug names.
Result<void> check_config(const CollectionConfig& config, uint64_t dim, Metric metric) {
  if (config.dimensions != dim) {
    return std::unexpected(CoreError::dimension_mismatch(config.dimensions, dim));
  }
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

// ---- Cache and registry ----

std::shared_ptr<Collection> cached(DatabaseHandle& h, std::string_view name) {
  std::shared_lock lk(h.cache_lock);
  auto it = h.open_collections.find(std::string(name));
  return it == h.open_collections.end() ? nullptr : it->second;
}

void cache_insert(DatabaseHandle& h, std::string_view name, const std::shared_ptr<Collection>& c) {
  std::shared_ptr<Collection> replaced;  // released after the lock, it may be the last one
  {
    std::unique_lock lk(h.cache_lock);
    std::shared_ptr<Collection>& slot = h.open_collections[std::string(name)];
    replaced = std::exchange(slot, c);
  }
}

Result<std::optional<CollectionConfig>> lookup_config(DatabaseHandle& h, std::string_view name) {
  TQ_ASSIGN(ReadTxn txn, begin_read_txn(*h.registry));
  return get_collection_config(txn, name);
}

// Opens the collection of a registered or just registered configuration and caches it.
Result<std::shared_ptr<Collection>> open_and_cache(DatabaseHandle& h, CollectionConfig config) {
  const std::string name = config.name;
  TQ_ASSIGN(std::shared_ptr<Collection> c,
            open_collection(collection_dir(h.path, name), std::move(config)));
  cache_insert(h, name, c);
  return c;
}

// The body of `collection` after its arguments are bound and checked.
Result<std::shared_ptr<Collection>> get_or_create(DatabaseHandle& h, std::string_view name,
                                                  uint64_t dim, Metric metric) {
  if (std::shared_ptr<Collection> c = cached(h, name)) {
    TQ_TRY(check_config(c->config, dim, metric));
    return c;
  }
  TQ_ASSIGN(std::optional<CollectionConfig> stored, lookup_config(h, name));
  if (stored) {
    TQ_TRY(check_config(*stored, dim, metric));
    return open_and_cache(h, std::move(*stored));
  }
  CollectionConfig config;
  config.name = std::string(name);
  config.dimensions = dim;
  config.metric = metric;
  config.created_at = now_unix_secs();
  {
    // Committed before the open: a failed open leaves the name registered, and the next
    // request finds it there.
    TQ_ASSIGN(WriteTxn txn, begin_write_txn(*h.registry));
    TQ_TRY(put_collection_config(txn, config));
    TQ_TRY(txn.commit());
  }
  return open_and_cache(h, std::move(config));
}

Result<std::shared_ptr<Collection>> get_existing(DatabaseHandle& h, std::string_view name) {
  if (std::shared_ptr<Collection> c = cached(h, name)) return c;
  TQ_ASSIGN(std::optional<CollectionConfig> stored, lookup_config(h, name));
  if (!stored) return std::unexpected(CoreError::collection_not_found(std::string(name)));
  return open_and_cache(h, std::move(*stored));
}

Result<void> drop(DatabaseHandle& h, std::string_view name) {
  std::shared_ptr<Collection> removed;  // released after the lock, it may be the last one
  {
    std::unique_lock lk(h.cache_lock);
    auto it = h.open_collections.find(std::string(name));
    if (it != h.open_collections.end()) {
      removed = std::move(it->second);
      h.open_collections.erase(it);
    }
  }
  removed.reset();

  TQ_ASSIGN(std::optional<CollectionConfig> stored, lookup_config(h, name));
  if (!stored) return {};
  {
    TQ_ASSIGN(WriteTxn txn, begin_write_txn(*h.registry));
    TQ_TRY(delete_collection_config(txn, name));
    TQ_TRY(txn.commit());
  }
  const std::string dir = collection_dir(h.path, name);
  Result<bool> exists = platform::path_exists(dir);
  if (exists && *exists) TQ_TRY(platform::remove_dir_all(dir));
  return {};
}

// ---- Methods ----

constexpr const char* kNameParam[] = {"name"};
constexpr const char* kCollectionParams[] = {"name", "dim", "metric"};
constexpr const char* kPathParam[] = {"path"};

constexpr ArgSpec kNewSpec = {"Tornquil.__new__()", kPathParam, 1, 1};
constexpr ArgSpec kCollectionSpec = {"Tornquil.collection()", kCollectionParams, 3, 2};
constexpr ArgSpec kGetCollectionSpec = {"Tornquil.get_collection()", kNameParam, 1, 1};
constexpr ArgSpec kDropCollectionSpec = {"Tornquil.drop_collection()", kNameParam, 1, 1};

Result<std::unique_ptr<KvStore>> open_database(const std::string& path) {
  TQ_TRY(platform::create_dir_all(path));
  TQ_TRY(platform::create_dir_all(platform::join_path(path, kCollectionsDirName)));
  return KvStore::open(platform::join_path(path, kRegistryFileName));
}

PyObject* tornquil_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[kMaxParams];
  if (!bind_tuple_dict(kNewSpec, args, kwargs, bound)) return nullptr;
  std::string_view path;
  if (!extract_text(bound[0], "path", &path)) return nullptr;

  Result<std::unique_ptr<KvStore>> registry = open_database(std::string(path));
  if (!registry) return raise_core_error(PyExc_OSError, registry.error());

  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* h = new DatabaseHandle;
  h->path = std::string(path);
  h->registry = std::move(*registry);
  reinterpret_cast<TornquilObject*>(self)->handle = h;
  return self;
}

// Heap-type dealloc. The registry closes first, so its lock is free before any collection
// goes; then the cached collections are released, each flushing its write buffer when this
// was its last reference.
void tornquil_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (DatabaseHandle* h = reinterpret_cast<TornquilObject*>(self)->handle) {
    h->registry.reset();
    h->open_collections.clear();
    delete h;
  }
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* tornquil_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_fastcall(kCollectionSpec, args, nargs, kwnames, bound)) return nullptr;
  std::string_view name, metric_text;
  uint64_t dim = 0;
  if (!extract_text(bound[0], "name", &name)) return nullptr;
  if (!extract_u64(bound[1], "dim", &dim)) return nullptr;
  Metric metric = Metric::Cosine;
  if (bound[2] != nullptr) {
    if (!extract_text(bound[2], "metric", &metric_text)) return nullptr;
    if (!resolve_metric(bound[2], &metric)) return nullptr;
  }
  if (Result<void> dims = validate_dimensions(dim); !dims) {
    return raise_core_error(PyExc_ValueError, dims.error());
  }
  if (!check_collection_name(PyExc_ValueError, name)) return nullptr;

  Result<std::shared_ptr<Collection>> c = get_or_create(handle_of(self), name, dim, metric);
  if (!c) return raise_core_error(PyExc_ValueError, c.error());
  return new_collection_object(std::move(*c));
}

PyObject* tornquil_get_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_fastcall(kGetCollectionSpec, args, nargs, kwnames, bound)) return nullptr;
  std::string_view name;
  if (!extract_text(bound[0], "name", &name)) return nullptr;
  if (!check_collection_name(PyExc_KeyError, name)) return nullptr;

  Result<std::shared_ptr<Collection>> c = get_existing(handle_of(self), name);
  if (!c) return raise_core_error(PyExc_KeyError, c.error());
  return new_collection_object(std::move(*c));
}

PyObject* tornquil_collections(PyObject* self, PyObject*) {
  Result<std::vector<std::string>> names = list_collection_names(*handle_of(self).registry);
  if (!names) return raise_core_error(PyExc_OSError, names.error());
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names->size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < names->size(); ++i) {
    PyObject* item = unicode_from((*names)[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* tornquil_drop_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_fastcall(kDropCollectionSpec, args, nargs, kwnames, bound)) return nullptr;
  std::string_view name;
  if (!extract_text(bound[0], "name", &name)) return nullptr;
  if (!check_collection_name(PyExc_OSError, name)) return nullptr;

  Result<void> r = drop(handle_of(self), name);
  if (!r) return raise_core_error(PyExc_OSError, r.error());
  Py_RETURN_NONE;
}

// The cache lock is released before the exception is made: making a Python object may run
// Python code that uses this handle again.
Result<void> sync_all(DatabaseHandle& h) {
  std::shared_lock lk(h.cache_lock);
  for (auto& [name, c] : h.open_collections) TQ_TRY(sync_collection(*c));
  return {};
}

PyObject* tornquil_sync(PyObject* self, PyObject*) {
  Result<void> r = sync_all(handle_of(self));
  if (!r) return raise_core_error(PyExc_OSError, r.error());
  Py_RETURN_NONE;
}

PyObject* tornquil_recovery_stats(PyObject* self, PyObject*) {
  return make_recovery_stats(handle_of(self).recovery);
}

PyObject* tornquil_repr(PyObject* self) {
  Result<std::vector<std::string>> names = list_collection_names(*handle_of(self).registry);
  if (!names) return PyUnicode_FromString("Tornquil()");
  return PyUnicode_FromFormat("Tornquil(collections=%zu)", names->size());
}

// The handle's methods, in the order of the class's method table.
PyMethodDef tornquil_methods[] = {
    {"collection", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tornquil_collection)),
     METH_FASTCALL | METH_KEYWORDS,
     "collection($self, name, dim, metric=\"cosine\")\n--\n\n"
     "Get or create a collection.\n\n"
     "Args:\n"
     "    name: Collection name.\n"
     "    dim: Vector dimensions.\n"
     "    metric: Distance metric (\"cosine\", \"dot\", or \"l2\").\n\n"
     "Returns:\n"
     "    The Collection object."},
    {"get_collection",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tornquil_get_collection)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_collection($self, name)\n--\n\n"
     "Get an existing collection.\n\n"
     "Args:\n"
     "    name: Collection name.\n\n"
     "Returns:\n"
     "    The Collection object.\n\n"
     "Raises:\n"
     "    KeyError: If collection does not exist."},
    {"collections", tornquil_collections, METH_NOARGS,
     "collections($self)\n--\n\n"
     "List all collection names.\n\n"
     "Returns:\n"
     "    List of collection names."},
    {"drop_collection",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tornquil_drop_collection)),
     METH_FASTCALL | METH_KEYWORDS,
     "drop_collection($self, name)\n--\n\n"
     "Delete a collection and all its data.\n\n"
     "Args:\n"
     "    name: Collection name."},
    {"sync", tornquil_sync, METH_NOARGS,
     "sync($self)\n--\n\n"
     "Flush all pending writes to disk."},
    {"recovery_stats", tornquil_recovery_stats, METH_NOARGS,
     "recovery_stats($self)\n--\n\n"
     "Get recovery statistics from database open.\n\n"
     "Returns:\n"
     "    RecoveryStats with details about crash recovery."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* g_tornquil_type = nullptr;  // written once under the GIL, never released

}  // namespace

PyTypeObject* tornquil_type() {
  if (g_tornquil_type != nullptr) return g_tornquil_type;
  const char* doc = class_doc();
  if (doc == nullptr) return nullptr;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_new, reinterpret_cast<void*>(tornquil_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(tornquil_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(tornquil_repr)},
      {Py_tp_methods, tornquil_methods},
      {0, nullptr},
  };
  PyType_Spec spec = {
      .name = "builtins.Tornquil",
      .basicsize = sizeof(TornquilObject),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots,
  };
  g_tornquil_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return g_tornquil_type;
}

}  // namespace tornquil
