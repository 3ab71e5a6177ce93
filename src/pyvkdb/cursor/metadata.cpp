// Column metadata of the current result: getResultcolname, getResultcolseq,
// getResultcolsize, getResultcolscale and getResultRowid.
#include <cstring>

#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "module/errors.h"
#include "module/int_args.h"
#include "module/pyref.h"

namespace vk {

namespace {

CursorObject *as_cursor(PyObject *self) { return reinterpret_cast<CursorObject *>(self); }

// A zero-terminated text the library wrote into a buffer, as a str.  Bytes
// that are not UTF-8 show as U+FFFD rather than failing the call.
PyObject *text_to_str(const char *text) {
  return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
}

// A failed library call: its error text as an OperationalError, or
// `fallback` when the library left none.
PyObject *raise_failure(CursorObject *self, const char *fallback) {
  char text[VESK_ERROR_TEXT_CAP];
  read_error_text(&self->conn_handle, text);
  if (text[0] == '\0') return raise(OperationalError, fallback);
  PyRef message(text_to_str(text));
  if (!message) return nullptr;
  PyErr_SetObject(OperationalError, message.get());
  return nullptr;
}

bool need_result(CursorObject *self) {
  if (self->result != nullptr) return true;
  raise(OperationalError, "Result is NONE");
  return false;
}

// Item `item` (4 size, 5 scale) of the description tuple of column n.
PyObject *description_item(PyObject *self_obj, PyObject *args, Py_ssize_t item,
                           const char *mismatch) {
  CursorObject *self = as_cursor(self_obj);
  if (!cursor_precondition(self)) return nullptr;
  int n = 0;
  if (!PyArg_ParseTuple(args, "O&", int_arg, &n)) return raise(ProgrammingError, mismatch);
  PyObject *description = self->description;
  if (description == nullptr) {
    return raise(OperationalError,
                 "The result set does not exist and the column width cannot be obtained");
  }
  if (n < 1 || !PyList_Check(description) || n > PyList_GET_SIZE(description)) {
    return raise(OperationalError, "The serial number abnormality");
  }
  // The list may have been replaced by the user: read only what a
  // description tuple would hold there.
  PyObject *tuple = PyList_GET_ITEM(description, n - 1);
  if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) <= item ||
      !PyLong_Check(PyTuple_GET_ITEM(tuple, item))) {
    return raise(ProgrammingError, "The description item is not a description tuple");
  }
  PyObject *value = PyTuple_GET_ITEM(tuple, item);
  Py_INCREF(value);
  return value;
}

}  // namespace

PyObject *cursor_getResultcolname(PyObject *self_obj, PyObject *args) {
  CursorObject *self = as_cursor(self_obj);
  if (!cursor_precondition(self)) return nullptr;
  int n = 0;
  if (!PyArg_ParseTuple(args, "O&", int_arg, &n)) {
    return raise(ProgrammingError, "getResultcolname  Parameter mismatch");
  }
  if (!need_result(self)) return nullptr;
  // The library writes at most VESK_COLUMN_NAME_CAP bytes, zero included;
  // one spare byte keeps the text terminated whatever it wrote.
  char name[VESK_COLUMN_NAME_CAP + 1];
  std::memset(name, 0, sizeof name);
  if (cli_column_name(&self->result, static_cast<int32_t>(n), name) == -1) {
    return raise(OperationalError, "The serial number abnormality");
  }
  name[sizeof name - 1] = '\0';
  return text_to_str(name);
}

PyObject *cursor_getResultcolseq(PyObject *self_obj, PyObject *args) {
  CursorObject *self = as_cursor(self_obj);
  if (!cursor_precondition(self)) return nullptr;
  const char *name = nullptr;
  if (!PyArg_ParseTuple(args, "s", &name)) {
    return raise(ProgrammingError, "getResultcolseq Parameter mismatch");
  }
  if (!need_result(self)) return nullptr;
  int index = cli_column_index(&self->result, name);
  if (index == 0) return raise(OperationalError, "The specified column was not found");
  // A negative result is the lookup failing, not a column number.
  if (index < 0) return raise_failure(self, "The specified column was not found");
  return PyLong_FromLong(index);
}

PyObject *cursor_getResultcolsize(PyObject *self, PyObject *args) {
  return description_item(self, args, 4, "getResultcolsize Parameter mismatch");
}

PyObject *cursor_getResultcolscale(PyObject *self, PyObject *args) {
  return description_item(self, args, 5, "getResultcolscale Parameter mismatch");
}

PyObject *cursor_getResultRowid(PyObject *self_obj, PyObject *) {
  CursorObject *self = as_cursor(self_obj);
  if (!cursor_precondition(self)) return nullptr;
  if (!need_result(self)) return nullptr;
  char rowid[VESK_ROWID_CAP + 1];
  std::memset(rowid, 0, sizeof rowid);
  // Any negative result is a failure (-4 a lost connection as well as -1):
  // the buffer then holds no row identifier.
  if (cli_get_rowid(&self->conn_handle, rowid) < 0) {
    return raise_failure(self, "The row identifier cannot be obtained");
  }
  rowid[sizeof rowid - 1] = '\0';
  return text_to_str(rowid);
}

}  // namespace vk
