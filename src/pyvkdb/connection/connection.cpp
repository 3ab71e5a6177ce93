// The connection type: construction, transactions, liveness, database
// switch, cursor creation and close.
#include "connection/connection.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "connection/call_guard.h"
#include "connection/pool.h"
#include "cursor/cursor.h"
#include "module/cfunction.h"
#include "module/errors.h"
#include "module/int_args.h"
#include "module/pyref.h"

namespace vk {

namespace {

constexpr size_t kStatementSize = 256;  // "USE %s;" with its terminating zero

ConnectionObject *as_conn(PyObject *self) { return reinterpret_cast<ConnectionObject *>(self); }

// Raise OperationalError `message` for a failed connect and carry the
// library's `reason` with it: as the exception's __cause__ (an
// OperationalError holding the reason) on every Python, and as a note where
// exceptions have notes.  The message itself stays as it is.
void raise_connect_failure(const char *message, const char *reason) {
  PyErr_SetString(OperationalError, message);
  if (reason == nullptr || reason[0] == '\0') return;
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef text(PyUnicode_DecodeUTF8(reason, static_cast<Py_ssize_t>(std::strlen(reason)), "replace"));
  if (value != nullptr && text) {
    PyObject *cause = PyObject_CallFunctionObjArgs(OperationalError, text.get(), nullptr);
    if (cause != nullptr) PyException_SetCause(value, cause);  // takes `cause`
    if (PyObject_HasAttrString(value, "add_note")) {
      PyRef r(PyObject_CallMethod(value, "add_note", "O", text.get()));
    }
  }
  PyErr_Clear();  // whatever failed above, the connect error is what is raised
  PyErr_Restore(type, value, tb);
}

// Send one control statement; negative results raise DatabaseError `failure`.
PyObject *run_transaction_command(ConnectionObject *self, const char *sql, const char *failure) {
  if (self->handle == nullptr) return raise(OperationalError, "Connection does not exist");
  if (cli_exec_command(&self->handle, sql) < 0) return raise(DatabaseError, failure);
  Py_RETURN_NONE;
}

int connection_init(PyObject *self_obj, PyObject *args, PyObject *kwds) {
  ConnectionObject *self = as_conn(self_obj);
  static const char *kwlist[] = {"host", "port", "database", "user", "password",
                                 "charset", "usessl", "usetls", "usetlcp", nullptr};
  const char *host, *database, *user, *password, *charset, *usessl, *usetls, *usetlcp;
  int port = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "sO&sssssss", const_cast<char **>(kwlist), &host,
                                   int_arg, &port, &database, &user, &password, &charset, &usessl,
                                   &usetls, &usetlcp)) {
    std::fputs("-- connection_setup error", stdout);
    return -1;
  }
  // A connection object opens once; calling __init__ again must not leak or
  // replace the handle it holds.
  if (self->handle != nullptr) {
    PyErr_SetString(ProgrammingError, "connection is already open");
    return -1;
  }
  const bool host_list = std::strchr(host, ',') != nullptr;
  if (port < 0 || port > 65535 || (port == 0 && host[0] != '\0')) {
    PyErr_Format(ProgrammingError,
                 "port %d is out of range: expected 1 to 65535 (0 only for the embedded engine)",
                 port);
    return -1;
  }
  self->turnIP_attrs = nullptr;
  self->multi_address = 0;
  self->embedded = host[0] == '\0';
  char connstr[kConnectStringSize];
  if (!build_connect_string(connstr, host, port, database, user, password, charset, usessl)) {
    PyErr_Format(ProgrammingError,
                 "connection parameters are too long: the connect string must fit in %d bytes",
                 static_cast<int>(kConnectStringSize - 1));
    return -1;
  }
  int rc;
  if (host_list) {
    self->multi_address = 1;
    rc = cli_connect_multi(connstr, 1, &self->turnIP_attrs, &self->handle);
  } else {
    rc = cli_connect(connstr, &self->handle);
  }
  if (rc < 0) {
    char reason[VESK_ERROR_TEXT_CAP];
    read_error_text(&self->handle, reason);
    raise_connect_failure("Connection information is not correct", reason);
    return -1;
  }
  ++self->generation;
  return 0;
}

void connection_dealloc(PyObject *self_obj) {
  ConnectionObject *self = as_conn(self_obj);
  PyObject_GC_UnTrack(self_obj);
  if (self->weakreflist != nullptr) PyObject_ClearWeakRefs(self_obj);
  drop_deferred(self);
  cli_disconnect(&self->handle);
  if (self->turnIP_attrs != nullptr) cli_free_addr_attrs(&self->turnIP_attrs);
  Py_TYPE(self_obj)->tp_free(self_obj);
}

// The connection itself holds no Python object (its pool is not a counted
// reference); what a subclass adds, its instance dictionary included, is
// visited and cleared by the subclass's own slots before these run.
int connection_traverse(PyObject *, visitproc, void *) { return 0; }
int connection_clear(PyObject *) { return 0; }

PyObject *connection_cursor(PyObject *self_obj, PyObject *args, PyObject *kwds) {
  ConnectionObject *self = as_conn(self_obj);
  if (self->handle == nullptr) return raise(OperationalError, "Connection does not exist");
  static const char *kwlist[] = {"name", "cursor_factory", "withhold", "scrollable", nullptr};
  PyObject *name = Py_None, *factory = nullptr, *withhold = nullptr, *scrollable = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOO", const_cast<char **>(kwlist), &name,
                                   &factory, &withhold, &scrollable)) {
    return raise(ProgrammingError, "Parameter mismatch");
  }
  return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&CursorType), self_obj, name,
                                      nullptr);
}

PyObject *connection_close(PyObject *self_obj, PyObject *) {
  ConnectionObject *self = as_conn(self_obj);
  if (self->mode == kPooledMode && self->pool != nullptr) {
    pool_take_back(self->pool, self);
    Py_RETURN_NONE;
  }
  int rc = cli_disconnect(&self->handle);
  self->handle = nullptr;
  ++self->generation;
  if (rc == -1) return raise(ProgrammingError, "Pointer in error");
  if (self->turnIP_attrs != nullptr) {
    if (cli_free_addr_attrs(&self->turnIP_attrs) == -1) {
      return raise(ProgrammingError, "turnIP_attrs in error");
    }
    self->turnIP_attrs = nullptr;
  }
  Py_RETURN_NONE;
}

PyObject *connection_exit(PyObject *self_obj, PyObject *) { return connection_close(self_obj, nullptr); }

PyObject *connection_enter(PyObject *self_obj, PyObject *) {
  Py_INCREF(self_obj);
  return self_obj;
}

PyObject *connection_begin(PyObject *self, PyObject *) {
  return run_transaction_command(as_conn(self), "begin;", "Begin failed");
}
PyObject *connection_commit(PyObject *self, PyObject *) {
  return run_transaction_command(as_conn(self), "commit;", "Commit failed");
}
PyObject *connection_rollback(PyObject *self, PyObject *) {
  return run_transaction_command(as_conn(self), "rollback;", "rollback() failed");
}

PyObject *connection_autocommit(PyObject *self_obj, PyObject *args, PyObject *) {
  ConnectionObject *self = as_conn(self_obj);
  if (self->handle == nullptr) return raise(OperationalError, "Connection does not exist");
  PyObject *flag;
  if (!PyArg_ParseTuple(args, "O", &flag)) return raise(ProgrammingError, "parameters is not object");
  if (flag == Py_None) Py_RETURN_NONE;
  int truth = PyObject_IsTrue(flag);
  if (truth < 0) return nullptr;
  const char *sql = truth ? "set auto commit on" : "set auto commit off";
  if (cli_exec_command(&self->handle, sql) < 0) return raise(DatabaseError, "set auto commit failed");
  Py_RETURN_NONE;
}

PyObject *connection_ping(PyObject *self_obj, PyObject *args, PyObject *kwds) {
  ConnectionObject *self = as_conn(self_obj);
  static const char *kwlist[] = {"reconnect", nullptr};
  int reconnect = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O&", const_cast<char **>(kwlist), int_arg,
                                   &reconnect)) {
    return raise(ProgrammingError, "ping Parameter mismatch");
  }
  if (cli_exec_command(&self->handle, kLivenessCheck) != VESK_LOST) Py_RETURN_TRUE;
  if (reconnect == 0) Py_RETURN_FALSE;
  if (cli_reconnect(&self->handle) < 0) return raise(OperationalError, "reconnect fail");
  Py_RETURN_TRUE;
}

PyObject *connection_select_db(PyObject *self_obj, PyObject *args, PyObject *) {
  ConnectionObject *self = as_conn(self_obj);
  const char *name;
  if (!PyArg_ParseTuple(args, "s", &name)) return raise(ProgrammingError, "select_db Parameter mismatch");
  char statement[kStatementSize];
  int n = std::snprintf(statement, sizeof statement, "USE %s;", name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof statement) {
    return raise(ProgrammingError, "select_db: the database name is too long (at most 250 bytes)");
  }
  if (cli_exec_command(&self->handle, statement) >= 0) Py_RETURN_NONE;
  return raise_library_error(&self->handle);
}

ConnectionObject *self_connection(PyObject *self) { return as_conn(self); }

// conn.execute(sql, params): a new cursor that has run the statement.  Not
// claimed itself: making the cursor and running it claim the connection in
// turn.
PyObject *connection_execute(PyObject *self, PyObject *args, PyObject *kwds) {
  PyRef cur(PyObject_CallMethod(self, "cursor", nullptr));
  if (!cur) return nullptr;
  PyRef execute(PyObject_GetAttrString(cur.get(), "execute"));
  if (!execute) return nullptr;
  PyRef done(PyObject_Call(execute.get(), args, kwds));
  if (!done) return nullptr;
  return cur.release();
}

// Every method but __enter__ and execute runs under a claim of the
// connection.
template <auto Method>
PyCFunction on_connection() {
  return as_cfunction(&Guarded<self_connection, Method>::call);
}

// The methods' docs start with a text signature (name(...)\n--\n\n) so
// that inspect.signature and help() show the arguments.
PyDoc_STRVAR(cursor_doc,
             "cursor($self, name=None, cursor_factory=None, withhold=None, scrollable=None)\n"
             "--\n\n"
             "Return a new cursor on this connection.  The other arguments are accepted\n"
             "and ignored.  Raises OperationalError once the connection is closed.");
PyDoc_STRVAR(close_doc,
             "close($self, /)\n--\n\n"
             "Close the connection; one lent by a pool goes back to it instead.  Its\n"
             "cursors cannot be used afterwards.");
PyDoc_STRVAR(commit_doc,
             "commit($self, /)\n--\n\n"
             "Commit the current transaction.  Raises DatabaseError when that fails,\n"
             "OperationalError once the connection is closed.");
PyDoc_STRVAR(rollback_doc,
             "rollback($self, /)\n--\n\n"
             "Roll the current transaction back.  Raises DatabaseError when that fails,\n"
             "OperationalError once the connection is closed.");
PyDoc_STRVAR(autocommit_doc,
             "autocommit($self, on, /)\n--\n\n"
             "Switch autocommit on or off by the truth of `on`; None changes nothing.\n"
             "Raises DatabaseError when that fails.");
PyDoc_STRVAR(ping_doc,
             "ping($self, reconnect=0)\n--\n\n"
             "Return False when the connection is lost, else True.  With a true\n"
             "`reconnect` a lost connection is opened anew (True), raising\n"
             "OperationalError when that fails.");
PyDoc_STRVAR(select_db_doc,
             "select_db($self, name, /)\n--\n\n"
             "Switch the connection to the database `name`.  Raises the library's\n"
             "error when that fails.");
PyDoc_STRVAR(begin_doc,
             "begin($self, /)\n--\n\n"
             "Start a transaction.  Raises DatabaseError when that fails.");
PyDoc_STRVAR(execute_doc,
             "execute($self, sql, params=None, /)\n--\n\n"
             "Make a new cursor, run cursor.execute(sql, params) on it and return it.");
PyDoc_STRVAR(enter_doc,
             "__enter__($self, /)\n--\n\n"
             "Return the connection itself.");
PyDoc_STRVAR(exit_doc,
             "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\n"
             "Close the connection as close() does (nothing is committed); an exception\n"
             "goes on.");

PyMethodDef connection_methods[] = {
    {"cursor", on_connection<connection_cursor>(),
     METH_VARARGS | METH_KEYWORDS, cursor_doc},
    {"close", on_connection<connection_close>(),
     METH_NOARGS, close_doc},
    {"commit", on_connection<connection_commit>(),
     METH_NOARGS, commit_doc},
    {"rollback", on_connection<connection_rollback>(),
     METH_NOARGS, rollback_doc},
    {"autocommit", on_connection<connection_autocommit>(),
     METH_VARARGS | METH_KEYWORDS, autocommit_doc},
    {"ping", on_connection<connection_ping>(),
     METH_VARARGS | METH_KEYWORDS, ping_doc},
    {"select_db", on_connection<connection_select_db>(),
     METH_VARARGS | METH_KEYWORDS, select_db_doc},
    {"begin", on_connection<connection_begin>(),
     METH_NOARGS, begin_doc},
    {"execute", as_cfunction(connection_execute), METH_VARARGS | METH_KEYWORDS, execute_doc},
    {"__enter__", connection_enter, METH_NOARGS, enter_doc},
    {"__exit__", on_connection<connection_exit>(),
     METH_VARARGS, exit_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool build_connect_string(char (&out)[kConnectStringSize], const char *host, int port,
                          const char *database, const char *user, const char *password,
                          const char *charset, const char *usessl) {
  std::memset(out, 0, sizeof out);
  int n = std::snprintf(out, sizeof out,
                        "IP=%s; DB=%s; USER=%s; PWD=%s; PORT=%d; CHAR_SET=%s;USESSL=%s;", host,
                        database, user, password, port, charset, usessl);
  return n >= 0 && static_cast<size_t>(n) < sizeof out;
}

PyTypeObject ConnectionType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "vkcondb.connection";
  t.tp_basicsize = sizeof(ConnectionObject);
  t.tp_dealloc = connection_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  t.tp_doc = "connection Objects";
  t.tp_traverse = connection_traverse;
  t.tp_weaklistoffset = offsetof(ConnectionObject, weakreflist);
  t.tp_clear = connection_clear;
  t.tp_methods = connection_methods;
  t.tp_init = connection_init;
  t.tp_alloc = PyType_GenericAlloc;
  t.tp_new = PyType_GenericNew;
  return t;
}();

}  // namespace vk
