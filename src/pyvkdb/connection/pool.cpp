// The connection pool type: construction, getconn, the setters, and taking a
// connection back when its user closes it.
#include "connection/pool.h"

#include <cstddef>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "connection/call_guard.h"
#include "module/cfunction.h"
#include "module/errors.h"
#include "module/int_args.h"
#include "module/pyref.h"

namespace vk {

namespace {

PoolObject *as_pool(PyObject *self) { return reinterpret_cast<PoolObject *>(self); }

// Copy `text` into a fresh zero-filled kPoolTextSize buffer.  Refuses texts
// that do not fit (ProgrammingError naming `what`).
bool make_pool_text(char **field, const char *text, const char *what) {
  size_t n = std::strlen(text);
  if (n >= kPoolTextSize) {
    PyErr_Format(ProgrammingError, "%s is too long: at most %d bytes", what,
                 static_cast<int>(kPoolTextSize - 1));
    return false;
  }
  HeapBlock<char> buf;
  if (!buf.alloc_zeroed(kPoolTextSize)) {
    PyErr_NoMemory();
    return false;
  }
  std::memcpy(buf.get(), text, n);
  std::free(*field);
  *field = buf.release();
  return true;
}

// Two arrays of 2 * limit slots (none for a limit of 0 or below).
bool capacity_for(int32_t limit, int32_t *capacity) {
  if (limit > INT32_MAX / 2) {
    PyErr_Format(ProgrammingError, "maxconnections %d is too large", static_cast<int>(limit));
    return false;
  }
  *capacity = limit > 0 ? 2 * limit : 0;
  return true;
}

bool alloc_lists(int32_t capacity, HeapBlock<ConnectionObject *> &busy,
                 HeapBlock<ConnectionObject *> &idle) {
  size_t n = capacity > 0 ? static_cast<size_t>(capacity) : 1;
  if (!busy.alloc_zeroed(n) || !idle.alloc_zeroed(n)) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

// Open one connection with the stored parameters and put it on the idle
// list.  False with the connection constructor's error set.
bool open_connection(PoolObject *self) {
  if (self->opened >= self->capacity) {
    PyErr_SetString(ProgrammingError, "create conn fail");
    return false;
  }
  // The slot is taken before the connection opens: opening waits for the
  // server with the interpreter lock released, and a getconn of another
  // thread meanwhile must count this connection against the limit.
  ++self->opened;
  PyObject *conn = PyObject_CallFunction(reinterpret_cast<PyObject *>(&ConnectionType),
                                         "sisssssss", self->host, self->port, self->database,
                                         self->user, self->password, self->charset, self->usessl,
                                         "", "");
  if (conn == nullptr) {
    --self->opened;
    return false;
  }
  ConnectionObject *c = reinterpret_cast<ConnectionObject *>(conn);
  c->pool = self;
  c->mode = kPooledMode;
  self->idle[self->idle_count++] = c;
  return true;
}

// Replace the pending error by `cls`/`message`, keeping the cause as the
// new exception's __cause__ so the reason is not lost.
void replace_error(PyObject *cls, const char *message) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyErr_SetString(cls, message);
  if (value != nullptr) {
    PyObject *t2 = nullptr, *v2 = nullptr, *tb2 = nullptr;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    if (v2 != nullptr) PyException_SetCause(v2, value);  // steals `value`
    else Py_DECREF(value);
    value = nullptr;
    PyErr_Restore(t2, v2, tb2);
  }
  Py_XDECREF(type);
  Py_XDECREF(tb);
}

// An idle connection may have lost its server while it waited (a restart,
// a cut network): it is checked before it is lent, and opened afresh when
// the check finds it lost, so no borrower gets a dead connection.  False
// with OperationalError when it cannot be opened again; it then stays idle
// and a later getconn tries again.
bool ready_to_lend(PyObject *pool, ConnectionObject *c) {
  ConnectionClaim claim;
  if (c->handle == nullptr || !claim.take(c, pool)) {
    // Nothing to check, or a call of an earlier borrower still runs on it:
    // lent as it stands.
    PyErr_Clear();
    return true;
  }
  if (cli_exec_command(&c->handle, kLivenessCheck) != VESK_LOST) return true;
  if (cli_reconnect(&c->handle) >= 0) return true;
  raise_library_error(&c->handle);
  replace_error(OperationalError, "Connpool create  conn failed");
  return false;
}

void release_connections(ConnectionObject **list, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    ConnectionObject *c = list[i];
    // The connection may outlive the pool: from now on it is standalone, and
    // its close disconnects it.
    list[i] = nullptr;
    c->pool = nullptr;
    c->mode = 0;
    Py_DECREF(c);
  }
}

int pool_init(PyObject *self_obj, PyObject *args, PyObject *kwds) {
  PoolObject *self = as_pool(self_obj);
  static const char *kwlist[] = {"host", "port", "database", "user", "password", "charset",
                                 "usessl", "maxconnections", "mincached", nullptr};
  const char *host, *database, *user, *password, *charset, *usessl;
  int port = 0, maxconnections = 0, mincached = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "sO&sssssO&O&", const_cast<char **>(kwlist),
                                   &host, int_arg, &port, &database, &user, &password, &charset,
                                   &usessl, int_arg, &maxconnections, int_arg, &mincached)) {
    std::fputs("-- connectpool setup error", stdout);
    return -1;
  }
  if (self->busy != nullptr) {
    PyErr_SetString(ProgrammingError, "connection pool is already set up");
    return -1;
  }
  if (!make_pool_text(&self->host, host, "host") ||
      !make_pool_text(&self->database, database, "database") ||
      !make_pool_text(&self->user, user, "user") ||
      !make_pool_text(&self->password, password, "password") ||
      !make_pool_text(&self->charset, charset, "charset")) {
    return -1;
  }
  size_t ssl_len = std::strlen(usessl);
  HeapBlock<char> ssl;
  if (!ssl.alloc_zeroed(ssl_len + 1)) {
    PyErr_NoMemory();
    return -1;
  }
  std::memcpy(ssl.get(), usessl, ssl_len);
  std::free(self->usessl);
  self->usessl = ssl.release();
  self->port = port;
  self->maxconnections = maxconnections;
  self->mincached = mincached;

  int32_t capacity = 0;
  if (!capacity_for(maxconnections, &capacity)) return -1;
  HeapBlock<ConnectionObject *> busy, idle;
  if (!alloc_lists(capacity, busy, idle)) return -1;
  self->busy = busy.release();
  self->idle = idle.release();
  self->opened = 0;
  self->idle_count = 0;
  self->capacity = capacity;

  if (self->mincached > self->maxconnections) self->mincached = self->maxconnections;
  for (int32_t i = 0; i < self->mincached; ++i) {
    if (!open_connection(self)) {
      replace_error(OperationalError, "Connpool init conn failed");
      return -1;
    }
  }
  return 0;
}

// Let go of every connection the pool holds; each goes on as a standalone
// connection while anyone else holds it.
void release_all(PoolObject *self) {
  // The lists are emptied before any connection can go away, so nothing
  // that runs meanwhile sees a connection that is gone.
  int32_t busy_count = self->busy_count, idle_count = self->idle_count;
  self->busy_count = 0;
  self->idle_count = 0;
  if (self->busy) release_connections(self->busy, busy_count);
  if (self->idle) release_connections(self->idle, idle_count);
}

void pool_dealloc(PyObject *self_obj) {
  PoolObject *self = as_pool(self_obj);
  PyObject_GC_UnTrack(self_obj);
  if (self->weakreflist != nullptr) PyObject_ClearWeakRefs(self_obj);
  release_all(self);
  std::free(self->busy);
  std::free(self->idle);
  for (char *text : {self->host, self->database, self->user, self->password, self->usessl,
                     self->charset}) {
    std::free(text);
  }
  Py_TYPE(self_obj)->tp_free(self_obj);
}

int pool_traverse(PyObject *self_obj, visitproc visit, void *arg) {
  PoolObject *self = as_pool(self_obj);
  for (int32_t i = 0; i < self->busy_count; ++i) Py_VISIT(reinterpret_cast<PyObject *>(self->busy[i]));
  for (int32_t i = 0; i < self->idle_count; ++i) Py_VISIT(reinterpret_cast<PyObject *>(self->idle[i]));
  return 0;
}

int pool_clear(PyObject *self_obj) {
  release_all(as_pool(self_obj));
  return 0;
}

PyObject *pool_getconn(PyObject *self_obj, PyObject *) {
  PoolObject *self = as_pool(self_obj);
  if (self->busy == nullptr) return raise(ProgrammingError, "connection pool is not set up");
  ConnectionObject *c = nullptr;
  if (self->idle_count == 0) {
    if (self->opened >= self->maxconnections) return raise(ProgrammingError, "create conn fail");
    if (!open_connection(self)) {
      replace_error(OperationalError, "Connpool create  conn failed");
      return nullptr;
    }
    c = self->idle[--self->idle_count];
  } else {
    // Off the idle list before the check: the check waits for the server
    // with the interpreter lock released, and a getconn of another thread
    // meanwhile must neither lend the same connection nor see the list
    // shrink under it.  The list's reference moves with the connection.
    c = self->idle[--self->idle_count];
    if (!ready_to_lend(self_obj, c)) {
      if (self->idle_count < self->capacity) {
        self->idle[self->idle_count++] = c;
      } else {
        --self->opened;
        release_connections(&c, 1);
      }
      return nullptr;
    }
  }
  self->busy[self->busy_count++] = c;
  Py_INCREF(c);
  return reinterpret_cast<PyObject *>(c);
}

PyObject *pool_set_maxnum(PyObject *self_obj, PyObject *args, PyObject *kwds) {
  PoolObject *self = as_pool(self_obj);
  static const char *kwlist[] = {"maxnum", nullptr};
  int value = 0;
  if (PyTuple_GET_SIZE(args) + (kwds ? PyDict_Size(kwds) : 0) == 0 ||
      !PyArg_ParseTupleAndKeywords(args, kwds, "|O&", const_cast<char **>(kwlist), int_arg,
                                   &value) ||
      value < 1) {
    return raise(ProgrammingError, "setmaxnum Parameter mismatch");
  }
  if (self->busy == nullptr) return raise(ProgrammingError, "connection pool is not set up");
  if (value > self->capacity) {
    int32_t capacity = 0;
    if (!capacity_for(value, &capacity)) return nullptr;
    HeapBlock<ConnectionObject *> busy, idle;
    if (!alloc_lists(capacity, busy, idle)) return nullptr;
    std::memcpy(busy.get(), self->busy, sizeof(ConnectionObject *) * self->busy_count);
    std::memcpy(idle.get(), self->idle, sizeof(ConnectionObject *) * self->idle_count);
    std::free(self->busy);
    std::free(self->idle);
    self->busy = busy.release();
    self->idle = idle.release();
    self->capacity = capacity;
  }
  self->maxconnections = value;
  Py_RETURN_NONE;
}

PyObject *pool_set_port(PyObject *self_obj, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"port", nullptr};
  int value = 0;
  if (PyTuple_GET_SIZE(args) + (kwds ? PyDict_Size(kwds) : 0) == 0 ||
      !PyArg_ParseTupleAndKeywords(args, kwds, "|O&", const_cast<char **>(kwlist), int_arg,
                                   &value) ||
      value < 1 || value > 65535) {
    return raise(ProgrammingError, "setport Parameter mismatch");
  }
  as_pool(self_obj)->port = value;
  Py_RETURN_NONE;
}

// One text setter: keyword `keyword`, field at `field`, message prefix `op`.
PyObject *set_text(PyObject *args, PyObject *kwds, const char *keyword, char **field,
                   const char *op) {
  const char *kwlist[] = {keyword, nullptr};
  const char *value = nullptr;
  char mismatch[64];
  std::snprintf(mismatch, sizeof mismatch, "%s Parameter mismatch", op);
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|s", const_cast<char **>(kwlist), &value) ||
      value == nullptr) {
    return raise(ProgrammingError, mismatch);
  }
  if (!make_pool_text(field, value, keyword)) return nullptr;
  Py_RETURN_NONE;
}

PyObject *pool_set_host(PyObject *self, PyObject *args, PyObject *kwds) {
  return set_text(args, kwds, "host", &as_pool(self)->host, "sethost");
}
PyObject *pool_set_dbname(PyObject *self, PyObject *args, PyObject *kwds) {
  return set_text(args, kwds, "db_name", &as_pool(self)->database, "setdbname");
}
PyObject *pool_set_user(PyObject *self, PyObject *args, PyObject *kwds) {
  return set_text(args, kwds, "user", &as_pool(self)->user, "setuser");
}
PyObject *pool_set_password(PyObject *self, PyObject *args, PyObject *kwds) {
  return set_text(args, kwds, "password", &as_pool(self)->password, "setpassword");
}
PyObject *pool_set_charset(PyObject *self, PyObject *args, PyObject *kwds) {
  return set_text(args, kwds, "charset", &as_pool(self)->charset, "setcharset");
}

// The methods' docs start with a text signature (name(...)\n--\n\n) so
// that inspect.signature and help() show the arguments.
PyDoc_STRVAR(getconn_doc,
             "getconn($self, /)\n--\n\n"
             "Lend an idle connection, opening one while fewer than maxconnections\n"
             "are open; its close() gives it back.  An idle connection whose server\n"
             "went away is opened afresh before it is lent.  Raises ProgrammingError\n"
             "when every connection is lent, OperationalError when opening one fails.");
PyDoc_STRVAR(set_maxnum_doc,
             "set_maxnum($self, maxnum)\n--\n\n"
             "Set the number of connections the pool may open (at least 1).");
PyDoc_STRVAR(set_host_doc,
             "set_host($self, host)\n--\n\n"
             "Set the host for connections opened from now on.");
PyDoc_STRVAR(set_port_doc,
             "set_port($self, port)\n--\n\n"
             "Set the port (1 to 65535) for connections opened from now on.");
PyDoc_STRVAR(set_dbname_doc,
             "set_dbname($self, db_name)\n--\n\n"
             "Set the database for connections opened from now on.");
PyDoc_STRVAR(set_user_doc,
             "set_user($self, user)\n--\n\n"
             "Set the user for connections opened from now on.");
PyDoc_STRVAR(set_password_doc,
             "set_password($self, password)\n--\n\n"
             "Set the password for connections opened from now on.");
PyDoc_STRVAR(set_charset_doc,
             "set_charset($self, charset)\n--\n\n"
             "Set the character set for connections opened from now on.");

PyMethodDef pool_methods[] = {
    {"getconn", pool_getconn, METH_NOARGS, getconn_doc},
    {"set_maxnum", as_cfunction(pool_set_maxnum), METH_VARARGS | METH_KEYWORDS, set_maxnum_doc},
    {"set_host", as_cfunction(pool_set_host), METH_VARARGS | METH_KEYWORDS, set_host_doc},
    {"set_port", as_cfunction(pool_set_port), METH_VARARGS | METH_KEYWORDS, set_port_doc},
    {"set_dbname", as_cfunction(pool_set_dbname), METH_VARARGS | METH_KEYWORDS, set_dbname_doc},
    {"set_user", as_cfunction(pool_set_user), METH_VARARGS | METH_KEYWORDS, set_user_doc},
    {"set_password", as_cfunction(pool_set_password), METH_VARARGS | METH_KEYWORDS,
     set_password_doc},
    {"set_charset", as_cfunction(pool_set_charset), METH_VARARGS | METH_KEYWORDS,
     set_charset_doc},
    {nullptr, nullptr, 0, nullptr},
};

// Statements that hand a connection back clean: whatever its last user left
// open is rolled back, and autocommit is on again as after connect.
constexpr const char *kReturnStatements[] = {"rollback;", "set auto commit on"};

}  // namespace

namespace {

// Where `conn` stands on the busy list, or -1.
int32_t busy_index(const PoolObject *pool, const ConnectionObject *conn) {
  for (int32_t i = 0; i < pool->busy_count; ++i) {
    if (pool->busy[i] == conn) return i;
  }
  return -1;
}

}  // namespace

void pool_take_back(PoolObject *pool, ConnectionObject *conn) {
  if (busy_index(pool, conn) < 0) return;
  // The clean-up statements wait for the server with the interpreter lock
  // released: other threads may meanwhile borrow and return connections,
  // which moves entries of the busy list, or drop their references to the
  // pool.  Keep the pool alive and find the connection again afterwards.
  PyRef keep = PyRef::borrow(reinterpret_cast<PyObject *>(pool));
  if (conn->handle != nullptr) {
    for (const char *sql : kReturnStatements) cli_exec_command(&conn->handle, sql);
  }
  const int32_t i = conn->pool == pool ? busy_index(pool, conn) : -1;
  if (i < 0) return;
  // Cursors made by the returning user are closed for good.
  ++conn->generation;
  pool->idle[pool->idle_count++] = conn;
  --pool->busy_count;
  pool->busy[i] = pool->busy[pool->busy_count];
  pool->busy[pool->busy_count] = nullptr;
}

PyTypeObject PoolType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "vkcondb.connectionpool";
  t.tp_basicsize = sizeof(PoolObject);
  t.tp_dealloc = pool_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  t.tp_doc = "connectionpool Objects";
  t.tp_traverse = pool_traverse;
  t.tp_weaklistoffset = offsetof(PoolObject, weakreflist);
  t.tp_clear = pool_clear;
  t.tp_methods = pool_methods;
  t.tp_init = pool_init;
  t.tp_alloc = PyType_GenericAlloc;
  t.tp_new = PyType_GenericNew;
  return t;
}();

}  // namespace vk
