// What the module entry point shares with the rest of the binding: the one place where the
// system imports another Python module by name.
#pragma once

#include <Python.h>

namespace tornquil {

// Imports the standard module "json" and returns a new reference to it, or nullptr with
// the import's exception unchanged. Keeps nothing: after the first call the interpreter
// answers from its table of loaded modules. GIL held.
inline PyObject* import_json_module() { return PyImport_ImportModule("json"); }

}  // namespace tornquil
