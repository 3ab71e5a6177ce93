// The cursor type: construction, members, method table, close, and the
// shared precondition / release / refresh steps.
#include <cstddef>
#include <climits>
#include <cstdlib>

#include "connection/call_guard.h"
#include "connection/connection.h"
#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "module/cfunction.h"
#include "module/errors.h"
#include "module/int_args.h"
#include "module/pyref.h"

namespace vk {

namespace {

CursorObject *as_cursor(PyObject *self) { return reinterpret_cast<CursorObject *>(self); }

void free_declared_lists(CursorObject *self) {
  std::free(self->types);
  self->types = nullptr;
  self->type_count = 0;
  std::free(self->sizes);
  self->sizes = nullptr;
  self->size_count = 0;
}

PyObject *cursor_new(PyTypeObject *type, PyObject *, PyObject *) {
  PyObject *obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  CursorObject *self = as_cursor(obj);
  Py_INCREF(Py_None);
  self->description = Py_None;
  self->flags &= ~(kPreparedStatement | kNamedCursorOpen);
  self->rowcount = 0;
  self->types = nullptr;
  self->sizes = nullptr;
  self->arraysize = 1;
  return obj;
}

int cursor_init(PyObject *self_obj, PyObject *args, PyObject *kwds) {
  CursorObject *self = as_cursor(self_obj);
  static const char *kwlist[] = {"conn", "name", nullptr};
  PyObject *conn = nullptr;
  PyObject *name = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!|O", const_cast<char **>(kwlist),
                                   &ConnectionType, &conn, &name)) {
    return -1;
  }
  // A cursor whose connection is running a call cannot be moved elsewhere
  // under that call.
  if (self->connection != nullptr && self->connection->call_owner != nullptr) {
    PyErr_SetString(ProgrammingError, "the connection is in use by another call");
    return -1;
  }
  // Re-initialising a cursor drops what the earlier initialisation took.
  cursor_release_result(self);
  Py_INCREF(conn);
  Py_XSETREF(self->connection, reinterpret_cast<ConnectionObject *>(conn));
  self->conn_handle = self->connection->handle;
  self->conn_handle_slot = &self->connection->handle;
  self->generation = self->connection->generation;
  self->flags &= ~(kPreparedStatement | kNamedCursorOpen);
  self->arraysize = 1;
  self->second_counter = 0;
  self->rowcount = 0;
  self->third_counter = 0;
  self->result_kind = -1;
  free_declared_lists(self);
  cursor_set_description(self, nullptr);
  return 0;
}

void cursor_dealloc(PyObject *self_obj) {
  CursorObject *self = as_cursor(self_obj);
  PyObject_GC_UnTrack(self_obj);
  if (self->weakreflist != nullptr) PyObject_ClearWeakRefs(self_obj);
  // A result still held goes back to the library, so nothing leaks there.
  cursor_release_result(self);
  Py_CLEAR(self->description);
  self->conn_handle_slot = nullptr;
  Py_CLEAR(self->connection);
  free_declared_lists(self);
  std::free(self->cursor_name);
  self->cursor_name = nullptr;
  fetch_scratch_free(self->fetch_scratch);
  self->fetch_scratch = nullptr;
  Py_TYPE(self_obj)->tp_free(self_obj);
}

int cursor_traverse(PyObject *self_obj, visitproc visit, void *arg) {
  CursorObject *self = as_cursor(self_obj);
  Py_VISIT(self->description);
  Py_VISIT(reinterpret_cast<PyObject *>(self->connection));
  return 0;
}

// Breaking a reference cycle: the result goes back while the connection is
// still held, then the references go.
int cursor_clear(PyObject *self_obj) {
  CursorObject *self = as_cursor(self_obj);
  cursor_release_result(self);
  Py_CLEAR(self->description);
  self->conn_handle_slot = nullptr;
  Py_CLEAR(self->connection);
  return 0;
}

PyObject *cursor_close(PyObject *self_obj, PyObject *) {
  CursorObject *self = as_cursor(self_obj);
  if ((self->flags & kResultReleased) == 0) {
    self->flags |= kResultReleased;
    if (self->result != nullptr) cursor_release_result(self);
  }
  Py_RETURN_NONE;
}

PyObject *cursor_return_none(PyObject *, PyObject *) { Py_RETURN_NONE; }

// Every method runs under a claim of the cursor's connection.
template <auto Method>
PyCFunction on_cursor() {
  return as_cfunction(&Guarded<cursor_connection_of, Method>::call);
}

// rowcount and arraysize: signed 32-bit fields taking whole numbers only;
// other values raise TypeError, out-of-range ones OverflowError, and leave
// the field as it was.
template <int32_t CursorObject::*Field>
PyObject *get_int32(PyObject *self, void *) {
  return PyLong_FromLong(as_cursor(self)->*Field);
}

template <int32_t CursorObject::*Field>
int set_int32(PyObject *self, PyObject *value, void *) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, "can't delete numeric/char attribute");
    return -1;
  }
  int v = 0;
  if (!int_from_index(value, &v)) return -1;
  as_cursor(self)->*Field = static_cast<int32_t>(v);
  return 0;
}

PyObject *get_description(PyObject *self, void *) {
  PyObject *d = as_cursor(self)->description;
  if (d == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "description");
    return nullptr;
  }
  Py_INCREF(d);
  return d;
}

int set_description(PyObject *self, PyObject *value, void *) {
  if (value == nullptr && as_cursor(self)->description == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "description");
    return -1;
  }
  Py_XINCREF(value);
  cursor_set_description(as_cursor(self), value);
  return 0;
}

// The attributes' docs, then the methods': those start with a text
// signature (name(...)\n--\n\n) so that inspect.signature and help() show
// the arguments.
PyDoc_STRVAR(description_doc,
             "The columns of the current result: a list of (name, type name, None, None,\n"
             "size, scale, None) tuples, one per column; None after a statement without\n"
             "rows.  Absent (AttributeError) before the first execution and after close.");
PyDoc_STRVAR(rowcount_doc,
             "The row count of the last statement as the library reports it (-1: not\n"
             "known); 0 before any statement.");
PyDoc_STRVAR(arraysize_doc,
             "The number of rows fetchmany() reads when given no size; 1 at first.");
PyDoc_STRVAR(lastrowid_doc,
             "The row id of the last row inserted on the connection by the embedded\n"
             "engine; None before any insert, on the server engine and once the\n"
             "connection is closed.");

PyDoc_STRVAR(close_doc,
             "close($self, /)\n--\n\n"
             "Give back the current result.  The cursor stays usable.");
PyDoc_STRVAR(callproc_doc,
             "callproc($self, name, params=None, directions=None, /)\n--\n\n"
             "Run the stored procedure `name` with `params` and return a new list of\n"
             "every parameter's value after the call.  `directions` holds one code per\n"
             "parameter: 1 input (the default), 2 output, 3 input and output; 2 and 3\n"
             "need types declared with setinputtype().  A returned server cursor becomes\n"
             "the current result.  Raises ProgrammingError for bad arguments and\n"
             "OperationalError (or a subclass by SQLSTATE) when the call fails.");
PyDoc_STRVAR(callfunc_doc,
             "callfunc($self, name, params=None, directions=None, /)\n--\n\n"
             "Run the function `name` as callproc() does and return the list of the\n"
             "parameters' values with the function's return value appended.");
PyDoc_STRVAR(execute_doc,
             "execute($self, sql, params=None, /)\n--\n\n"
             "Run one statement with one parameter set (a sequence for ? placeholders\n"
             "or a dict for :name, @name, $name) and make its result the current one.\n"
             "Returns None.  Raises ProgrammingError for bad arguments or a value that\n"
             "cannot be sent, OperationalError (or a subclass by SQLSTATE) when the\n"
             "statement fails.");
PyDoc_STRVAR(executemany_doc,
             "executemany($self, sql, seq_of_params=None, /)\n--\n\n"
             "Run `sql` once for each parameter set of `seq_of_params` (lists, tuples\n"
             "or dicts; a generator is read once).  Returns None; raises as execute().");
PyDoc_STRVAR(executebatch_doc,
             "executebatch($self, sql, columns, /)\n--\n\n"
             "Run `sql` for many rows in one library call, the parameters given column\n"
             "by column: `columns` holds one sequence of values per placeholder, all of\n"
             "the same length.  Returns None; rowcount is the number of rows.  Raises\n"
             "ProgrammingError for columns that disagree, OperationalError on failure.");
PyDoc_STRVAR(fetchone_doc,
             "fetchone($self, /)\n--\n\n"
             "Return the next row of the current result as a tuple, or None when the\n"
             "rows are used up.  Raises ProgrammingError when there is no result set.");
PyDoc_STRVAR(fetchmany_doc,
             "fetchmany($self, size=0)\n--\n\n"
             "Return a list of up to `size` next rows (arraysize rows for 0); an empty\n"
             "list when the rows are used up, None when there is no result set.");
PyDoc_STRVAR(fetchall_doc,
             "fetchall($self, /)\n--\n\n"
             "Return a list of every remaining row of the current result.  Raises\n"
             "ProgrammingError when there is no result set.");
PyDoc_STRVAR(nextset_doc,
             "nextset($self, /)\n--\n\n"
             "Move to the next result set: returns \"TRUE\" when there is one, None when\n"
             "there is none.  Raises ProgrammingError when there is no result at all.");
PyDoc_STRVAR(clearsize_doc,
             "clearsize($self, /)\n--\n\n"
             "Forget the sizes declared with setinputsizes().");
PyDoc_STRVAR(cleartype_doc,
             "cleartype($self, /)\n--\n\n"
             "Forget the type codes declared with setinputtype().");
PyDoc_STRVAR(setinputtype_doc,
             "setinputtype($self, types, /)\n--\n\n"
             "Declare one type code (an int) per routine parameter, and for callfunc()\n"
             "one more for the return value.  Raises ProgrammingError for None or a\n"
             "value that is not an int.");
PyDoc_STRVAR(setinputsizes_doc,
             "setinputsizes($self, sizes, /)\n--\n\n"
             "Declare the buffer size of each routine parameter (None: the default).\n"
             "Raises ProgrammingError for a value that is neither an int nor None.");
PyDoc_STRVAR(setoutputsize_doc,
             "setoutputsize($self, size, column=None, /)\n--\n\n"
             "Accepted and ignored: values come back whole.");
PyDoc_STRVAR(getResultcolname_doc,
             "getResultcolname($self, column, /)\n--\n\n"
             "Return the name of result column `column` (from 1).  Raises\n"
             "OperationalError without a result or for a bad column number.");
PyDoc_STRVAR(getResultcolseq_doc,
             "getResultcolseq($self, name, /)\n--\n\n"
             "Return the number (from 1) of the result column called `name`.  Raises\n"
             "OperationalError without a result or when there is no such column.");
PyDoc_STRVAR(getResultcolsize_doc,
             "getResultcolsize($self, column, /)\n--\n\n"
             "Return the size of result column `column` (from 1) as description gives\n"
             "it.  Raises OperationalError without a description or for a bad number.");
PyDoc_STRVAR(getResultcolscale_doc,
             "getResultcolscale($self, column, /)\n--\n\n"
             "Return the scale of result column `column` (from 1) as description gives\n"
             "it.  Raises OperationalError without a description or for a bad number.");
PyDoc_STRVAR(getResultcolisnull_doc,
             "getResultcolisnull($self, column, /)\n--\n\n"
             "Not supported: returns None.");
PyDoc_STRVAR(getResultcoldefault_doc,
             "getResultcoldefault($self, column, /)\n--\n\n"
             "Not supported: returns None.");
PyDoc_STRVAR(getResulttable_doc,
             "getResulttable($self, /)\n--\n\n"
             "Not supported: returns None.");
PyDoc_STRVAR(getResultRowid_doc,
             "getResultRowid($self, /)\n--\n\n"
             "Return the row id of the last row the connection inserted, as a str.\n"
             "Raises OperationalError without a result or when there is no row id.");
PyDoc_STRVAR(enter_doc,
             "__enter__($self, /)\n--\n\n"
             "Return the cursor itself.");
PyDoc_STRVAR(exit_doc,
             "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\n"
             "Close the cursor; returns False, so an exception goes on.");

PyGetSetDef cursor_getset[] = {
    {"description", get_description, set_description, description_doc, nullptr},
    {"rowcount", get_int32<&CursorObject::rowcount>, set_int32<&CursorObject::rowcount>,
     rowcount_doc, nullptr},
    {"arraysize", get_int32<&CursorObject::arraysize>, set_int32<&CursorObject::arraysize>,
     arraysize_doc, nullptr},
    {"lastrowid", cursor_get_lastrowid, nullptr, lastrowid_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef cursor_methods[] = {
    {"close", on_cursor<cursor_close>(), METH_NOARGS, close_doc},
    {"callproc", on_cursor<cursor_callproc>(), METH_VARARGS | METH_KEYWORDS, callproc_doc},
    {"callfunc", on_cursor<cursor_callfunc>(), METH_VARARGS | METH_KEYWORDS, callfunc_doc},
    {"execute", on_cursor<cursor_execute>(), METH_VARARGS | METH_KEYWORDS, execute_doc},
    {"executemany", on_cursor<cursor_executemany>(), METH_VARARGS | METH_KEYWORDS, executemany_doc},
    {"executebatch", on_cursor<cursor_executebatch>(), METH_VARARGS | METH_KEYWORDS,
     executebatch_doc},
    {"fetchone", on_cursor<cursor_fetchone>(), METH_NOARGS, fetchone_doc},
    {"clearsize", on_cursor<cursor_clearsize>(), METH_NOARGS, clearsize_doc},
    {"cleartype", on_cursor<cursor_cleartype>(), METH_NOARGS, cleartype_doc},
    {"fetchmany", on_cursor<cursor_fetchmany>(), METH_VARARGS | METH_KEYWORDS, fetchmany_doc},
    {"getResultcolname", on_cursor<cursor_getResultcolname>(), METH_VARARGS, getResultcolname_doc},
    {"getResultcolseq", on_cursor<cursor_getResultcolseq>(), METH_VARARGS, getResultcolseq_doc},
    {"getResultcolsize", on_cursor<cursor_getResultcolsize>(), METH_VARARGS, getResultcolsize_doc},
    {"getResultcolscale", on_cursor<cursor_getResultcolscale>(), METH_VARARGS,
     getResultcolscale_doc},
    {"getResultcolisnull", on_cursor<cursor_return_none>(), METH_VARARGS, getResultcolisnull_doc},
    {"getResultcoldefault", on_cursor<cursor_return_none>(), METH_VARARGS, getResultcoldefault_doc},
    {"getResulttable", on_cursor<cursor_return_none>(), METH_NOARGS, getResulttable_doc},
    {"setinputtype", on_cursor<cursor_setinputtype>(), METH_VARARGS | METH_KEYWORDS,
     setinputtype_doc},
    {"setinputsizes", on_cursor<cursor_setinputsizes>(), METH_VARARGS | METH_KEYWORDS,
     setinputsizes_doc},
    {"fetchall", on_cursor<cursor_fetchall>(), METH_NOARGS, fetchall_doc},
    {"nextset", on_cursor<cursor_nextset>(), METH_NOARGS, nextset_doc},
    {"getResultRowid", on_cursor<cursor_getResultRowid>(), METH_NOARGS, getResultRowid_doc},
    {"setoutputsize", on_cursor<cursor_setoutputsize>(), METH_VARARGS, setoutputsize_doc},
    {"__enter__", cursor_enter, METH_NOARGS, enter_doc},
    {"__exit__", cursor_exit, METH_VARARGS, exit_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace {

// True while the cursor's connection is open and still the one it was made
// on: not closed, not opened anew (a new handle), not given back to its pool
// since.
bool connection_is_current(const CursorObject *self) {
  return self->connection != nullptr && self->conn_handle_slot != nullptr &&
         *self->conn_handle_slot != nullptr && self->conn_handle != nullptr &&
         *self->conn_handle_slot == self->conn_handle &&
         self->connection->generation == self->generation;
}

}  // namespace

bool cursor_precondition(CursorObject *self) {
  if (!connection_is_current(self)) {
    PyErr_SetString(OperationalError, "The cursor object does not exist");
    return false;
  }
  return true;
}

void cursor_release_result(CursorObject *self) {
  if (self->result == nullptr) return;
  // Collected or closed from inside another call of the connection: the
  // result waits until that call ends, and nothing of the connection's
  // state (its prepared statement belongs to the running call) is touched.
  if (connection_held_by_other(self->connection, self)) {
    char *name = (self->flags & kNamedCursorOpen) ? self->cursor_name : nullptr;
    if (name == nullptr) std::free(self->cursor_name);
    self->cursor_name = nullptr;
    defer_release(self->connection, self->result, name, self->conn_handle, self->generation);
    self->result = nullptr;
    self->flags &= ~(kNamedCursorOpen | kPreparedStatement);
    cursor_reset_result_state(self);
    return;
  }
  // The named cursor and the prepared statement live on the connection: once
  // it is closed (its handle freed) or lent to someone else they are gone or
  // not ours, and calling the library with the cursor's stale handle copy
  // would touch freed memory.
  const bool connection_live = connection_is_current(self);
  if (self->flags & kNamedCursorOpen) {
    if (connection_live) cli_close_named_cursor(&self->conn_handle, self->cursor_name);
    std::free(self->cursor_name);
    self->cursor_name = nullptr;
    self->flags &= ~kNamedCursorOpen;
  }
  if (self->flags & kPreparedStatement) {
    if (connection_live) cli_unprepare(&self->conn_handle, nullptr);
    self->flags &= ~kPreparedStatement;
  }
  cli_free_result(&self->result);
  self->result = nullptr;
  cursor_reset_result_state(self);
#if PY_VERSION_HEX < 0x03090000
  PyList_ClearFreeList();
#endif
}

void cursor_reset_result_state(CursorObject *self) {
  self->flags |= kResultReleased;
  self->third_counter = 0;
  self->second_counter = 0;
  self->rowcount = 0;
  self->result_kind = -1;
  ++self->result_epoch;
  cursor_set_description(self, nullptr);
}

void cursor_apply_rowcount_rule(CursorObject *self) {
  if (self->third_counter > 0 && self->rowcount <= 0) {
    self->rowcount = self->third_counter;
  } else if (self->result_kind == VESK_KIND_NO_ROWS) {
    self->rowcount = 1;
  }
}

void cursor_refresh_result_info(CursorObject *self, bool force_rows) {
  cli_result_info(&self->result, &self->result_kind, &self->second_counter, &self->rowcount,
                  &self->third_counter, nullptr);
  ++self->result_epoch;
  self->flags &= ~kResultReleased;
  if (force_rows) self->result_kind = VESK_KIND_ROWS;
  cursor_apply_rowcount_rule(self);
}

void cursor_set_description(CursorObject *self, PyObject *value) {
  PyObject *old = self->description;
  self->description = value;
  Py_XDECREF(old);
}

PyTypeObject CursorType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "vkcondb.cursor";
  t.tp_basicsize = sizeof(CursorObject);
  t.tp_dealloc = cursor_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  t.tp_doc = "cursor Object";
  t.tp_traverse = cursor_traverse;
  t.tp_weaklistoffset = offsetof(CursorObject, weakreflist);
  t.tp_clear = cursor_clear;
  t.tp_methods = cursor_methods;
  t.tp_getset = cursor_getset;
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = cursor_iternext;
  t.tp_init = cursor_init;
  t.tp_alloc = PyType_GenericAlloc;
  t.tp_new = cursor_new;
  return t;
}();

}  // namespace vk
