// The Python class Tornquil: the database handle. Its instance layout and type object.
//
// An instance owns one core Database (collection/database.hpp): the registry, the cache of
// open collections and the recovery counters.
//
// Thread safety: every method runs with the GIL held for its whole call.
#pragma once

#include <Python.h>

#include "collection/database.hpp"

namespace tornquil {

// Instance layout of Tornquil. `handle` is null only while construction has not finished.
struct TornquilObject {
  PyObject ob_base;
  Database* handle;
};

// The type object, created on first need and kept for the life of the process. Borrowed
// reference, or nullptr with a Python exception set. GIL held.
PyTypeObject* tornquil_type();

}  // namespace tornquil
