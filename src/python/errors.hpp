// The binding's exceptions of its own making: the one mapping from a core error to a Python
// exception (each Python member has a single exception type for every CoreError it meets,
// and the rendered text is the only argument), and the refusal of classes that only the
// system constructs.
#pragma once

#include <Python.h>

#include <string_view>

#include "base/error.hpp"

namespace tornquil {

// Sets `exc_type` (borrowed, e.g. PyExc_ValueError) with err.render() as its only argument
// and returns nullptr, so a method can end with `return raise_core_error(...)`. An OSError
// for an Io error of EACCES or EPERM is raised as its subclass PermissionError.
// Requires the GIL.
PyObject* raise_core_error(PyObject* exc_type, const CoreError& err);

// Sets `exc_type` with `text` (UTF-8, damaged bytes replaced) as its only argument and
// returns nullptr. Requires the GIL.
PyObject* raise_message(PyObject* exc_type, std::string_view text);

// The tp_new of every class that only the system creates: raises TypeError
// "No constructor defined for {}" with the class name and returns nullptr.
PyObject* no_constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace tornquil
