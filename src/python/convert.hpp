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
#include "collection/search.hpp"
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

// json.dumps(dict) with every default, then the text parsed. The exceptions of the import,
// the lookup and the call pass unchanged; a non-str result is TypeError "'{}' object cannot
// be converted to 'PyString'"; a text that does not parse is ValueError "Invalid JSON: {}".
std::optional<JsonValue> dict_to_json_value(PyObject* dict);

// The compact JSON text records store. The writer cannot fail on a parsed value.
std::string metadata_to_text(const JsonValue& value);

// A hit as SearchResult payload: id and score moved, metadata written as compact text.
SearchResultData search_hit_to_result(SearchHit&& hit);

}  // namespace tornquil
