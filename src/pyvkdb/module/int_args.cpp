#include "module/int_args.h"

#include <climits>

#include "module/pyref.h"

namespace vk {

bool int_from_index(PyObject *obj, int *out) {
  if (!PyIndex_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  PyRef index(PyNumber_Index(obj));
  if (!index) return false;
  int overflow = 0;
  long v = PyLong_AsLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow > 0 || v > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "signed integer is greater than maximum");
    return false;
  }
  if (overflow < 0 || v < INT_MIN) {
    PyErr_SetString(PyExc_OverflowError, "signed integer is less than minimum");
    return false;
  }
  *out = static_cast<int>(v);
  return true;
}

int int_arg(PyObject *obj, void *out) { return int_from_index(obj, static_cast<int *>(out)) ? 1 : 0; }

}  // namespace vk
