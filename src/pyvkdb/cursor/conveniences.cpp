// What Python users expect of a cursor beyond the core methods: iterating
// over its rows, a with-block that closes it, the row id of the last
// insert, and setoutputsize.
#include <cstdlib>
#include <cstring>

#include "connection/call_guard.h"
#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "module/errors.h"
#include "module/int_args.h"
#include "module/pyref.h"

namespace vk {

namespace {

CursorObject *as_cursor(PyObject *self) { return reinterpret_cast<CursorObject *>(self); }

}  // namespace

ConnectionObject *cursor_connection_of(PyObject *self) { return as_cursor(self)->connection; }

// `for row in cur`: fetchone until it gives None.
PyObject *cursor_iternext(PyObject *self) {
  PyObject *row = Guarded<cursor_connection_of, cursor_fetchone>::call(self, nullptr);
  if (row == Py_None) {
    Py_DECREF(row);
    return nullptr;  // the end, no exception: StopIteration
  }
  return row;
}

PyObject *cursor_enter(PyObject *self, PyObject *) {
  Py_INCREF(self);
  return self;
}

// The with-block closes the cursor (through close, which claims the
// connection itself) and lets any exception go on.
PyObject *cursor_exit(PyObject *self, PyObject *) {
  PyRef done(PyObject_CallMethod(self, "close", nullptr));
  if (!done) return nullptr;
  Py_RETURN_FALSE;
}

// The row id of the last row inserted on the cursor's connection by the
// embedded engine; None before any, on the server engine (where RETURNING
// gives keys) and once the connection is closed.
PyObject *cursor_get_lastrowid(PyObject *self_obj, void *) {
  CursorObject *self = as_cursor(self_obj);
  ConnectionObject *conn = self->connection;
  if (conn == nullptr || !conn->embedded || self->conn_handle == nullptr ||
      self->conn_handle_slot == nullptr || *self->conn_handle_slot != self->conn_handle)
    Py_RETURN_NONE;
  ConnectionClaim claim;
  if (!claim.take(conn, self)) return nullptr;
  char buf[VESK_ROWID_CAP + 1];
  std::memset(buf, 0, sizeof buf);
  if (cli_get_rowid(&self->conn_handle, buf) < 0) Py_RETURN_NONE;
  buf[VESK_ROWID_CAP - 1] = '\0';
  char *end = nullptr;
  long long id = std::strtoll(buf, &end, 10);
  if (end == buf || id == 0) Py_RETURN_NONE;
  return PyLong_FromLongLong(id);
}

// The DB-API's output-size hint, setoutputsize(size[, column]): checked,
// then nothing to do: values come back whole.
PyObject *cursor_setoutputsize(PyObject *self, PyObject *args) {
  if (!cursor_precondition(as_cursor(self))) return nullptr;
  int size = 0;
  int column = 0;
  PyObject *column_obj = Py_None;
  if (!PyArg_ParseTuple(args, "O&|O", int_arg, &size, &column_obj) ||
      (column_obj != Py_None && !int_from_index(column_obj, &column))) {
    PyErr_SetString(ProgrammingError, "setoutputsize  Parameter mismatch");
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace vk
