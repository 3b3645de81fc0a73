// Turns a CoreError into the calling member's Python exception; refuses constructor calls.
#include "errors.hpp"

#include <cstring>
#include <string>

#include "py_ref.hpp"

namespace tornquil {

PyObject* raise_core_error(PyObject* exc_type, const CoreError& err) {
  const std::string text = err.render();
  // The text carries names and messages that came from files as well as from Python; a
  // damaged byte must not turn the error into a decoding error, so it is replaced.
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  // A str value (never a tuple) becomes the exception's single argument, also for KeyError.
  PyErr_SetObject(exc_type, message.get());
  return nullptr;
}

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) {
  // Type names are "builtins.<Class>"; the message names the class alone.
  const char* name = type->tp_name;
  if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", name);
  return nullptr;
}

}  // namespace tornquil
