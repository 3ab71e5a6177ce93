// The declared parameter type and size lists: setinputtype, setinputsizes,
// cleartype, clearsize, and type resolution.
#include <climits>
#include <cstdlib>

#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "module/datetime_slot.h"
#include "module/errors.h"
#include "module/int_args.h"
#include "module/pyref.h"

namespace vk {

namespace {

CursorObject *as_cursor(PyObject *self) { return reinterpret_cast<CursorObject *>(self); }

// What one item of a declared list becomes.  False with an exception set.
using ItemRule = bool (*)(PyObject *item, int32_t &out);

bool int32_of(PyObject *item, int32_t &out) {
  int v = 0;
  if (!int_from_index(item, &v)) return false;
  out = static_cast<int32_t>(v);
  return true;
}

bool type_item(PyObject *item, int32_t &out) {
  if (item == Py_None) {
    raise(ProgrammingError, "setinputtype  Parameter is None");
    return false;
  }
  if (!PyLong_Check(item)) {
    raise(ProgrammingError, "setinputtype  Parameter is not int");
    return false;
  }
  return int32_of(item, out);
}

bool size_item(PyObject *item, int32_t &out) {
  if (item == Py_None) {
    out = -1;
    return true;
  }
  if (!PyLong_Check(item)) {
    raise(ProgrammingError, "setinputsizes  Parameter is not int");
    return false;
  }
  return int32_of(item, out);
}

// Read `source` (length, then items by integer key 0 … n-1) into a new
// array.  False with an exception set; `out` then holds nothing.
bool read_declared_list(PyObject *source, ItemRule rule, const char *method,
                        HeapBlock<int32_t> &out, int32_t &count) {
  Py_ssize_t n = PyObject_Length(source);
  if (n < 0) return false;
  if (n > INT32_MAX) {
    PyErr_Format(ProgrammingError, "%s  Parameter has too many items", method);
    return false;
  }
  HeapBlock<int32_t> block;
  if (!block.alloc_zeroed(static_cast<size_t>(n))) {
    PyErr_NoMemory();
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef key(PyLong_FromSsize_t(i));
    if (!key) return false;
    PyRef item(PyObject_GetItem(source, key.get()));
    if (!item) return false;
    if (!rule(item.get(), block[static_cast<size_t>(i)])) return false;
  }
  out = std::move(block);
  count = static_cast<int32_t>(n);
  return true;
}

PyObject *only_argument(PyObject *args, const char *mismatch) {
  PyObject *source = nullptr;
  if (!PyArg_ParseTuple(args, "O", &source)) {
    raise(ProgrammingError, mismatch);
    return nullptr;
  }
  return source;
}

}  // namespace

PyObject *cursor_setinputtype(PyObject *self_obj, PyObject *args, PyObject *) {
  CursorObject *self = as_cursor(self_obj);
  if (!cursor_precondition(self)) return nullptr;
  PyObject *source = only_argument(args, "setinputtype  Parameter mismatch");
  if (source == nullptr) return nullptr;
  HeapBlock<int32_t> list;
  int32_t count = 0;
  if (!read_declared_list(source, type_item, "setinputtype", list, count)) return nullptr;
  std::free(self->types);
  self->types = list.release();
  self->type_count = count;
  Py_RETURN_NONE;
}

PyObject *cursor_setinputsizes(PyObject *self_obj, PyObject *args, PyObject *) {
  CursorObject *self = as_cursor(self_obj);
  if (!cursor_precondition(self)) return nullptr;
  PyObject *source = only_argument(args, "setinputsizes  Parameter mismatch");
  if (source == nullptr) return nullptr;
  HeapBlock<int32_t> list;
  int32_t count = 0;
  if (!read_declared_list(source, size_item, "setinputsizes", list, count)) return nullptr;
  std::free(self->sizes);
  self->sizes = list.release();
  self->size_count = count;
  Py_RETURN_NONE;
}

PyObject *cursor_cleartype(PyObject *self_obj, PyObject *) {
  CursorObject *self = as_cursor(self_obj);
  if (!cursor_precondition(self)) return nullptr;
  std::free(self->types);
  self->types = nullptr;
  self->type_count = 0;
  Py_RETURN_NONE;
}

PyObject *cursor_clearsize(PyObject *self_obj, PyObject *) {
  CursorObject *self = as_cursor(self_obj);
  if (!cursor_precondition(self)) return nullptr;
  std::free(self->sizes);
  self->sizes = nullptr;
  self->size_count = 0;
  Py_RETURN_NONE;
}

int32_t cursor_resolve_type(CursorObject *self, PyObject *value, Py_ssize_t pos) {
  if (value == nullptr) {
    raise(ProgrammingError, "The parameter variable is empty");
    return -1;
  }
  if (self->types != nullptr) {
    if (pos >= 0 && pos < self->type_count) {
      // A declared negative code names no type, like code 0, and must not
      // read as this function's failure value to its callers.
      const int32_t declared = self->types[pos];
      return declared < 0 ? VESK_TYPE_NULL : declared;
    }
    raise(ProgrammingError, "The parameter is out of range");
    return -1;
  }
  if (PyLong_Check(value)) return VESK_TYPE_BIGINT;
  if (is_datetime(value)) return VESK_TYPE_DATETIME;
  if (is_date(value)) return VESK_TYPE_DATE;
  if (is_time(value)) return VESK_TYPE_TIME;
  if (PyFloat_Check(value)) return VESK_TYPE_DOUBLE;
  if (PyUnicode_Check(value)) return VESK_TYPE_VARCHAR;
  if (PyBytes_Check(value)) return VESK_TYPE_BINARY;
  return VESK_TYPE_NULL;
}

int32_t cursor_declared_size(const CursorObject *self, Py_ssize_t index) {
  if (self->sizes == nullptr || index < 0 || index >= self->size_count) return -1;
  return self->sizes[index];
}

}  // namespace vk
