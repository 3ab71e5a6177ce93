#include "execute/statement_text.h"

#include <cstring>

#include "module/errors.h"

namespace vk {

const char *statement_text(PyObject *sql, const char *method) {
  if (!PyUnicode_Check(sql)) {
    PyErr_Format(ProgrammingError, "%s Parameter mismatch", method);
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char *text = PyUnicode_AsUTF8AndSize(sql, &size);
  if (text == nullptr) {
    PyErr_Format(ProgrammingError, "%s: the SQL text cannot be encoded as UTF-8", method);
    return nullptr;
  }
  if (std::memchr(text, '\0', static_cast<size_t>(size)) != nullptr) {
    PyErr_Format(ProgrammingError, "%s: the SQL text holds a NUL character", method);
    return nullptr;
  }
  return text;
}

}  // namespace vk
