// Text and class-name helpers of the binding.
#include "python/util.hpp"

#include <cstring>

namespace tornquil {

PyObject* unicode_from(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

const char* plain_class_name(const PyTypeObject* type) {
  const char* name = type->tp_name;
  if (const char* dot = std::strrchr(name, '.')) return dot + 1;
  return name;
}

}  // namespace tornquil
