// Value conversions of the binding: vectors from NumPy arrays and sequences, metadata dicts
// through json.dumps, JSON values to compact text, and search hits to result payloads.
#include "python/convert.hpp"

// The API table is filled by ensure_numpy_api below, not by NumPy's import_array().
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tornquil_ARRAY_API
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

#include <atomic>
#include <cstring>
#include <utility>

#include "base/json_read.hpp"
#include "base/json_write.hpp"
#include "base/worker_pool.hpp"
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

// The refusals every sequence argument shares: a str, and anything that is not a sequence.
bool check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) return raise_cannot_convert(obj, "Sequence");
  return true;
}

// Steps 4 and 5: the sequence protocol, then the items one by one.
bool extract_sequence(PyObject* obj, std::vector<float>& out) {
  if (!check_sequence(obj)) return false;
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

PyRef sequence_to_list(PyObject* obj) {
  if (!check_sequence(obj)) return {};
  // PySequence_List reserves from the length hint and clears a failing length itself.
  return PyRef::steal(PySequence_List(obj));
}

bool extract_batch_vectors(PyObject* obj, BatchVectorsArg& out) {
  out = BatchVectorsArg();
  if (!ensure_numpy_api()) return false;

  if (PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == 2) {
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    PyArray_Descr* descr = PyArray_DESCR(arr);
    const bool f32 = same_type(descr, g_float32);
    if (f32 || same_type(descr, g_float64)) {
      // Shape and strides are copied now: the core reads the rows without the GIL, while
      // another thread could reshape the array object (its data stays where it is).
      const auto rows = static_cast<size_t>(PyArray_DIM(arr, 0));
      const auto cols = static_cast<size_t>(PyArray_DIM(arr, 1));
      const ptrdiff_t rs = PyArray_STRIDE(arr, 0), cs = PyArray_STRIDE(arr, 1);
      const void* data = PyArray_DATA(arr);
      out.rows = f32 ? BatchRows::float32_matrix(data, rows, cols, rs, cs)
                     : BatchRows::float64_matrix(data, rows, cols, rs, cs);
      out.source = PyRef::borrow(obj);
      return true;
    }
  }

  PyRef items = sequence_to_list(obj);
  if (!items) return false;
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  out.offsets.reserve(static_cast<size_t>(n) + 1);
  out.offsets.push_back(0);
  std::vector<float> row;  // its room is reused from row to row
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!extract_vector(PyList_GET_ITEM(items.get(), i), row)) return false;
    out.floats.insert(out.floats.end(), row.begin(), row.end());
    out.offsets.push_back(out.floats.size());
  }
  out.rows = BatchRows::packed(out.floats, out.offsets);
  return true;
}

namespace {

// json.dumps, looked up through the json module; null with the exception set.
PyRef json_dumps() {
  PyRef json = PyRef::steal(import_json_module());
  if (!json) return PyRef();
  return PyRef::steal(PyObject_GetAttrString(json.get(), "dumps"));
}

// dumps(dict) as UTF-8 text, viewing the buffer of `holder`, which keeps it; false with the
// exception set.
bool dumps_text(PyObject* dumps, PyObject* dict, PyRef& holder, std::string_view& text) {
  holder = PyRef::steal(PyObject_CallOneArg(dumps, dict));
  if (!holder) return false;
  if (!PyUnicode_Check(holder.get())) {
    raise_cannot_convert(holder.get(), "PyString");
    return false;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(holder.get(), &len);
  if (utf8 == nullptr) return false;
  text = std::string_view(utf8, static_cast<size_t>(len));
  return true;
}

void raise_invalid_json(const JsonError& e) {
  const std::string why = e.describe();
  PyErr_Format(PyExc_ValueError, "Invalid JSON: %s", why.c_str());
}

// Whether `dumps` is the json module's own function, so that dumps(list) writes each item
// exactly as dumps(item) writes it, joined by ", " inside brackets. A replacement installed
// by the caller may not.
bool is_module_dumps(PyObject* dumps) {
  if (!PyFunction_Check(dumps)) return false;
  PyRef json = PyRef::steal(import_json_module());
  if (!json) {
    PyErr_Clear();
    return false;
  }
  return PyFunction_GET_GLOBALS(dumps) == PyModule_GetDict(json.get());
}

// The texts of the items of a JSON array, cut at the commas outside its strings and inner
// brackets, without judging them: each is judged when it is compacted alone. False when
// by that reading the text is not one array of exactly n items.
bool split_array_items(std::string_view text, size_t n, std::vector<std::string_view>& items) {
  const char* p = text.data();
  const char* const end = p + text.size();
  auto skip_ws = [&] {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
  };
  skip_ws();
  if (p == end || *p != '[') return false;
  const char* item = ++p;
  size_t depth = 1;
  bool in_string = false;
  for (; p < end && depth > 0; ++p) {
    const char ch = *p;
    if (in_string) {
      if (ch == '\\') {
        if (end - p < 2) return false;  // a backslash that escapes nothing
        ++p;                            // the escaped character, a quote perhaps
      } else if (ch == '"') {
        in_string = false;
      }
      continue;
    }
    switch (ch) {
      case '"':
        in_string = true;
        break;
      case '[':
      case '{':
        ++depth;
        break;
      case ']':
      case '}':
        if (--depth == 0) items.emplace_back(item, static_cast<size_t>(p - item));
        break;
      case ',':
        if (depth == 1) {
          items.emplace_back(item, static_cast<size_t>(p - item));
          item = p + 1;
        }
        break;
      default:
        break;
    }
  }
  if (depth != 0) return false;
  skip_ws();
  return p == end && items.size() == n;
}

// Items compacted by one task of the worker pool.
constexpr size_t kItemsPerTask = 2048;

// The dicts through one dumps call for the whole list, the text of each item then compacted
// alone, on the worker pool (the text is the str's own buffer, which this call keeps; the
// workers touch no Python object). Per dict this spares a call of json.dumps through the
// interpreter, the largest cost of a batch's small dicts. False, with nothing raised, when
// anything fails: a dumps error, a text that does not split into n items, or an item that
// does not compact. The caller then converts dict by dict, which raises the error of the
// dict that has it, exactly as it would have without this pass.
bool compact_all_at_once(PyObject* dumps, PyObject* dict_list, std::vector<std::string>& out) {
  const size_t n = static_cast<size_t>(PyList_GET_SIZE(dict_list));
  PyRef holder;
  std::string_view text;
  if (!dumps_text(dumps, dict_list, holder, text)) return false;
  std::vector<std::string_view> items;
  items.reserve(n);
  if (!split_array_items(text, n, items)) return false;
  out.resize(n);
  std::atomic<bool> failed{false};
  parallel_for(n, kItemsPerTask, [&](size_t begin, size_t end) {
    JsonCompactor compactor;
    std::string compact;  // one item's text, copied out at its exact size
    for (size_t i = begin; i < end && !failed.load(std::memory_order_relaxed); ++i) {
      compact.clear();
      if (!compactor.append(items[i], compact)) {
        failed.store(true, std::memory_order_relaxed);
        return;
      }
      out[i].assign(compact);
    }
  });
  return !failed.load();
}

}  // namespace

// The same conversion as dict_to_json_value followed by metadata_to_text, in one pass from
// the dumps text to the stored text, with json.dumps looked up once for the list. The list
// is the caller's own new list, so no dict can refer to it.
bool collect_metadata_texts(PyObject* dict_list, std::vector<std::string>& out) {
  const Py_ssize_t n = PyList_GET_SIZE(dict_list);
  out.clear();
  if (n == 0) return true;
  out.reserve(static_cast<size_t>(n));
  PyRef dumps = json_dumps();
  if (!dumps) return false;
  if (n > 1 && is_module_dumps(dumps.get())) {
    if (compact_all_at_once(dumps.get(), dict_list, out)) return true;
    // An interrupt or an exit is not a fault of one dict: it ends the call as it came.
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    out.clear();
  }
  JsonCompactor compactor;
  PyRef holder;
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::string_view text;
    if (!dumps_text(dumps.get(), PyList_GET_ITEM(dict_list, i), holder, text)) return false;
    std::string& stored = out.emplace_back();
    stored.reserve(text.size());  // the compact text is about as long, mostly shorter
    auto r = compactor.append(text, stored);
    if (!r) {
      raise_invalid_json(r.error());
      return false;
    }
  }
  return true;
}

std::optional<JsonValue> dict_to_json_value(PyObject* dict) {
  PyRef dumps = json_dumps();
  if (!dumps) return std::nullopt;
  PyRef holder;
  std::string_view text;
  if (!dumps_text(dumps.get(), dict, holder, text)) return std::nullopt;
  auto parsed = parse_json(text);
  if (!parsed) {
    raise_invalid_json(parsed.error());
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
