// Turns a CoreError into the calling member's Python exception; refuses constructor calls.
#include "python/errors.hpp"

#include <cerrno>
#include <string>

#include "python/py_ref.hpp"
#include "python/util.hpp"

namespace tornquil {

PyObject* raise_message(PyObject* exc_type, std::string_view text) {
  // The text carries names and messages that came from files as well as from Python; a
  // damaged byte must not turn the error into a decoding error, so it is replaced.
  PyRef message = PyRef::steal(unicode_from(text));
  if (!message) return nullptr;
  // A str value (never a tuple) becomes the exception's single argument, also for KeyError.
  PyErr_SetObject(exc_type, message.get());
  return nullptr;
}

namespace {

// An OSError caused by a refusal of the caller's rights is raised as PermissionError, the
// subclass Python itself raises for EACCES and EPERM; callers that catch OSError still do.
PyObject* refined_type(PyObject* exc_type, const CoreError& err) {
  if (exc_type != PyExc_OSError || err.kind() != ErrorKind::Io) return exc_type;
  for (const int code : {EACCES, EPERM}) {
    if (err.text() == CoreError::io_errno(code).text()) return PyExc_PermissionError;
  }
  return exc_type;
}

}  // namespace

PyObject* raise_core_error(PyObject* exc_type, const CoreError& err) {
  return raise_message(refined_type(exc_type, err), err.render());
}

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) {
  // Type names are "builtins.<Class>"; the message names the class alone.
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", plain_class_name(type));
  return nullptr;
}

}  // namespace tornquil
