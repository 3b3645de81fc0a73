// Text and class-name helpers of the binding.
#include "python/util.hpp"

#include <cstring>

#include "python/py_ref.hpp"

namespace tornquil {

PyObject* unicode_from(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* text_list(const std::vector<std::string>& texts) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < texts.size(); ++i) {
    PyObject* item = unicode_from(texts[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

const char* plain_class_name(const PyTypeObject* type) {
  const char* name = type->tp_name;
  if (const char* dot = std::strrchr(name, '.')) return dot + 1;
  return name;
}

}  // namespace tornquil
