// The Python class Collection: a handle on one open core collection, handed out by
// Tornquil.collection and Tornquil.get_collection. Its instance layout, type object and
// the function that wraps a core collection.
#pragma once

#include <Python.h>

#include <memory>

#include "collection/collection.hpp"

namespace tornquil {

// Instance layout of Collection: one strong reference to the shared core collection,
// constructed in place when the object is made and dropped by dealloc. Several objects may
// share one core collection; each keeps it open on its own.
struct CollectionObject {
  PyObject ob_base;
  std::shared_ptr<Collection> core;
};

// The type object, created on first need and kept for the life of the process. Borrowed
// reference, or nullptr with a Python exception set. GIL held.
PyTypeObject* collection_type();

// A new Python Collection holding `core`. New reference, or nullptr with an exception set.
// GIL held.
PyObject* new_collection_object(std::shared_ptr<Collection> core);

}  // namespace tornquil
