// Argument binding: how the methods of the module take their arguments. Every parameter is
// positional-or-keyword, in the order of the method's text signature. Binding refuses
// surplus, duplicated, unknown and missing arguments with the binding layer's TypeErrors;
// the extractors then convert one bound argument each, turning a TypeError of the
// conversion into "argument '{}': {}" that names the argument, while every other error
// (OverflowError for -1 or 2**64, UnicodeEncodeError for a lone surrogate) passes unchanged.
//
// Everything here runs with the GIL held. Bound arguments are borrowed references, valid
// for the call that received them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "python/py_ref.hpp"

namespace tornquil {

// A method's parameter list as binding needs it. `full_name` is how the messages name the
// function, e.g. "Collection.add()"; the first `required` names have no default.
struct ArgSpec {
  const char* full_name;
  const char* const* names;
  Py_ssize_t count;
  Py_ssize_t required;
};

// The largest parameter list of any method; binding fills an array of this size.
constexpr Py_ssize_t kMaxParams = 4;

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call: out[i] receives the argument
// of parameter i (borrowed), or nullptr when it was not given. False with TypeError set.
bool bind_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);

// The same for a call with an argument tuple and an optional keyword dict (tp_new).
bool bind_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

// ---- Extractors: each returns false with an exception set ----

// A str (or subclass) as its UTF-8 text. The view stays valid while `obj` lives.
bool extract_text(PyObject* obj, const char* name, std::string_view* out);
// None or absent (nullptr) gives nullopt; otherwise as extract_text.
bool extract_optional_text(PyObject* obj, const char* name, std::optional<std::string_view>* out);

// An int, or an object with an integer index, from 0 to 2**64 - 1.
bool extract_u64(PyObject* obj, const char* name, uint64_t* out);
bool extract_optional_u64(PyObject* obj, const char* name, std::optional<uint64_t>* out);

// A dict (or subclass); the result is `obj` itself, borrowed.
bool extract_dict(PyObject* obj, const char* name, PyObject** out);
// None or absent gives nullptr.
bool extract_optional_dict(PyObject* obj, const char* name, PyObject** out);

// ---- List extractors of add_batch: a sequence other than str, its items converted as
// the single extractors do; the TypeErrors of the sequence (see sequence_to_list) and of
// its items are prefixed with the argument's name, other errors pass unchanged ----

// A new list whose items are all dicts (or subclasses).
bool extract_dict_list(PyObject* obj, const char* name, PyRef* out);
// None or absent gives nullopt. The views point into the str items, which `keep` holds.
bool extract_optional_text_list(PyObject* obj, const char* name, PyRef* keep,
                                std::optional<std::vector<std::string_view>>* out);
// None or absent gives nullopt; each item is None or as extract_u64.
bool extract_optional_u64_list(PyObject* obj, const char* name,
                               std::optional<std::vector<std::optional<uint64_t>>>* out);

// Raises TypeError "'{}' object cannot be converted to '{}'" with the qualified name of
// obj's type and `target`, and returns false.
bool raise_cannot_convert(PyObject* obj, const char* target);

}  // namespace tornquil
