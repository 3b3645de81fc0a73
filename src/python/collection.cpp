// The Python class Collection: type, docstring and the members that work on single records
// or on the collection as a whole (properties, add, upsert, get, delete, sync, preload,
// len, repr, compact, export_to_file, import_from_file) and search. Only the system creates
// instances.
//
// add, upsert and search convert their arguments with the GIL held, then release it around
// the core call while a strong reference of their own keeps the core collection alive; every
// other member keeps the GIL for its whole run.
#include "python/collection.hpp"

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collection/compact.hpp"
#include "collection/get.hpp"
#include "collection/ndjson.hpp"
#include "collection/search.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/memory.hpp"
#include "python/py_ref.hpp"
#include "python/results.hpp"
#include "python/util.hpp"

namespace tornquil {
namespace {

Collection& core_of(PyObject* self) { return *reinterpret_cast<CollectionObject*>(self)->core; }

std::shared_ptr<Collection> share_core(PyObject* self) {
  return reinterpret_cast<CollectionObject*>(self)->core;
}

// True, with `exc_type` "Collection not found: {name}" raised, once the collection was
// dropped (or dropped and created again): every member that works on the collection refuses
// then, before anything is read or written. The properties and repr still answer.
bool refuse_dropped(PyObject* self, PyObject* exc_type) {
  Result<void> r = check_not_dropped(core_of(self));
  if (r) return false;
  raise_core_error(exc_type, r.error());
  return true;
}

// Heap-type dealloc: drop the shared reference (the last one closes the collection), free
// the object, drop the type reference.
void collection_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<CollectionObject*>(self)->core.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- Properties ----

PyObject* collection_name(PyObject* self, void*) { return unicode_from(core_of(self).config.name); }

PyObject* collection_metric(PyObject* self, void*) {
  return unicode_from(metric_name(core_of(self).config.metric));
}

PyObject* collection_dimensions(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(core_of(self).config.dimensions);
}

PyObject* collection_vectors_size_bytes(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(vector_file_bytes(core_of(self)));
}

// ---- add and upsert ----

constexpr const char* kAddParams[] = {"vector", "metadata", "id", "ttl"};
constexpr const char* kUpsertParams[] = {"id", "vector", "metadata", "ttl"};
constexpr const char* kIdParam[] = {"id"};
constexpr const char* kSearchParams[] = {"vector", "k", "where_"};
constexpr const char* kPathParam[] = {"path"};

constexpr ArgSpec kAddSpec = {"Collection.add()", kAddParams, 4, 2};
constexpr ArgSpec kUpsertSpec = {"Collection.upsert()", kUpsertParams, 4, 3};
constexpr ArgSpec kGetSpec = {"Collection.get()", kIdParam, 1, 1};
constexpr ArgSpec kDeleteSpec = {"Collection.delete()", kIdParam, 1, 1};
constexpr ArgSpec kSearchSpec = {"Collection.search()", kSearchParams, 3, 2};
constexpr ArgSpec kExportSpec = {"Collection.export_to_file()", kPathParam, 1, 1};
constexpr ArgSpec kImportSpec = {"Collection.import_from_file()", kPathParam, 1, 1};

PyObject* collection_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_fastcall(kAddSpec, args, nargs, kwnames, bound)) return nullptr;
  if (refuse_dropped(self, PyExc_ValueError)) return nullptr;
  PyObject* metadata_obj;
  std::optional<std::string_view> id_text;
  std::optional<uint64_t> ttl;
  if (!extract_dict(bound[1], "metadata", &metadata_obj)) return nullptr;
  if (!extract_optional_text(bound[2], "id", &id_text)) return nullptr;
  if (!extract_optional_u64(bound[3], "ttl", &ttl)) return nullptr;

  std::vector<float> vector;
  if (!extract_vector(bound[0], vector)) return nullptr;
  std::optional<JsonValue> metadata = dict_to_json_value(metadata_obj);
  if (!metadata) return nullptr;
  std::optional<std::string> id;
  if (id_text) id.emplace(*id_text);

  std::shared_ptr<Collection> core = share_core(self);
  Result<std::string> r =
      without_gil([&] { return add_record(*core, vector, *metadata, std::move(id), ttl); });
  if (!r) return raise_core_error(PyExc_ValueError, r.error());
  return unicode_from(*r);
}

PyObject* collection_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_fastcall(kUpsertSpec, args, nargs, kwnames, bound)) return nullptr;
  if (refuse_dropped(self, PyExc_ValueError)) return nullptr;
  std::string_view id_text;
  PyObject* metadata_obj;
  std::optional<uint64_t> ttl;
  if (!extract_text(bound[0], "id", &id_text)) return nullptr;
  if (!extract_dict(bound[2], "metadata", &metadata_obj)) return nullptr;
  if (!extract_optional_u64(bound[3], "ttl", &ttl)) return nullptr;

  std::vector<float> vector;
  if (!extract_vector(bound[1], vector)) return nullptr;
  std::optional<JsonValue> metadata = dict_to_json_value(metadata_obj);
  if (!metadata) return nullptr;
  const std::string id(id_text);

  std::shared_ptr<Collection> core = share_core(self);
  Result<void> r = without_gil([&] { return upsert_record(*core, id, vector, *metadata, ttl); });
  if (!r) return raise_core_error(PyExc_ValueError, r.error());
  Py_RETURN_NONE;
}

// ---- add_batch ----

constexpr const char* kAddBatchParams[] = {"vectors", "metadatas", "ids", "ttls"};
constexpr ArgSpec kAddBatchSpec = {"Collection.add_batch()", kAddBatchParams, 4, 2};

// Converts everything with the GIL held (metadatas, ids, ttls, vectors, then every dict
// through json.dumps, even when the counts differ), then inserts without it, a strong
// reference of its own keeping the core collection alive. A 2-D array is read in place by
// the core; the argument objects outlive that, held by this frame.
PyObject* collection_add_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_fastcall(kAddBatchSpec, args, nargs, kwnames, bound)) return nullptr;
  if (refuse_dropped(self, PyExc_ValueError)) return nullptr;
  PyRef dicts, id_items;
  std::optional<std::vector<std::string_view>> ids;
  std::optional<std::vector<std::optional<uint64_t>>> ttls;
  if (!extract_dict_list(bound[1], "metadatas", &dicts)) return nullptr;
  if (!extract_optional_text_list(bound[2], "ids", &id_items, &ids)) return nullptr;
  if (!extract_optional_u64_list(bound[3], "ttls", &ttls)) return nullptr;
  BatchVectorsArg vectors;
  if (!extract_batch_vectors(bound[0], vectors)) return nullptr;
  std::vector<std::string> metadata;
  if (!collect_metadata_texts(dicts.get(), metadata)) return nullptr;

  BatchInput in;
  in.vectors = vectors.rows;
  in.metadata = metadata;
  if (ids) in.ids = std::span<const std::string_view>(*ids);
  if (ttls) in.ttls = std::span<const std::optional<uint64_t>>(*ttls);
  std::shared_ptr<Collection> core = share_core(self);
  Result<std::vector<std::string>> r = without_gil([&] { return add_batch_records(*core, in); });
  if (!r) return raise_core_error(PyExc_ValueError, r.error());
  return text_list(*r);
}

// ---- get and delete ----

// No Python object is made while a collection lock is held: making one may run arbitrary
// Python code (a collection's finaliser, say) that calls back into the same collection.
PyObject* collection_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_fastcall(kGetSpec, args, nargs, kwnames, bound)) return nullptr;
  if (refuse_dropped(self, PyExc_ValueError)) return nullptr;
  std::string_view id;
  if (!extract_text(bound[0], "id", &id)) return nullptr;

  Result<std::optional<FoundRecord>> found = get_by_id(core_of(self), id);
  if (!found) return raise_core_error(PyExc_ValueError, found.error());
  if (!*found) Py_RETURN_NONE;
  // The result of get: score 0 and the metadata text as the one writer lays it out.
  return make_search_result(std::move((*found)->id), 0.0f, std::move((*found)->metadata));
}

PyObject* collection_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_fastcall(kDeleteSpec, args, nargs, kwnames, bound)) return nullptr;
  if (refuse_dropped(self, PyExc_ValueError)) return nullptr;
  std::string_view id;
  if (!extract_text(bound[0], "id", &id)) return nullptr;

  Result<bool> deleted = delete_by_id(core_of(self), id);
  if (!deleted) return raise_core_error(PyExc_ValueError, deleted.error());
  return PyBool_FromLong(*deleted);
}

// ---- Whole-collection members ----

PyObject* collection_sync(PyObject* self, PyObject*) {
  if (refuse_dropped(self, PyExc_OSError)) return nullptr;
  Result<void> r = sync_collection(core_of(self));
  if (!r) return raise_core_error(PyExc_OSError, r.error());
  Py_RETURN_NONE;
}

PyObject* collection_preload(PyObject* self, PyObject*) {
  if (refuse_dropped(self, PyExc_OSError)) return nullptr;
  // The vectors are mapped; the page cache brings them in on first use.
  Py_RETURN_NONE;
}

Py_ssize_t collection_len(PyObject* self) {
  if (refuse_dropped(self, PyExc_OSError)) return -1;
  Result<uint64_t> n = record_count(core_of(self));
  if (!n) {
    raise_core_error(PyExc_OSError, n.error());
    return -1;
  }
  if (*n > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetNone(PyExc_OverflowError);
    return -1;
  }
  return static_cast<Py_ssize_t>(*n);
}

PyObject* collection_repr(PyObject* self) {
  const CollectionConfig& config = core_of(self).config;
  std::string out = "Collection(name='";
  out += config.name;
  out += "', dimensions=";
  out += std::to_string(config.dimensions);
  out += ", metric='";
  out += metric_name(config.metric);
  out += "')";
  return unicode_from(out);
}

// ---- search ----

PyObject* collection_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_fastcall(kSearchSpec, args, nargs, kwnames, bound)) return nullptr;
  if (refuse_dropped(self, PyExc_ValueError)) return nullptr;
  uint64_t k = 0;
  PyObject* where_obj;
  if (!extract_u64(bound[1], "k", &k)) return nullptr;
  if (!extract_optional_dict(bound[2], "where_", &where_obj)) return nullptr;

  std::vector<float> query;
  if (!extract_vector(bound[0], query)) return nullptr;
  std::optional<MetadataFilter> filter;
  if (where_obj != nullptr) {
    std::optional<JsonValue> where = dict_to_json_value(where_obj);
    if (!where) return nullptr;
    filter = parse_where_filter(*where);
  }

  std::shared_ptr<Collection> core = share_core(self);
  Result<std::vector<SearchHit>> hits =
      without_gil([&] { return search_collection(*core, query, k, filter); });
  if (!hits) return raise_core_error(PyExc_ValueError, hits.error());

  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hits->size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits->size(); ++i) {
    SearchResultData d = search_hit_to_result(std::move((*hits)[i]));
    PyObject* item = make_search_result(std::move(d.id), d.score, std::move(d.metadata));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

// ---- Compaction, export and import: each keeps the GIL for its whole run ----

PyObject* collection_compact(PyObject* self, PyObject*) {
  if (refuse_dropped(self, PyExc_OSError)) return nullptr;
  Result<CompactStatsData> stats = compact_collection(core_of(self));
  if (!stats) return raise_core_error(PyExc_OSError, stats.error());
  return make_compact_stats(*stats);
}

PyObject* collection_export_to_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_fastcall(kExportSpec, args, nargs, kwnames, bound)) return nullptr;
  if (refuse_dropped(self, PyExc_OSError)) return nullptr;
  std::string_view path;
  if (!extract_text(bound[0], "path", &path)) return nullptr;
  Result<uint64_t> n = export_to_file(core_of(self), std::string(path));
  if (!n) return raise_core_error(PyExc_OSError, n.error());
  return PyLong_FromUnsignedLongLong(*n);
}

PyObject* collection_import_from_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_fastcall(kImportSpec, args, nargs, kwnames, bound)) return nullptr;
  if (refuse_dropped(self, PyExc_OSError)) return nullptr;
  std::string_view path;
  if (!extract_text(bound[0], "path", &path)) return nullptr;
  Result<ImportStatsData> stats = import_from_file(core_of(self), std::string(path));
  if (!stats) return raise_core_error(PyExc_OSError, stats.error());
  return make_import_stats(*stats);
}

// ---- Type ----

// The collection's methods, in the order of the class's method table.
PyMethodDef collection_methods[] = {
    {"add", as_cfunction(guarded<collection_add>), METH_FASTCALL | METH_KEYWORDS,
     "add($self, vector, metadata, id=None, ttl=None)\n--\n\n"
     "Add a vector to the collection.\n\n"
     "Args:\n"
     "    vector: The vector as a NumPy float32 array (fast path) or a list of floats.\n"
     "    metadata: Associated metadata as a dict.\n"
     "    id: Optional custom ID (auto-generated if None).\n"
     "    ttl: Optional time-to-live in seconds.\n\n"
     "Returns:\n"
     "    The record ID."},
    {"upsert", as_cfunction(guarded<collection_upsert>), METH_FASTCALL | METH_KEYWORDS,
     "upsert($self, id, vector, metadata, ttl=None)\n--\n\n"
     "Insert or update a vector by ID.\n\n"
     "This is idempotent - calling with the same ID will replace the previous vector.\n\n"
     "Args:\n"
     "    id: The record ID.\n"
     "    vector: The vector as a NumPy float32 array (fast path) or a list of floats.\n"
     "    metadata: Associated metadata as a dict.\n"
     "    ttl: Optional time-to-live in seconds."},
    {"add_batch", as_cfunction(guarded<collection_add_batch>), METH_FASTCALL | METH_KEYWORDS,
     "add_batch($self, vectors, metadatas, ids=None, ttls=None)\n--\n\n"
     "Batch add vectors (10-100x faster than looped add).\n\n"
     "Args:\n"
     "    vectors: A 2-D NumPy float32 array [n, dim] (fast path), or a list of vectors\n"
     "        (each a NumPy array or list of floats).\n"
     "    metadatas: List of metadata dicts.\n"
     "    ids: Optional list of custom IDs.\n"
     "    ttls: Optional list of TTLs in seconds.\n\n"
     "Returns:\n"
     "    List of record IDs."},
    {"search", as_cfunction(guarded<collection_search>), METH_FASTCALL | METH_KEYWORDS,
     "search($self, vector, k, where_=None)\n--\n\n"
     "Search for nearest neighbors.\n\n"
     "Args:\n"
     "    vector: The query vector as a NumPy float32 array (fast path) or a list of floats.\n"
     "    k: Number of results to return.\n"
     "    where_: Optional metadata filter as a dict.\n\n"
     "Returns:\n"
     "    List of SearchResult objects."},
    {"get", as_cfunction(guarded<collection_get>), METH_FASTCALL | METH_KEYWORDS,
     "get($self, id)\n--\n\n"
     "Get a record by ID.\n\n"
     "Args:\n"
     "    id: The record ID.\n\n"
     "Returns:\n"
     "    SearchResult if found and not expired, None otherwise."},
    {"delete", as_cfunction(guarded<collection_delete>), METH_FASTCALL | METH_KEYWORDS,
     "delete($self, id)\n--\n\n"
     "Delete a record by ID.\n\n"
     "Args:\n"
     "    id: The record ID.\n\n"
     "Returns:\n"
     "    True if the record existed and was deleted."},
    {"compact", guarded<collection_compact>, METH_NOARGS,
     "compact($self)\n--\n\n"
     "Compact the collection (remove expired records, defragment storage).\n\n"
     "Returns:\n"
     "    CompactStats with details about what was cleaned up."},
    {"preload", guarded<collection_preload>, METH_NOARGS,
     "preload($self)\n--\n\n"
     "Preload vectors into memory for faster search."},
    {"sync", guarded<collection_sync>, METH_NOARGS,
     "sync($self)\n--\n\n"
     "Flush pending writes to disk."},
    {"export_to_file", as_cfunction(guarded<collection_export_to_file>),
     METH_FASTCALL | METH_KEYWORDS,
     "export_to_file($self, path)\n--\n\n"
     "Export the collection to a file.\n\n"
     "Creates an NDJSON file with all records including vectors and metadata.\n\n"
     "Args:\n"
     "    path: Output file path.\n\n"
     "Returns:\n"
     "    Number of records exported."},
    {"import_from_file", as_cfunction(guarded<collection_import_from_file>),
     METH_FASTCALL | METH_KEYWORDS,
     "import_from_file($self, path)\n--\n\n"
     "Import records from a file.\n\n"
     "Reads an NDJSON file and imports all records. The file must have\n"
     "matching dimensions to this collection.\n\n"
     "Args:\n"
     "    path: Input file path.\n\n"
     "Returns:\n"
     "    ImportStats with details about the import."},
    {nullptr, nullptr, 0, nullptr},
};

// The read-only properties.
PyGetSetDef collection_getset[] = {
    {"vectors_size_bytes", guarded<collection_vectors_size_bytes>, nullptr,
     "Vector storage size in bytes.", nullptr},
    {"dimensions", guarded<collection_dimensions>, nullptr, "Collection dimensions.", nullptr},
    {"name", guarded<collection_name>, nullptr, "Collection name.", nullptr},
    {"metric", guarded<collection_metric>, nullptr, "Distance metric (cosine, dot, l2).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot collection_slots[] = {
    {Py_tp_doc, const_cast<char*>("A collection of vectors with associated metadata.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(collection_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<collection_repr>)},
    {Py_sq_length, reinterpret_cast<void*>(guarded<collection_len>)},
    {Py_mp_length, reinterpret_cast<void*>(guarded<collection_len>)},
    {Py_tp_methods, collection_methods},
    {Py_tp_getset, collection_getset},
    {0, nullptr},
};

PyType_Spec collection_spec = {
    .name = "builtins.Collection",
    .basicsize = sizeof(CollectionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = collection_slots,
};

PyTypeObject* g_collection_type = nullptr;  // written once under the GIL, never released

}  // namespace

PyTypeObject* collection_type() {
  if (g_collection_type == nullptr) {
    g_collection_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&collection_spec));
  }
  return g_collection_type;
}

PyObject* new_collection_object(std::shared_ptr<Collection> core) {
  PyTypeObject* type = collection_type();
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);  // takes its own reference to the heap type
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<CollectionObject*>(self)->core)
      std::shared_ptr<Collection>(std::move(core));
  return self;
}

}  // namespace tornquil
