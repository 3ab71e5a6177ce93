// module.cpp -- the Python face of the scripted engine: vkcondb._vkscript.
#include <string>

#include "convert.h"
#include "engine.h"

namespace vks {
namespace {

int op_arg(PyObject *name_obj) {
  const char *name = PyUnicode_Check(name_obj) ? PyUnicode_AsUTF8(name_obj) : nullptr;
  if (name == nullptr) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "an operation name must be a str such as 'cli_exec_direct'");
    return -1;
  }
  const int op = op_from_name(name);
  if (op < 0) PyErr_Format(PyExc_ValueError, "unknown operation '%s'", name);
  return op;
}

PyObject *py_install(PyObject *, PyObject *) {
  install_hooks();
  Py_RETURN_NONE;
}

PyObject *py_uninstall(PyObject *, PyObject *) {
  uninstall_hooks();
  Py_RETURN_NONE;
}

PyObject *py_installed(PyObject *, PyObject *) { return PyBool_FromLong(engine().installed); }

PyObject *py_reset(PyObject *, PyObject *) {
  engine().reset();
  Py_RETURN_NONE;
}

PyObject *py_set_logging(PyObject *, PyObject *flag) {
  const int on = PyObject_IsTrue(flag);
  if (on < 0) return nullptr;
  engine().logging = on != 0;
  Py_RETURN_NONE;
}

PyObject *py_calls(PyObject *, PyObject *) {
  const auto &log = engine().log;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(log.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < log.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), log[i].newref());
  return list.release();
}

PyObject *py_script(PyObject *, PyObject *args) {
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n < 1) {
    PyErr_SetString(PyExc_TypeError, "script(op_name, *responses)");
    return nullptr;
  }
  const int op = op_arg(PyTuple_GET_ITEM(args, 0));
  if (op < 0) return nullptr;
  // Every response is checked before any is queued.
  std::deque<Response> parsed;
  for (Py_ssize_t i = 1; i < n; ++i) {
    Response r;
    if (!parse_response(op, PyTuple_GET_ITEM(args, i), &r)) return nullptr;
    parsed.push_back(std::move(r));
  }
  auto &q = engine().queues[static_cast<size_t>(op)];
  for (auto &r : parsed) q.push_back(std::move(r));
  Py_RETURN_NONE;
}

PyObject *py_set_default(PyObject *, PyObject *args) {
  PyObject *name = nullptr, *dict = nullptr;
  if (!PyArg_ParseTuple(args, "OO:set_default", &name, &dict)) return nullptr;
  const int op = op_arg(name);
  if (op < 0) return nullptr;
  Response r;
  if (dict != Py_None && !parse_response(op, dict, &r)) return nullptr;
  engine().defaults[static_cast<size_t>(op)] = std::move(r);
  Py_RETURN_NONE;
}

PyObject *py_table(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *kwlist[] = {"result_id", "columns", "rows", "kind", nullptr};
  PyObject *id_obj = nullptr, *columns = nullptr, *rows = nullptr, *kind_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|O:table", const_cast<char **>(kwlist),
                                   &id_obj, &columns, &rows, &kind_obj))
    return nullptr;
  uintptr_t id = 0;
  int32_t kind = VESK_KIND_ROWS;
  if (!to_handle(id_obj, "result_id", &id)) return nullptr;
  if (id == 0) {
    PyErr_SetString(PyExc_ValueError, "result_id 0 is the empty result; use an id from 1 up");
    return nullptr;
  }
  if (kind_obj != nullptr && !to_int32(kind_obj, "kind", &kind)) return nullptr;
  ResultSet set;
  if (!parse_table(columns, rows, kind, &set)) return nullptr;
  engine().tables[id].push_back(std::move(set));
  Py_RETURN_NONE;
}

PyObject *py_errors(PyObject *, PyObject *) {
  const auto &problems = engine().problems;
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const std::string &p : problems) {
    PyRef s(PyUnicode_DecodeUTF8(p.data(), static_cast<Py_ssize_t>(p.size()), "replace"));
    if (!s || PyList_Append(list.get(), s.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject *py_pending(PyObject *, PyObject *args) {
  PyObject *name = nullptr;
  if (!PyArg_ParseTuple(args, "|O:pending", &name)) return nullptr;
  if (name != nullptr && name != Py_None) {
    const int op = op_arg(name);
    if (op < 0) return nullptr;
    return PyLong_FromSize_t(engine().queues[static_cast<size_t>(op)].size());
  }
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (int op = 0; op < OP_COUNT; ++op) {
    const size_t n = engine().queues[static_cast<size_t>(op)].size();
    if (n == 0) continue;
    PyRef v(PyLong_FromSize_t(n));
    if (!v || PyDict_SetItemString(dict.get(), op_name(op), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject *py_lob(PyObject *, PyObject *arg) {
  uintptr_t id = 0;
  if (!to_handle(arg, "a locator id", &id)) return nullptr;
  auto it = engine().lobs.find(id);
  if (it == engine().lobs.end()) Py_RETURN_NONE;
  return PyBytes_FromStringAndSize(it->second.data(), static_cast<Py_ssize_t>(it->second.size()));
}

PyObject *py_lobs(PyObject *, PyObject *) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const auto &kv : engine().lobs) {
    PyRef v(PyLong_FromUnsignedLongLong(kv.first));
    if (!v || PyList_Append(list.get(), v.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject *py_op_names(PyObject *, PyObject *) {
  PyRef tup(PyTuple_New(OP_COUNT));
  if (!tup) return nullptr;
  for (int op = 0; op < OP_COUNT; ++op) {
    PyObject *s = PyUnicode_FromString(op_name(op));
    if (s == nullptr) return nullptr;
    PyTuple_SET_ITEM(tup.get(), op, s);
  }
  return tup.release();
}

PyObject *py_clear_queues(PyObject *, PyObject *) {
  for (auto &q : engine().queues) q.clear();
  for (auto &d : engine().defaults) d = Response();
  Py_RETURN_NONE;
}

PyObject *py_inject(PyObject *, PyObject *args) {
  unsigned long long at = 0;
  PyObject *name = nullptr, *dict = nullptr;
  int replace = 1;
  if (!PyArg_ParseTuple(args, "KOO|p:inject", &at, &name, &dict, &replace)) return nullptr;
  const int op = op_arg(name);
  if (op < 0) return nullptr;
  Fault f;
  if (!parse_response(op, dict, &f.response)) return nullptr;
  f.at = static_cast<size_t>(at);
  f.replace = replace != 0;
  engine().fault = std::move(f);
  Py_RETURN_NONE;
}

PyObject *py_fault_fired(PyObject *, PyObject *) {
  return PyBool_FromLong(engine().fault && engine().fault->fired);
}

PyObject *id_list(const std::set<uintptr_t> &ids) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (uintptr_t id : ids) {
    PyRef v(PyLong_FromUnsignedLongLong(id));
    if (!v || PyList_Append(list.get(), v.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject *py_live(PyObject *, PyObject *) {
  const Live &live = engine().live;
  PyRef dict(PyDict_New());
  PyRef named(PyList_New(0));
  if (!dict || !named) return nullptr;
  for (const std::string &n : live.named) {
    PyRef s(PyUnicode_DecodeUTF8(n.data(), static_cast<Py_ssize_t>(n.size()), "replace"));
    if (!s || PyList_Append(named.get(), s.get()) < 0) return nullptr;
  }
  const std::pair<const char *, const std::set<uintptr_t> *> sets[] = {
      {"conns", &live.conns}, {"attrs", &live.attrs}, {"results", &live.results},
      {"prepared", &live.prepared}};
  for (const auto &kv : sets) {
    PyRef ids(id_list(*kv.second));
    if (!ids || PyDict_SetItemString(dict.get(), kv.first, ids.get()) < 0) return nullptr;
  }
  PyRef lobs(py_lobs(nullptr, nullptr));
  if (!lobs || PyDict_SetItemString(dict.get(), "named", named.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "lobs", lobs.get()) < 0)
    return nullptr;
  return dict.release();
}

PyMethodDef kMethods[] = {
    {"install", py_install, METH_NOARGS, "Install the hook table: every cli_* call comes here."},
    {"uninstall", py_uninstall, METH_NOARGS, "Remove the hook table."},
    {"installed", py_installed, METH_NOARGS, "True while the hook table is installed."},
    {"reset", py_reset, METH_NOARGS,
     "Clear the log, queues, default overrides, tables, locators and binds; ids restart."},
    {"calls", py_calls, METH_NOARGS, "The call log: a list of (op_name, args) tuples."},
    {"set_logging", py_set_logging, METH_O,
     "set_logging(on): log calls (the default) or only answer them; reset() turns it on."},
    {"script", py_script, METH_VARARGS, "script(op_name, *responses): queue responses."},
    {"set_default", py_set_default, METH_VARARGS,
     "set_default(op_name, response): replace the op's default (None restores it)."},
    {"table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_table)),
     METH_VARARGS | METH_KEYWORDS,
     "table(result_id, columns, rows, kind=4): queue a result set for a result id."},
    {"errors", py_errors, METH_NOARGS,
     "Faults the engine saw in the calls it received (unknown locators, unbound outputs)."},
    {"pending", py_pending, METH_VARARGS,
     "pending(op_name=None): responses still queued for an op, or a dict for all ops."},
    {"lob", py_lob, METH_O, "lob(id): the bytes a live locator holds, or None."},
    {"lobs", py_lobs, METH_NOARGS, "The ids of the live locators."},
    {"inject", py_inject, METH_VARARGS,
     "inject(index, op_name, response, replace=True): call `index` (from 0 since the reset) "
     "answers with the response, alone or over its own."},
    {"clear_queues", py_clear_queues, METH_NOARGS,
     "Drop every queued response and default override; all else stays."},
    {"fault_fired", py_fault_fired, METH_NOARGS, "True once the injected fault was answered."},
    {"live", py_live, METH_NOARGS,
     "What the module holds: {'conns','attrs','results','prepared','named','lobs': [...]}."},
    {"op_names", py_op_names, METH_NOARGS, "The names of all operations, in table order."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_vkscript",
                       "The scripted engine: a test-only stand-in for the client library.",
                       -1, kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace vks

// Exported explicitly: older interpreters do not mark the entry visible.
extern "C" __attribute__((visibility("default"))) PyObject *PyInit__vkscript(void) {
  PyObject *m = PyModule_Create(&vks::kModule);
  if (m == nullptr) return nullptr;
  if (PyModule_AddIntConstant(m, "LOCATOR_BASE", 1000) < 0 ||
      PyModule_AddIntConstant(m, "ATTRS_BASE", 501) < 0) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
