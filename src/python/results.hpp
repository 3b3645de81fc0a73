// The four immutable value classes that carry results out of the module: SearchResult,
// CompactStats, RecoveryStats and ImportStats. Their instance layouts, type objects and the
// constructor functions the other binding files call. Python cannot construct them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "collection/stats.hpp"

namespace tornquil {

// One search hit, or the record returned by `get` (score 0).
struct SearchResultData {
  std::string id;        // UTF-8 record id
  std::string metadata;  // compact JSON text, handed to json.loads when read
  float score = 0.0f;
};

// Instance layout of the four classes: the object header, then the values, which never
// change after creation. `data` is constructed in place after tp_alloc and destroyed by
// the type's dealloc.
template <class Data>
struct ValueObject {
  PyObject ob_base;
  Data data;
};

using SearchResultObject = ValueObject<SearchResultData>;
using CompactStatsObject = ValueObject<CompactStatsData>;
using RecoveryStatsObject = ValueObject<RecoveryStatsData>;
using ImportStatsObject = ValueObject<ImportStatsData>;

// The type objects, created on first need and kept for the life of the process. Each
// returns a borrowed reference, or nullptr with a Python exception set. GIL held.
PyTypeObject* search_result_type();
PyTypeObject* compact_stats_type();
PyTypeObject* recovery_stats_type();
PyTypeObject* import_stats_type();

// New objects of the module's classes. Each returns a new reference, or nullptr with a
// Python exception set. GIL held.
PyObject* make_search_result(std::string id, float score, std::string metadata_json);
PyObject* make_compact_stats(const CompactStatsData& stats);
PyObject* make_recovery_stats(const RecoveryStatsData& stats);
PyObject* make_import_stats(const ImportStatsData& stats);

// The same, into a type object the caller already holds, which must be the matching class
// of a build with this very layout (the test module passes the classes it imported).
PyObject* new_search_result(PyTypeObject* type, SearchResultData data);
PyObject* new_compact_stats(PyTypeObject* type, const CompactStatsData& stats);
PyObject* new_recovery_stats(PyTypeObject* type, const RecoveryStatsData& stats);
PyObject* new_import_stats(PyTypeObject* type, const ImportStatsData& stats);

// The score as the repr shows it: the exact value of the float, fixed-point with four
// decimals, correctly rounded with ties to even; "NaN", "inf" and "-inf" without digits.
std::string format_score(float score);

}  // namespace tornquil
