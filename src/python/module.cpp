// The module entry point: the one-interpreter guard, the module object kept for the process,
// and the registration of the six classes with __all__. Nothing else runs at import.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/collection.hpp"
#include "python/database.hpp"
#include "python/py_ref.hpp"
#include "python/results.hpp"
#include "python/util.hpp"

namespace tornquil {
namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tornquil",
    .m_doc =
        "Tornquil Python module.\n\nA lightweight, serverless vector database for AI agent memory.",
    .m_size = 0,  // no per-module state: a re-import calls the entry point again
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The interpreter that first initialised the module; -1 while none has. The module's
// objects belong to that interpreter, so no other may use them.
std::atomic<int64_t> g_owner_interpreter{-1};

// Set once the module is complete; kept, with its classes, until the process ends.
PyObject* g_module = nullptr;

// Appends the class's name to the module's __all__ (creating the list when absent) and
// binds the class to that name. Returns 0, or -1 with an exception set.
int add_class(PyObject* module, PyTypeObject* type) {
  if (type == nullptr) return -1;
  // Type names are "builtins.<Class>"; the module binds the class under its plain name.
  PyRef name = PyRef::steal(PyUnicode_FromString(plain_class_name(type)));
  if (!name) return -1;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return -1;
  return PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type));
}

// Registers the six classes in their fixed order; the first failure stops it.
int add_module_classes(PyObject* module) {
  PyTypeObject* (*const types[])() = {
      tornquil_type,      collection_type,     search_result_type,
      compact_stats_type, recovery_stats_type, import_stats_type,
  };
  for (auto get_type : types) {
    if (add_class(module, get_type()) < 0) return -1;
  }
  return 0;
}

PyObject* init_module() {
  const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return nullptr;
  int64_t expected = -1;
  if (!g_owner_interpreter.compare_exchange_strong(expected, current) && expected != current) {
    PyErr_SetString(PyExc_ImportError,
                    "PyO3 modules do not yet support subinterpreters, see "
                    "https://docs.python.org/3/howto/isolating-extensions.html");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  if (add_module_classes(module.get()) < 0) return nullptr;  // nothing kept; a retry rebuilds
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace tornquil

PyMODINIT_FUNC PyInit_tornquil() { return tornquil::init_module(); }
