// SearchResult, CompactStats, RecoveryStats and ImportStats: their heap types, read-only
// getters and reprs, and the functions that fill new instances.
#include "python/results.hpp"

#include <charconv>
#include <cmath>
#include <new>
#include <utility>

#include "base/json_read.hpp"
#include "base/json_write.hpp"
#include "python/errors.hpp"
#include "python/memory.hpp"
#include "python/py_ref.hpp"
#include "python/util.hpp"

namespace tornquil {
namespace {

// ---- Shared machinery of the four classes ----

template <class Data>
Data& data_of(PyObject* self) {
  return reinterpret_cast<ValueObject<Data>*>(self)->data;
}

// Heap-type dealloc: destroy the values, free the object, drop its reference to the type.
template <class Data>
void value_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  data_of<Data>(self).~Data();
  type->tp_free(self);
  Py_DECREF(type);
}

// A new instance of `type` holding `data`; nullptr with an exception when allocation fails.
template <class Data>
PyObject* new_value(PyTypeObject* type, Data data) {
  PyObject* self = type->tp_alloc(type, 0);  // takes its own reference to the heap type
  if (self == nullptr) return nullptr;
  new (&data_of<Data>(self)) Data(std::move(data));
  return self;
}

// One getter per unsigned field; counts are always non-negative Python ints.
template <class Data, uint64_t Data::*Field>
PyObject* get_u64(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(data_of<Data>(self).*Field);
}

// Creates the heap type from its PyType_Spec once and keeps it for the life of the process.
PyTypeObject* type_once(PyTypeObject*& slot, PyType_Spec* spec) {
  if (slot == nullptr) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  return slot;
}

void append_u64(std::string& out, uint64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// ---- SearchResult ----

PyObject* search_result_id(PyObject* self, void*) {
  return unicode_from(data_of<SearchResultData>(self).id);
}

PyObject* search_result_score(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(data_of<SearchResultData>(self).score));
}

// A new object on every read: the stored text is parsed, written out again by the one
// compact writer, and handed to json.loads, so a dict comes back with sorted keys.
PyObject* search_result_metadata(PyObject* self, void*) {
  auto parsed = parse_json(data_of<SearchResultData>(self).metadata);
  if (!parsed) {
    const std::string why = parsed.error().describe();
    PyErr_Format(PyExc_ValueError, "Invalid metadata JSON: %s", why.c_str());
    return nullptr;
  }
  PyRef json = PyRef::steal(import_json_module());
  if (!json) return nullptr;
  // The compact writer has no failure of its own (a parsed value is always finite), so the
  // "JSON serialization error: {}" path cannot be reached.
  const std::string text = to_compact_json(*parsed);
  PyRef loads = PyRef::steal(PyObject_GetAttrString(json.get(), "loads"));
  if (!loads) return nullptr;
  PyRef arg = PyRef::steal(unicode_from(text));
  if (!arg) return nullptr;
  return PyObject_CallOneArg(loads.get(), arg.get());
}

PyObject* search_result_repr(PyObject* self) {
  const SearchResultData& d = data_of<SearchResultData>(self);
  // The id and the JSON text go in as stored: nothing is escaped or quoted again.
  std::string out;
  out.reserve(48 + d.id.size() + d.metadata.size());
  out += "SearchResult(id='";
  out += d.id;
  out += "', score=";
  out += format_score(d.score);
  out += ", metadata=";
  out += d.metadata;
  out += ')';
  return unicode_from(out);
}

PyGetSetDef search_result_getset[] = {
    {"id", guarded<search_result_id>, nullptr, "Record ID.", nullptr},
    {"score", guarded<search_result_score>, nullptr, "Similarity/distance score.", nullptr},
    {"metadata", guarded<search_result_metadata>, nullptr, "Get the metadata as a Python dict.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot search_result_slots[] = {
    {Py_tp_doc, const_cast<char*>("Search result from a vector query.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc<SearchResultData>)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<search_result_repr>)},
    {Py_tp_getset, search_result_getset},
    {0, nullptr},
};

PyType_Spec search_result_spec = {
    .name = "builtins.SearchResult",
    .basicsize = sizeof(SearchResultObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = search_result_slots,
};

// ---- CompactStats ----

constexpr const char* kDurationDoc = "Duration in milliseconds.";

PyObject* compact_stats_repr(PyObject* self) {
  const CompactStatsData& d = data_of<CompactStatsData>(self);
  std::string out = "CompactStats(expired_removed=";
  append_u64(out, d.expired_removed);
  out += ", tombstones_removed=";
  append_u64(out, d.tombstones_removed);
  out += ", bytes_freed=";
  append_u64(out, d.bytes_freed);
  out += ", duration_ms=";
  append_u64(out, d.duration_ms);
  out += ')';
  return unicode_from(out);
}

PyGetSetDef compact_stats_getset[] = {
    {"expired_removed", guarded<get_u64<CompactStatsData, &CompactStatsData::expired_removed>>,
     nullptr, "Number of expired records removed.", nullptr},
    {"tombstones_removed",
     guarded<get_u64<CompactStatsData, &CompactStatsData::tombstones_removed>>, nullptr,
     "Number of tombstone records removed.", nullptr},
    {"bytes_freed", guarded<get_u64<CompactStatsData, &CompactStatsData::bytes_freed>>, nullptr,
     "Bytes freed (approximate).", nullptr},
    {"duration_ms", guarded<get_u64<CompactStatsData, &CompactStatsData::duration_ms>>, nullptr,
     kDurationDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot compact_stats_slots[] = {
    {Py_tp_doc, const_cast<char*>("Statistics from a compaction operation.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc<CompactStatsData>)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<compact_stats_repr>)},
    {Py_tp_getset, compact_stats_getset},
    {0, nullptr},
};

PyType_Spec compact_stats_spec = {
    .name = "builtins.CompactStats",
    .basicsize = sizeof(CompactStatsObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = compact_stats_slots,
};

// ---- RecoveryStats ----

PyObject* recovery_stats_repr(PyObject* self) {
  const RecoveryStatsData& d = data_of<RecoveryStatsData>(self);
  std::string out = "RecoveryStats(promoted=";
  append_u64(out, d.promoted);
  out += ", rolled_back=";
  append_u64(out, d.rolled_back);
  out += ", tombstones=";
  append_u64(out, d.tombstones);
  out += ')';
  return unicode_from(out);
}

PyGetSetDef recovery_stats_getset[] = {
    {"promoted", guarded<get_u64<RecoveryStatsData, &RecoveryStatsData::promoted>>, nullptr,
     "Records promoted from Pending to Active.", nullptr},
    {"rolled_back", guarded<get_u64<RecoveryStatsData, &RecoveryStatsData::rolled_back>>, nullptr,
     "Records rolled back (incomplete writes).", nullptr},
    {"tombstones", guarded<get_u64<RecoveryStatsData, &RecoveryStatsData::tombstones>>, nullptr,
     "Tombstone records found.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot recovery_stats_slots[] = {
    {Py_tp_doc, const_cast<char*>("Statistics from crash recovery.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc<RecoveryStatsData>)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<recovery_stats_repr>)},
    {Py_tp_getset, recovery_stats_getset},
    {0, nullptr},
};

PyType_Spec recovery_stats_spec = {
    .name = "builtins.RecoveryStats",
    .basicsize = sizeof(RecoveryStatsObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = recovery_stats_slots,
};

// ---- ImportStats ----

PyObject* import_stats_repr(PyObject* self) {
  const ImportStatsData& d = data_of<ImportStatsData>(self);
  std::string out = "ImportStats(imported=";
  append_u64(out, d.imported);
  out += ", skipped=";
  append_u64(out, d.skipped);
  out += ", failed=";
  append_u64(out, d.failed);
  out += ", duration_ms=";
  append_u64(out, d.duration_ms);
  out += ')';
  return unicode_from(out);
}

PyGetSetDef import_stats_getset[] = {
    {"imported", guarded<get_u64<ImportStatsData, &ImportStatsData::imported>>, nullptr,
     "Number of records successfully imported.", nullptr},
    {"skipped", guarded<get_u64<ImportStatsData, &ImportStatsData::skipped>>, nullptr,
     "Number of records skipped.", nullptr},
    {"failed", guarded<get_u64<ImportStatsData, &ImportStatsData::failed>>, nullptr,
     "Number of records that failed to import.", nullptr},
    {"duration_ms", guarded<get_u64<ImportStatsData, &ImportStatsData::duration_ms>>, nullptr,
     kDurationDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot import_stats_slots[] = {
    {Py_tp_doc, const_cast<char*>("Statistics from an import operation.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc<ImportStatsData>)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<import_stats_repr>)},
    {Py_tp_getset, import_stats_getset},
    {0, nullptr},
};

PyType_Spec import_stats_spec = {
    .name = "builtins.ImportStats",
    .basicsize = sizeof(ImportStatsObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = import_stats_slots,
};

// Written once under the GIL, never released.
PyTypeObject* g_search_result_type = nullptr;
PyTypeObject* g_compact_stats_type = nullptr;
PyTypeObject* g_recovery_stats_type = nullptr;
PyTypeObject* g_import_stats_type = nullptr;

}  // namespace

std::string format_score(float score) {
  if (std::isnan(score)) return "NaN";
  if (std::isinf(score)) return score < 0 ? "-inf" : "inf";
  // Widening is exact, and to_chars with a precision prints the exact decimal value
  // correctly rounded (ties to even), with the sign of a negative zero.
  char buf[64];  // the largest float has 39 integer digits
  auto r =
      std::to_chars(buf, buf + sizeof buf, static_cast<double>(score), std::chars_format::fixed, 4);
  return std::string(buf, r.ptr);
}

PyTypeObject* search_result_type() { return type_once(g_search_result_type, &search_result_spec); }
PyTypeObject* compact_stats_type() { return type_once(g_compact_stats_type, &compact_stats_spec); }
PyTypeObject* recovery_stats_type() {
  return type_once(g_recovery_stats_type, &recovery_stats_spec);
}
PyTypeObject* import_stats_type() { return type_once(g_import_stats_type, &import_stats_spec); }

PyObject* new_search_result(PyTypeObject* type, SearchResultData data) {
  return new_value(type, std::move(data));
}
PyObject* new_compact_stats(PyTypeObject* type, const CompactStatsData& stats) {
  return new_value(type, stats);
}
PyObject* new_recovery_stats(PyTypeObject* type, const RecoveryStatsData& stats) {
  return new_value(type, stats);
}
PyObject* new_import_stats(PyTypeObject* type, const ImportStatsData& stats) {
  return new_value(type, stats);
}

PyObject* make_search_result(std::string id, float score, std::string metadata_json) {
  PyTypeObject* type = search_result_type();
  if (type == nullptr) return nullptr;
  return new_search_result(type, SearchResultData{std::move(id), std::move(metadata_json), score});
}

PyObject* make_compact_stats(const CompactStatsData& stats) {
  PyTypeObject* type = compact_stats_type();
  return type == nullptr ? nullptr : new_compact_stats(type, stats);
}

PyObject* make_recovery_stats(const RecoveryStatsData& stats) {
  PyTypeObject* type = recovery_stats_type();
  return type == nullptr ? nullptr : new_recovery_stats(type, stats);
}

PyObject* make_import_stats(const ImportStatsData& stats) {
  PyTypeObject* type = import_stats_type();
  return type == nullptr ? nullptr : new_import_stats(type, stats);
}

}  // namespace tornquil
