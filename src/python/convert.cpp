// Value conversions of the binding: vectors from NumPy arrays and sequences, metadata dicts
// through json.dumps, JSON values to compact text, and search hits to result payloads.
#include "python/convert.hpp"

// The API table is filled by ensure_numpy_api below, not by NumPy's import_array().
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tornquil_ARRAY_API
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

#include <cstring>
#include <utility>

#include "base/json_write.hpp"
#include "python/args.hpp"
#include "python/py_ref.hpp"
#include "python/util.hpp"

// NumPy's C API table, read from the capsule of its multiarray module. Written once under
// the GIL, only read afterwards.
void** tornquil_ARRAY_API = nullptr;

namespace tornquil {
namespace {

// The native float32 and float64 descriptors, kept for the process once the table is loaded.
PyArray_Descr* g_float32 = nullptr;
PyArray_Descr* g_float64 = nullptr;

// The capsule of NumPy 2 (numpy._core) or, failing its import, of NumPy 1 (numpy.core).
PyRef import_array_api_capsule() {
  PyRef module = PyRef::steal(PyImport_ImportModule("numpy._core.multiarray"));
  if (!module) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return {};
    PyErr_Clear();
    module = PyRef::steal(PyImport_ImportModule("numpy.core.multiarray"));
    if (!module) return {};
  }
  return PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
}

bool load_numpy_api() {
  PyRef capsule = import_array_api_capsule();
  if (!capsule) return false;
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_SetString(PyExc_ImportError, "numpy's _ARRAY_API is not a capsule");
    return false;
  }
  void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) return false;
  // The table's layout must be the one these headers were written for.
  tornquil_ARRAY_API = table;
  if (PyArray_GetNDArrayCVersion() != NPY_VERSION ||
      PyArray_GetNDArrayCFeatureVersion() < NPY_FEATURE_VERSION) {
    tornquil_ARRAY_API = nullptr;
    PyErr_SetString(PyExc_ImportError,
                    "the installed numpy has a C API that this build of tornquil cannot use");
    return false;
  }
  g_float32 = PyArray_DescrFromType(NPY_FLOAT32);
  g_float64 = PyArray_DescrFromType(NPY_FLOAT64);
  if (g_float32 == nullptr || g_float64 == nullptr) {
    Py_CLEAR(g_float32);
    Py_CLEAR(g_float64);
    tornquil_ARRAY_API = nullptr;
    return false;
  }
  return true;
}

// Same element type as `want` in NumPy's sense; the builtin descriptors are shared, so the
// pointer test decides almost every call.
bool same_type(PyArray_Descr* have, PyArray_Descr* want) {
  return have == want || PyArray_EquivTypes(have, want);
}

// Narrows a double the way a float32 store rounds: to nearest, overflow to infinity.
inline float narrow(double d) { return static_cast<float>(d); }

// One item of the sequence path; false with Python's exception set.
bool append_item(PyObject* item, std::vector<float>& out) {
  double d;
  if (PyFloat_CheckExact(item)) {
    d = PyFloat_AS_DOUBLE(item);
  } else {
    d = PyFloat_AsDouble(item);
    if (d == -1.0 && PyErr_Occurred()) return false;
  }
  out.push_back(narrow(d));
  return true;
}

// Steps 4 and 5: the sequence protocol, then the items one by one.
bool extract_sequence(PyObject* obj, std::vector<float>& out) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) return raise_cannot_convert(obj, "Sequence");
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<size_t>(hint));
  }

  // Lists and tuples are walked in place, exactly as their iterators would walk them: the
  // length is read again before every item, since a float conversion may change a list.
  if (PyList_CheckExact(obj)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
      PyRef item = PyRef::borrow(PyList_GET_ITEM(obj, i));
      if (!append_item(item.get(), out)) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(obj)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
      if (!append_item(PyTuple_GET_ITEM(obj, i), out)) return false;
    }
    return true;
  }

  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  for (;;) {
    PyRef item = PyRef::steal(PyIter_Next(iter.get()));
    if (!item) return !PyErr_Occurred();
    if (!append_item(item.get(), out)) return false;
  }
}

}  // namespace

bool ensure_numpy_api() {
  if (tornquil_ARRAY_API != nullptr) return true;
  return load_numpy_api();
}

bool extract_vector(PyObject* obj, std::vector<float>& out) {
  out.clear();
  if (!ensure_numpy_api()) return false;

  if (PyArray_Check(obj)) {
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) == 1 && (PyArray_IS_C_CONTIGUOUS(arr) || PyArray_IS_F_CONTIGUOUS(arr))) {
      PyArray_Descr* descr = PyArray_DESCR(arr);
      const size_t n = static_cast<size_t>(PyArray_DIM(arr, 0));
      const char* data = static_cast<const char*>(PyArray_DATA(arr));
      if (same_type(descr, g_float32)) {
        out.resize(n);
        if (n != 0) std::memcpy(out.data(), data, n * sizeof(float));
        return true;
      }
      if (same_type(descr, g_float64)) {
        out.resize(n);
        for (size_t i = 0; i < n; ++i) {
          double d;  // the data need not be aligned
          std::memcpy(&d, data + i * sizeof(double), sizeof d);
          out[i] = narrow(d);
        }
        return true;
      }
    }
  }
  if (!extract_sequence(obj, out)) {
    out.clear();
    return false;
  }
  return true;
}

std::optional<JsonValue> dict_to_json_value(PyObject* dict) {
  PyRef json = PyRef::steal(import_json_module());
  if (!json) return std::nullopt;
  PyRef dumps = PyRef::steal(PyObject_GetAttrString(json.get(), "dumps"));
  if (!dumps) return std::nullopt;
  PyRef text = PyRef::steal(PyObject_CallOneArg(dumps.get(), dict));
  if (!text) return std::nullopt;
  if (!PyUnicode_Check(text.get())) {
    raise_cannot_convert(text.get(), "PyString");
    return std::nullopt;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
  if (utf8 == nullptr) return std::nullopt;
  auto parsed = parse_json(std::string_view(utf8, static_cast<size_t>(len)));
  if (!parsed) {
    const std::string why = parsed.error().describe();
    PyErr_Format(PyExc_ValueError, "Invalid JSON: %s", why.c_str());
    return std::nullopt;
  }
  return std::move(*parsed);
}

std::string metadata_to_text(const JsonValue& value) { return to_compact_json(value); }

SearchResultData search_hit_to_result(SearchHit&& hit) {
  SearchResultData out;
  out.id = std::move(hit.id);
  out.metadata = metadata_to_text(hit.metadata);
  out.score = hit.score;
  hit.metadata = JsonValue();
  return out;
}

}  // namespace tornquil
