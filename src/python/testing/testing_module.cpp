// _tornquil_testing: a test-only extension module, never installed. It builds instances of
// tornquil's result and statistics classes, which Python cannot construct, so the tests can
// check their getters and reprs; it fills objects of the very classes it imports from
// tornquil, through the same constructor functions the binding uses. It also raises a core
// error the way a method does.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "base/error.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "python/results.hpp"

namespace tornquil {
namespace {

// Classes imported from tornquil at init; kept for the process.
PyTypeObject* g_search_result = nullptr;
PyTypeObject* g_compact_stats = nullptr;
PyTypeObject* g_recovery_stats = nullptr;
PyTypeObject* g_import_stats = nullptr;

// Fetches tornquil.<name> and checks that it is the class with this build's layout.
PyTypeObject* import_class(PyObject* tornquil, const char* name, Py_ssize_t basicsize) {
  PyRef obj = PyRef::steal(PyObject_GetAttrString(tornquil, name));
  if (!obj) return nullptr;
  if (!PyType_Check(obj.get())) {
    PyErr_Format(PyExc_ImportError, "tornquil.%s is not a class", name);
    return nullptr;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(obj.get());
  const std::string expected = std::string("builtins.") + name;
  if (type->tp_basicsize != basicsize || std::strcmp(type->tp_name, expected.c_str()) != 0) {
    PyErr_Format(PyExc_ImportError,
                 "tornquil.%s does not have the layout of this build; rebuild both modules", name);
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(obj.release());
}

// The UTF-8 text of a str argument.
bool text_arg(PyObject* obj, std::string& out) {
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<size_t>(len));
  return true;
}

// Unsigned 64-bit counts; OverflowError for a negative or too large int.
bool u64_args(PyObject* args, uint64_t* out, Py_ssize_t n) {
  if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) != n) {
    PyErr_Format(PyExc_TypeError, "expected %zd integer arguments", n);
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[i] = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(args, i));
    if (out[i] == static_cast<uint64_t>(-1) && PyErr_Occurred()) return false;
  }
  return true;
}

// search_result(id: str, score: float, metadata: str); the score is narrowed to a float
// exactly as a core score is stored.
PyObject* search_result(PyObject*, PyObject* args) {
  PyObject *id_obj, *meta_obj;
  double score = 0;
  if (!PyArg_ParseTuple(args, "UdU", &id_obj, &score, &meta_obj)) return nullptr;
  SearchResultData data;
  if (!text_arg(id_obj, data.id) || !text_arg(meta_obj, data.metadata)) return nullptr;
  data.score = static_cast<float>(score);
  return new_search_result(g_search_result, std::move(data));
}

PyObject* compact_stats(PyObject*, PyObject* args) {
  uint64_t v[4];
  if (!u64_args(args, v, 4)) return nullptr;
  return new_compact_stats(g_compact_stats, CompactStatsData{v[0], v[1], v[2], v[3]});
}

PyObject* recovery_stats(PyObject*, PyObject* args) {
  uint64_t v[3];
  if (!u64_args(args, v, 3)) return nullptr;
  return new_recovery_stats(g_recovery_stats, RecoveryStatsData{v[0], v[1], v[2]});
}

PyObject* import_stats(PyObject*, PyObject* args) {
  uint64_t v[4];
  if (!u64_args(args, v, 4)) return nullptr;
  return new_import_stats(g_import_stats, ImportStatsData{v[0], v[1], v[2], v[3]});
}

// raise_io_error(exc_type, text: bytes): raises exc_type for CoreError Io with `text`, the
// way a method reports a core failure.
PyObject* raise_io_error(PyObject*, PyObject* args) {
  PyObject* exc_type;
  const char* text;
  Py_ssize_t len;
  if (!PyArg_ParseTuple(args, "Oy#", &exc_type, &text, &len)) return nullptr;
  return raise_core_error(exc_type, CoreError::io(std::string(text, static_cast<size_t>(len))));
}

PyMethodDef testing_methods[] = {
    {"raise_io_error", raise_io_error, METH_VARARGS, "raise_io_error(exc_type, text)"},
    {"search_result", search_result, METH_VARARGS, "search_result(id, score, metadata_json)"},
    {"compact_stats", compact_stats, METH_VARARGS,
     "compact_stats(expired_removed, tombstones_removed, bytes_freed, duration_ms)"},
    {"recovery_stats", recovery_stats, METH_VARARGS,
     "recovery_stats(promoted, rolled_back, tombstones)"},
    {"import_stats", import_stats, METH_VARARGS,
     "import_stats(imported, skipped, failed, duration_ms)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef testing_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_tornquil_testing",
    .m_doc = "Builds tornquil result objects for tests.",
    .m_size = -1,
    .m_methods = testing_methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyObject* init_testing() {
  if (g_search_result == nullptr) {
    PyRef tornquil = PyRef::steal(PyImport_ImportModule("tornquil"));
    if (!tornquil) return nullptr;
    g_search_result = import_class(tornquil.get(), "SearchResult", sizeof(SearchResultObject));
    g_compact_stats = import_class(tornquil.get(), "CompactStats", sizeof(CompactStatsObject));
    g_recovery_stats = import_class(tornquil.get(), "RecoveryStats", sizeof(RecoveryStatsObject));
    g_import_stats = import_class(tornquil.get(), "ImportStats", sizeof(ImportStatsObject));
    if (!g_search_result || !g_compact_stats || !g_recovery_stats || !g_import_stats) {
      // Keep the first error; start again on the next import.
      Py_CLEAR(g_search_result);
      Py_CLEAR(g_compact_stats);
      Py_CLEAR(g_recovery_stats);
      Py_CLEAR(g_import_stats);
      return nullptr;
    }
  }
  return PyModule_Create(&testing_def);
}

}  // namespace
}  // namespace tornquil

PyMODINIT_FUNC PyInit__tornquil_testing() { return tornquil::init_testing(); }
