// The module entry point: the one-interpreter guard, the module object kept for the process,
// the registration of the six classes with __all__, and the exit hook that flushes every
// open collection once when the interpreter exits. Nothing else runs at import.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "collection/live_collections.hpp"
#include "python/collection.hpp"
#include "python/database.hpp"
#include "python/memory.hpp"
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

// The exit hook: a collection held by a thread that outlives the interpreter's shutdown
// (a daemon thread) is never released, so its buffered records would be lost without it.
PyObject* flush_at_exit(PyObject*, PyObject*) {
  without_gil([] { flush_live_collections(); });
  Py_RETURN_NONE;
}

PyMethodDef flush_at_exit_def = {"_flush_at_exit", guarded<flush_at_exit>, METH_NOARGS, nullptr};

// Registers the exit hook with the interpreter's atexit. Returns 0, or -1 with an
// exception set.
int register_exit_flush() {
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  PyRef hook = PyRef::steal(PyCFunction_New(&flush_at_exit_def, nullptr));
  if (!hook) return -1;
  PyRef done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  return done ? 0 : -1;
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
  if (register_exit_flush() < 0) return nullptr;
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace tornquil

PyMODINIT_FUNC PyInit_tornquil() { return tornquil::guarded<tornquil::init_module>(); }
