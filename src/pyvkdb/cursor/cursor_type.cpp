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

PyGetSetDef cursor_getset[] = {
    {"description", get_description, set_description, "column name", nullptr},
    {"rowcount", get_int32<&CursorObject::rowcount>, set_int32<&CursorObject::rowcount>,
     "rowcount", nullptr},
    {"arraysize", get_int32<&CursorObject::arraysize>, set_int32<&CursorObject::arraysize>,
     "arraysize is data line", nullptr},
    {"lastrowid", cursor_get_lastrowid, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef cursor_methods[] = {
    {"close", on_cursor<cursor_close>(), METH_NOARGS, nullptr},
    {"callproc", on_cursor<cursor_callproc>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"callfunc", on_cursor<cursor_callfunc>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"execute", on_cursor<cursor_execute>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"executemany", on_cursor<cursor_executemany>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"executebatch", on_cursor<cursor_executebatch>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"fetchone", on_cursor<cursor_fetchone>(), METH_NOARGS, nullptr},
    {"clearsize", on_cursor<cursor_clearsize>(), METH_NOARGS, nullptr},
    {"cleartype", on_cursor<cursor_cleartype>(), METH_NOARGS, nullptr},
    {"fetchmany", on_cursor<cursor_fetchmany>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"getResultcolname", on_cursor<cursor_getResultcolname>(), METH_VARARGS, nullptr},
    {"getResultcolseq", on_cursor<cursor_getResultcolseq>(), METH_VARARGS, nullptr},
    {"getResultcolsize", on_cursor<cursor_getResultcolsize>(), METH_VARARGS, nullptr},
    {"getResultcolscale", on_cursor<cursor_getResultcolscale>(), METH_VARARGS, nullptr},
    {"getResultcolisnull", on_cursor<cursor_return_none>(), METH_VARARGS, nullptr},
    {"getResultcoldefault", on_cursor<cursor_return_none>(), METH_VARARGS, nullptr},
    {"getResulttable", on_cursor<cursor_return_none>(), METH_NOARGS, nullptr},
    {"setinputtype", on_cursor<cursor_setinputtype>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"setinputsizes", on_cursor<cursor_setinputsizes>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"fetchall", on_cursor<cursor_fetchall>(), METH_NOARGS, nullptr},
    {"nextset", on_cursor<cursor_nextset>(), METH_NOARGS, nullptr},
    {"getResultRowid", on_cursor<cursor_getResultRowid>(), METH_NOARGS, nullptr},
    {"setoutputsize", cursor_setoutputsize, METH_VARARGS, nullptr},
    {"__enter__", cursor_enter, METH_NOARGS, nullptr},
    {"__exit__", cursor_exit, METH_VARARGS, nullptr},
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
