// The Python class Tornquil: type, docstring, constructor, the handle's methods and its
// release.
#include "python/database.hpp"

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "python/args.hpp"
#include "python/collection.hpp"
#include "python/errors.hpp"
#include "python/memory.hpp"
#include "python/py_ref.hpp"
#include "python/results.hpp"
#include "python/util.hpp"

namespace tornquil {
namespace {

constexpr std::string_view kClassName = "Tornquil";
constexpr std::string_view kTextSignature = "(path)";
constexpr std::string_view kDocBody =
    "Tornquil vector database.\n\n"
    "A lightweight, serverless, single-file vector database for AI agent memory.";
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

Database& handle_of(PyObject* self) { return *reinterpret_cast<TornquilObject*>(self)->handle; }

// ---- Collection names ----

// Raises `exc_type` with "Invalid collection name '{}': {reason}" when the name is refused;
// false then, true for a usable name.
bool check_name(PyObject* exc_type, std::string_view name) {
  Result<void> r = check_collection_name(name);
  if (r) return true;
  raise_message(exc_type, r.error().text());
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

// ---- Methods ----

constexpr const char* kNameParam[] = {"name"};
constexpr const char* kCollectionParams[] = {"name", "dim", "metric"};
constexpr const char* kPathParam[] = {"path"};

constexpr ArgSpec kNewSpec = {"Tornquil.__new__()", kPathParam, 1, 1};
constexpr ArgSpec kCollectionSpec = {"Tornquil.collection()", kCollectionParams, 3, 2};
constexpr ArgSpec kGetCollectionSpec = {"Tornquil.get_collection()", kNameParam, 1, 1};
constexpr ArgSpec kDropCollectionSpec = {"Tornquil.drop_collection()", kNameParam, 1, 1};

PyObject* tornquil_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[kMaxParams];
  if (!bind_tuple_dict(kNewSpec, args, kwargs, bound)) return nullptr;
  std::string_view path;
  if (!extract_text(bound[0], "path", &path)) return nullptr;

  Result<std::unique_ptr<Database>> db = Database::open(std::string(path));
  if (!db) return raise_core_error(PyExc_OSError, db.error());

  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<TornquilObject*>(self)->handle = db->release();
  return self;
}

// Heap-type dealloc. The core handle closes its registry first, so its lock is free before
// any collection goes; then the cached collections are released, each flushing its write
// buffer when this was its last reference.
void tornquil_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<TornquilObject*>(self)->handle;
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
  if (Result<void> dims = check_collection_dimensions(dim); !dims) {
    return raise_core_error(PyExc_ValueError, dims.error());
  }
  if (!check_name(PyExc_ValueError, name)) return nullptr;

  Result<std::shared_ptr<Collection>> c = handle_of(self).open_or_create(name, dim, metric);
  if (!c) return raise_core_error(PyExc_ValueError, c.error());
  return new_collection_object(std::move(*c));
}

PyObject* tornquil_get_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_fastcall(kGetCollectionSpec, args, nargs, kwnames, bound)) return nullptr;
  std::string_view name;
  if (!extract_text(bound[0], "name", &name)) return nullptr;
  if (!check_name(PyExc_KeyError, name)) return nullptr;

  Result<std::shared_ptr<Collection>> c = handle_of(self).get(name);
  if (!c) return raise_core_error(PyExc_KeyError, c.error());
  return new_collection_object(std::move(*c));
}

PyObject* tornquil_collections(PyObject* self, PyObject*) {
  Result<std::vector<std::string>> names = handle_of(self).collection_names();
  if (!names) return raise_core_error(PyExc_OSError, names.error());
  return text_list(*names);
}

PyObject* tornquil_drop_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_fastcall(kDropCollectionSpec, args, nargs, kwnames, bound)) return nullptr;
  std::string_view name;
  if (!extract_text(bound[0], "name", &name)) return nullptr;
  if (!check_name(PyExc_OSError, name)) return nullptr;

  Result<void> r = handle_of(self).drop(name);
  if (!r) return raise_core_error(PyExc_OSError, r.error());
  Py_RETURN_NONE;
}

// The cache lock is released before the exception is made: making a Python object may run
// Python code that uses this handle again.
PyObject* tornquil_sync(PyObject* self, PyObject*) {
  Result<void> r = handle_of(self).sync();
  if (!r) return raise_core_error(PyExc_OSError, r.error());
  Py_RETURN_NONE;
}

PyObject* tornquil_recovery_stats(PyObject* self, PyObject*) {
  return make_recovery_stats(handle_of(self).recovery());
}

PyObject* tornquil_repr(PyObject* self) {
  Result<std::vector<std::string>> names = handle_of(self).collection_names();
  if (!names) return PyUnicode_FromString("Tornquil()");
  return PyUnicode_FromFormat("Tornquil(collections=%zu)", names->size());
}

// The handle's methods, in the order of the class's method table.
PyMethodDef tornquil_methods[] = {
    {"collection", as_cfunction(guarded<tornquil_collection>), METH_FASTCALL | METH_KEYWORDS,
     "collection($self, name, dim, metric=\"cosine\")\n--\n\n"
     "Get or create a collection.\n\n"
     "Args:\n"
     "    name: Collection name.\n"
     "    dim: Vector dimensions.\n"
     "    metric: Distance metric (\"cosine\", \"dot\", or \"l2\").\n\n"
     "Returns:\n"
     "    The Collection object."},
    {"get_collection", as_cfunction(guarded<tornquil_get_collection>),
     METH_FASTCALL | METH_KEYWORDS,
     "get_collection($self, name)\n--\n\n"
     "Get an existing collection.\n\n"
     "Args:\n"
     "    name: Collection name.\n\n"
     "Returns:\n"
     "    The Collection object.\n\n"
     "Raises:\n"
     "    KeyError: If collection does not exist."},
    {"collections", guarded<tornquil_collections>, METH_NOARGS,
     "collections($self)\n--\n\n"
     "List all collection names.\n\n"
     "Returns:\n"
     "    List of collection names."},
    {"drop_collection", as_cfunction(guarded<tornquil_drop_collection>),
     METH_FASTCALL | METH_KEYWORDS,
     "drop_collection($self, name)\n--\n\n"
     "Delete a collection and all its data.\n\n"
     "Args:\n"
     "    name: Collection name."},
    {"sync", guarded<tornquil_sync>, METH_NOARGS,
     "sync($self)\n--\n\n"
     "Flush all pending writes to disk."},
    {"recovery_stats", guarded<tornquil_recovery_stats>, METH_NOARGS,
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
      {Py_tp_new, reinterpret_cast<void*>(guarded<tornquil_new>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(tornquil_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(guarded<tornquil_repr>)},
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
