// Conversions between Python objects and the core's values: a vector argument into floats
// (NumPy fast paths, then the sequence protocol), a metadata dict into a JSON value through
// Python's json.dumps, a JSON value into the compact text records store, and a search hit
// into the payload of a SearchResult.
//
// Every function runs with the GIL held and touches no collection state. A conversion that
// fails leaves nothing behind and sets the Python exception its caller raises unchanged.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "base/json_value.hpp"
#include "collection/batch_insert.hpp"
#include "collection/search.hpp"
#include "python/py_ref.hpp"
#include "python/results.hpp"

namespace tornquil {

// Loads NumPy's C API table once per process (numpy._core.multiarray, else
// numpy.core.multiarray). False with the import's exception set when NumPy cannot be
// loaded; a later call tries again.
bool ensure_numpy_api();

// The vector argument as 32-bit floats, replacing `out`'s contents. In order: a contiguous
// one-dimensional float32 array is copied in one block; a contiguous one-dimensional float64
// array is narrowed element by element; a str is refused with TypeError "Can't extract `str`
// to `Vec`"; anything that is not a sequence with TypeError "'{}' object cannot be converted
// to 'Sequence'"; every other object is iterated, each item through Python's float
// conversion. The length is not checked here. False with the exception set.
bool extract_vector(PyObject* obj, std::vector<float>& out);

// A sequence other than str as a new list of its items (room reserved from its length, a
// length error cleared). A str is refused with TypeError "Can't extract `str` to `Vec`",
// anything that is not a sequence with TypeError "'{}' object cannot be converted to
// 'Sequence'". Null with the exception set.
PyRef sequence_to_list(PyObject* obj);

// The `vectors` argument of add_batch, as rows for the core. A two-dimensional float32 or
// float64 array (or subclass) is read in place through its shape and strides, whatever its
// layout: `source` holds it, so it outlives the call that reads it without the GIL. Any
// other argument goes through sequence_to_list and extract_vector item by item, into rows
// packed end to end.
struct BatchVectorsArg {
  PyRef source;
  std::vector<float> floats;
  std::vector<size_t> offsets;
  BatchRows rows = BatchRows::packed({}, {});
};

// Fills `out` (fresh). The errors are those of sequence_to_list and of extract_vector for
// the first item that fails, unchanged. False with the exception set.
bool extract_batch_vectors(PyObject* obj, BatchVectorsArg& out);

// The dicts of a list, in order, each converted as dict_to_json_value and then
// metadata_to_text would convert it, into the compact text records store (one pass from the
// dumps text, no value built). The first failure ends the conversion, its exception
// unchanged. False with the exception set.
bool collect_metadata_texts(PyObject* dict_list, std::vector<std::string>& out);

// json.dumps(dict) with every default, then the text parsed. The exceptions of the import,
// the lookup and the call pass unchanged; a non-str result is TypeError "'{}' object cannot
// be converted to 'PyString'"; a text that does not parse is ValueError "Invalid JSON: {}".
std::optional<JsonValue> dict_to_json_value(PyObject* dict);

// The compact JSON text records store. The writer cannot fail on a parsed value.
std::string metadata_to_text(const JsonValue& value);

// A hit as SearchResult payload: id and score moved, metadata written as compact text.
SearchResultData search_hit_to_result(SearchHit&& hit);

}  // namespace tornquil
