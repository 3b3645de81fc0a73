// Small pieces every binding file shares: text into a str or a list of str, the standard
// module "json", a class's plain name, and the cast of a method's C function into a method-table
// entry.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

namespace tornquil {

// A new str from UTF-8 text. Bytes that are not UTF-8 (a name or message from a damaged
// file) are replaced, never turned into a decoding error. New reference, or nullptr with an
// exception set. GIL held.
PyObject* unicode_from(std::string_view text);

// A new list of str, one per text, each as unicode_from makes it. New reference, or nullptr
// with an exception set. GIL held.
PyObject* text_list(const std::vector<std::string>& texts);

// Imports the standard module "json" and returns a new reference to it, or nullptr with
// the import's exception unchanged: the one place where the system imports another Python
// module by name. Keeps nothing: after the first call the interpreter answers from its
// table of loaded modules. GIL held.
inline PyObject* import_json_module() { return PyImport_ImportModule("json"); }

// The class name of a type named "builtins.<Class>": the part after the last dot, or the
// whole name when it has none.
const char* plain_class_name(const PyTypeObject* type);

// A METH_FASTCALL | METH_KEYWORDS function (or any other method signature) as the
// PyCFunction a method table holds; the interpreter calls it with the signature its flags
// name.
template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace tornquil
