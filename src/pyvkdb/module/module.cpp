// Module entry: initialisation, _connect, _conpool and version.
#include <Python.h>

#include <cstdio>

#include "connection/connection.h"
#include "connection/pool.h"
#include "cursor/cursor.h"
#include "module/cfunction.h"
#include "module/errors.h"
#include "module/int_args.h"
#include "module/waits.h"

namespace vk {
namespace {

constexpr const char *kVersion = "vkcondb version 2.3.3 22/11/17 10:28";

PyObject *module_connect(PyObject *, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"port", "host", "database", "user", "password",
                                 "charset", "usessl", "usetls", "usetlcp", nullptr};
  int port = 0;
  const char *host = nullptr, *database = nullptr, *user = nullptr, *password = nullptr,
             *charset = nullptr, *usessl = nullptr, *usetls = nullptr, *usetlcp = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O&|ssssssss", const_cast<char **>(kwlist),
                                   int_arg, &port,
                                   &host, &database, &user, &password, &charset, &usessl,
                                   &usetls, &usetlcp)) {
    std::fputs("Connection parameter error", stdout);
    return nullptr;
  }
  return PyObject_CallFunction(reinterpret_cast<PyObject *>(&ConnectionType), "sisssssss", host,
                               port, database, user, password, charset, usessl, usetls, usetlcp);
}

PyObject *module_conpool(PyObject *, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"port", "maxconnections", "mincached", "host", "database",
                                 "user", "password", "charset", "usessl", nullptr};
  int port = 0, maxconnections = 0, mincached = 0;
  const char *host = nullptr, *database = nullptr, *user = nullptr, *password = nullptr,
             *charset = nullptr, *usessl = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O&O&O&|ssssss", const_cast<char **>(kwlist),
                                   int_arg, &port, int_arg, &maxconnections, int_arg, &mincached, &host, &database, &user,
                                   &password, &charset, &usessl)) {
    std::fputs("Conpool parameter error", stdout);
    return nullptr;
  }
  return PyObject_CallFunction(reinterpret_cast<PyObject *>(&PoolType), "sisssssii", host, port,
                               database, user, password, charset, usessl, maxconnections,
                               mincached);
}

PyObject *module_version(PyObject *, PyObject *) { return PyUnicode_FromString(kVersion); }

// The functions' docs start with a text signature (name(...)\n--\n\n) so
// that inspect.signature and help() show the arguments.
PyDoc_STRVAR(connect_doc,
             "_connect(port, host, database, user, password, charset, usessl, usetls,\n"
             "         usetlcp)\n"
             "--\n\n"
             "Open a connection; an empty host selects the embedded engine.  Raises\n"
             "TypeError for an argument of the wrong type, ProgrammingError for a bad\n"
             "port or over-long parameters, OperationalError when connecting fails.\n"
             "vkcondb.connect() is the public way in.");
PyDoc_STRVAR(conpool_doc,
             "_conpool(port, maxconnections, mincached, host, database, user, password,\n"
             "         charset, usessl)\n"
             "--\n\n"
             "Make a connection pool that opens `mincached` connections now and up to\n"
             "`maxconnections` in all.  Raises OperationalError when an opening fails.\n"
             "vkcondb.pool() is the public way in.");
PyDoc_STRVAR(version_doc,
             "version()\n--\n\n"
             "Return the module's version text.");

PyMethodDef module_methods[] = {
    {"_connect", as_cfunction(module_connect), METH_VARARGS | METH_KEYWORDS, connect_doc},
    {"_conpool", as_cfunction(module_conpool), METH_VARARGS | METH_KEYWORDS, conpool_doc},
    {"version", module_version, METH_NOARGS, version_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_pyvkdb", nullptr, -1, module_methods, nullptr, nullptr, nullptr,
    nullptr,
};

}  // namespace
}  // namespace vk

extern "C" __attribute__((visibility("default"))) PyObject *PyInit__pyvkdb37(void) {
  using namespace vk;
  PyTypeObject *types[] = {&ConnectionType, &CursorType, &PoolType};
  for (PyTypeObject *t : types) {
#if PY_VERSION_HEX >= 0x03090000
    Py_SET_TYPE(t, &PyType_Type);
#else
    Py_TYPE(t) = &PyType_Type;
#endif
    if (PyType_Ready(t) < 0) return nullptr;
  }
  PyObject *module = PyModule_Create2(&module_def, 1013);
  if (module == nullptr) return nullptr;
  install_wait_callbacks();
  PyObject *dict = PyModule_GetDict(module);
  // On failure the module is returned with the error set; the import then
  // fails and the module is discarded.
  if (!create_exception_classes(dict)) return module;
  // The DB-API offers the exception classes on the connection too.
  if (!add_exception_attributes(&ConnectionType)) return module;
  const struct {
    const char *name;
    PyTypeObject *type;
  } published[] = {{"connection", &ConnectionType}, {"conpool", &PoolType}, {"cursor", &CursorType}};
  for (const auto &p : published) {
    Py_INCREF(p.type);
    if (PyModule_AddObject(module, p.name, reinterpret_cast<PyObject *>(p.type)) < 0) {
      Py_DECREF(p.type);
    }
  }
  return module;
}
