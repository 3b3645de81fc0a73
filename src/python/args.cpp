// Binding of positional-or-keyword arguments and the per-argument extractors.
#include "python/args.hpp"

#include <string>

#include "python/convert.hpp"
#include "python/py_ref.hpp"

namespace tornquil {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the parameter list of a missing-argument message.
void append_name_list(std::string& msg, const char* const* names, Py_ssize_t n) {
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i != 0) {
      if (n > 2) msg += ',';
      msg += i == n - 1 ? " and " : " ";
    }
    msg += '\'';
    msg += names[i];
    msg += '\'';
  }
}

bool too_many_positional(const ArgSpec& spec, Py_ssize_t given) {
  const char* was = given == 1 ? "was" : "were";
  if (spec.required != spec.count) {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 spec.full_name, spec.required, spec.count, given, was);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 spec.full_name, spec.count, given, was);
  }
  return false;
}

// Places one keyword argument; false with TypeError for an unknown or duplicated name.
bool place_keyword(const ArgSpec& spec, PyObject* key, PyObject* value, PyObject** out) {
  if (PyUnicode_Check(key)) {
    for (Py_ssize_t i = 0; i < spec.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, spec.names[i]) != 0) continue;
      if (out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", spec.full_name,
                     spec.names[i]);
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", spec.full_name, key);
  return false;
}

// After every argument is placed: each parameter without a default must have one.
bool check_required(const ArgSpec& spec, PyObject** out) {
  const char* missing[kMaxParams];
  Py_ssize_t n = 0;
  for (Py_ssize_t i = 0; i < spec.required; ++i) {
    if (out[i] == nullptr) missing[n++] = spec.names[i];
  }
  if (n == 0) return true;
  std::string msg = spec.full_name;
  msg += " missing ";
  msg += std::to_string(n);
  msg += n == 1 ? " required positional argument: " : " required positional arguments: ";
  append_name_list(msg, missing, n);
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

// Replaces a pending TypeError (exactly that type; subclasses pass) by
// "argument '{name}': {message}", keeping the original's cause. Other errors pass.
bool argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value);
  PyRef owned_tb = PyRef::steal(tb);
  if (type != PyExc_TypeError) {
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_tb.release());
    return false;
  }
  PyRef text = PyRef::steal(PyObject_Str(value));
  if (!text) return false;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return false;
  PyRef remapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!remapped) return false;
  PyException_SetCause(remapped.get(), PyException_GetCause(value));  // steals the new ref
  PyErr_SetObject(PyExc_TypeError, remapped.get());
  return false;
}

}  // namespace

bool raise_cannot_convert(PyObject* obj, const char* target) {
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
  return false;
}

bool bind_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
  for (Py_ssize_t i = 0; i < spec.count; ++i) out[i] = nullptr;
  if (nargs > spec.count) return too_many_positional(spec, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (!place_keyword(spec, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
    }
  }
  return check_required(spec, out);
}

bool bind_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
  for (Py_ssize_t i = 0; i < spec.count; ++i) out[i] = nullptr;
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > spec.count) return too_many_positional(spec, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(spec, key, value, out)) return false;
    }
  }
  return check_required(spec, out);
}

bool extract_text(PyObject* obj, const char* name, std::string_view* out) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString");
    return argument_error(name);
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);  // cached by the str itself
  if (utf8 == nullptr) return argument_error(name);
  *out = std::string_view(utf8, static_cast<size_t>(len));
  return true;
}

bool extract_optional_text(PyObject* obj, const char* name, std::optional<std::string_view>* out) {
  if (obj == nullptr || obj == Py_None) {
    out->reset();
    return true;
  }
  std::string_view text;
  if (!extract_text(obj, name, &text)) return false;
  *out = text;
  return true;
}

bool extract_u64(PyObject* obj, const char* name, uint64_t* out) {
  PyRef index;
  if (!PyLong_Check(obj)) {
    index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return argument_error(name);
    obj = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return argument_error(name);
  *out = static_cast<uint64_t>(v);
  return true;
}

bool extract_optional_u64(PyObject* obj, const char* name, std::optional<uint64_t>* out) {
  if (obj == nullptr || obj == Py_None) {
    out->reset();
    return true;
  }
  uint64_t v = 0;
  if (!extract_u64(obj, name, &v)) return false;
  *out = v;
  return true;
}

bool extract_dict(PyObject* obj, const char* name, PyObject** out) {
  if (!PyDict_Check(obj)) {
    raise_cannot_convert(obj, "PyDict");
    return argument_error(name);
  }
  *out = obj;
  return true;
}

bool extract_optional_dict(PyObject* obj, const char* name, PyObject** out) {
  if (obj == nullptr || obj == Py_None) {
    *out = nullptr;
    return true;
  }
  return extract_dict(obj, name, out);
}

bool extract_dict_list(PyObject* obj, const char* name, PyRef* out) {
  PyRef list = sequence_to_list(obj);
  if (!list) return argument_error(name);
  PyObject* unused;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    if (!extract_dict(PyList_GET_ITEM(list.get(), i), name, &unused)) return false;
  }
  *out = std::move(list);
  return true;
}

bool extract_optional_text_list(PyObject* obj, const char* name, PyRef* keep,
                                std::optional<std::vector<std::string_view>>* out) {
  out->reset();
  if (obj == nullptr || obj == Py_None) return true;
  PyRef list = sequence_to_list(obj);
  if (!list) return argument_error(name);
  const Py_ssize_t n = PyList_GET_SIZE(list.get());
  std::vector<std::string_view> texts(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!extract_text(PyList_GET_ITEM(list.get(), i), name, &texts[i])) return false;
  }
  *keep = std::move(list);
  *out = std::move(texts);
  return true;
}

bool extract_optional_u64_list(PyObject* obj, const char* name,
                               std::optional<std::vector<std::optional<uint64_t>>>* out) {
  out->reset();
  if (obj == nullptr || obj == Py_None) return true;
  PyRef list = sequence_to_list(obj);
  if (!list) return argument_error(name);
  const Py_ssize_t n = PyList_GET_SIZE(list.get());
  std::vector<std::optional<uint64_t>> values(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!extract_optional_u64(PyList_GET_ITEM(list.get(), i), name, &values[i])) return false;
  }
  *out = std::move(values);
  return true;
}

}  // namespace tornquil
