// convert.cpp -- checked conversions of Python values given by a test.
#include "convert.h"

namespace vks {

namespace {

// The int `v` as a long long; *overflow set when it does not fit.  False
// with TypeError when `v` is not an int.
bool to_long_long(PyObject *v, const char *what, long long *n, int *overflow) {
  if (!PyLong_Check(v)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, not %.80s", what, Py_TYPE(v)->tp_name);
    return false;
  }
  *n = PyLong_AsLongLongAndOverflow(v, overflow);
  return !(*n == -1 && PyErr_Occurred());
}

}  // namespace

bool to_int32(PyObject *v, const char *what, int32_t *out) {
  long long n = 0;
  int overflow = 0;
  if (!to_long_long(v, what, &n, &overflow)) return false;
  if (overflow != 0 || n < INT32_MIN || n > INT32_MAX) {
    PyErr_Format(PyExc_ValueError, "%s must fit in a signed 32-bit value", what);
    return false;
  }
  *out = static_cast<int32_t>(n);
  return true;
}

bool to_handle(PyObject *v, const char *what, uintptr_t *out) {
  long long n = 0;
  int overflow = 0;
  if (!to_long_long(v, what, &n, &overflow)) return false;
  if (overflow != 0 || n < 0) {
    PyErr_Format(PyExc_ValueError, "%s must be a non-negative handle id", what);
    return false;
  }
  *out = static_cast<uintptr_t>(n);
  return true;
}

bool to_data(PyObject *v, const char *what, std::string *out) {
  if (PyBytes_Check(v)) {
    out->assign(PyBytes_AS_STRING(v), static_cast<size_t>(PyBytes_GET_SIZE(v)));
    return true;
  }
  if (PyByteArray_Check(v)) {
    out->assign(PyByteArray_AS_STRING(v), static_cast<size_t>(PyByteArray_GET_SIZE(v)));
    return true;
  }
  if (PyUnicode_Check(v)) {
    PyRef enc(PyUnicode_AsEncodedString(v, "utf-8", "surrogateescape"));
    if (!enc) return false;
    out->assign(PyBytes_AS_STRING(enc.get()), static_cast<size_t>(PyBytes_GET_SIZE(enc.get())));
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s must be bytes or str, not %.80s", what, Py_TYPE(v)->tp_name);
  return false;
}

bool to_text(PyObject *v, const char *what, Text *out) {
  if (!to_data(v, what, &out->bytes)) return false;
  out->from_str = PyUnicode_Check(v) != 0;
  return true;
}

}  // namespace vks
