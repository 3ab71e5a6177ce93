// Exception table, class creation and the raise helpers.
#include "module/errors.h"

#include <cstring>

namespace vk {

PyObject *Error = nullptr;
PyObject *Warning = nullptr;
PyObject *InterfaceError = nullptr;
PyObject *DatabaseError = nullptr;
PyObject *DataError = nullptr;
PyObject *OperationalError = nullptr;
PyObject *IntegrityError = nullptr;
PyObject *InternalError = nullptr;
PyObject *ProgrammingError = nullptr;
PyObject *NotSupportedError = nullptr;

namespace {

struct ExceptionEntry {
  const char *qualified_name;
  PyObject **slot;
  PyObject **base_slot;  // nullptr: the host's UnicodeError
  const char *doc;       // nullptr: none
};

// Each base comes before the classes derived from it.
const ExceptionEntry kExceptionTable[] = {
    {"pyvkdb.Error", &Error, nullptr, nullptr},
    {"pyvkdb.Warning", &Warning, nullptr, nullptr},
    {"pyvkdb.InterfaceError", &InterfaceError, &Error, nullptr},
    {"pyvkdb.DatabaseError", &DatabaseError, &Error, nullptr},
    {"pyvkdb.DataError", &DataError, &DatabaseError, nullptr},
    {"pyvkdb.OperationalError", &OperationalError, &DatabaseError, nullptr},
    {"pyvkdb.IntegrityError", &IntegrityError, &DatabaseError, nullptr},
    {"pyvkdb.InternalError", &InternalError, &DatabaseError, nullptr},
    {"pyvkdb.ProgrammingError", &ProgrammingError, &DatabaseError, nullptr},
    {"pyvkdb.NotSupportedError", &NotSupportedError, &DatabaseError, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};

const char *short_name(const char *qualified) {
  const char *dot = std::strrchr(qualified, '.');
  return dot ? dot + 1 : qualified;
}

// A library failure is an OperationalError; where its SQLSTATE says what
// kind of failure it was, it is raised as a class that also derives from
// the DB-API class of that kind, so `except IntegrityError` catches a
// duplicate key and `except OperationalError` still does.
struct KindEntry {
  const char *state_class;  // the SQLSTATE's first two characters
  const char *qualified_name;
  PyObject **kind;
  PyObject *cls;  // made at initialisation
};

KindEntry kKindTable[] = {
    {"23", "pyvkdb.OperationalIntegrityError", &IntegrityError, nullptr},
    {"22", "pyvkdb.OperationalDataError", &DataError, nullptr},
    {"0A", "pyvkdb.OperationalNotSupportedError", &NotSupportedError, nullptr},
    {"42", "pyvkdb.OperationalProgrammingError", &ProgrammingError, nullptr},
    {"XX", "pyvkdb.OperationalInternalError", &InternalError, nullptr},
};

// An SQLSTATE is five digits or capital letters; anything else the library
// hands over is not one, and is neither classified nor passed on.
bool is_sqlstate(const char *state) {
  for (int i = 0; i < 5; ++i) {
    const char c = state[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return state[5] == '\0';
}

PyObject *class_for_state(const char *state) {
  if (std::strlen(state) == 5) {
    for (const KindEntry &k : kKindTable)
      if (std::strncmp(state, k.state_class, 2) == 0 && k.cls != nullptr) return k.cls;
  }
  return OperationalError;
}

}  // namespace

bool create_exception_classes(PyObject *module_dict) {
  for (const ExceptionEntry *e = kExceptionTable; e->qualified_name; ++e) {
    PyRef dict(PyDict_New());
    if (!dict) return false;
    // The SQLSTATE of a library failure; None for every other error.
    if (e->base_slot == nullptr && PyDict_SetItemString(dict.get(), "sqlstate", Py_None) < 0)
      return false;
    if (e->doc) {
      PyRef doc(PyUnicode_FromString(e->doc));
      if (!doc || PyDict_SetItemString(dict.get(), "__doc__", doc.get()) < 0) return false;
    }
    PyObject *base = e->base_slot ? *e->base_slot : PyExc_UnicodeError;
    *e->slot = PyErr_NewException(e->qualified_name, base, dict.get());
    if (*e->slot == nullptr) return false;
  }
  for (const ExceptionEntry *e = kExceptionTable; e->qualified_name; ++e) {
    PyDict_SetItemString(module_dict, short_name(e->qualified_name), *e->slot);
  }
  for (KindEntry &k : kKindTable) {
    PyRef bases(PyTuple_Pack(2, OperationalError, *k.kind));
    if (!bases) return false;
    k.cls = PyErr_NewException(k.qualified_name, bases.get(), nullptr);
    if (k.cls == nullptr) return false;
    PyDict_SetItemString(module_dict, short_name(k.qualified_name), k.cls);
  }
  return true;
}

bool add_exception_attributes(PyTypeObject *type) {
  for (const ExceptionEntry *e = kExceptionTable; e->qualified_name; ++e) {
    if (PyDict_SetItemString(type->tp_dict, short_name(e->qualified_name), *e->slot) < 0)
      return false;
  }
  PyType_Modified(type);
  return true;
}

PyObject *raise(PyObject *cls, const char *message) {
  PyErr_SetString(cls, message);
  return nullptr;
}

PyObject *raise_text(PyObject *cls, const char *text) {
  PyRef msg(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
  if (msg) PyErr_SetObject(cls, msg.get());
  return nullptr;
}

void read_error_text(vesk_conn **handle, char *out) {
  // The library writes at most VESK_ERROR_TEXT_CAP bytes; the buffer is one
  // byte larger and zero-filled so the text ends inside it whatever the
  // library did.
  char buf[VESK_ERROR_TEXT_CAP + 1];
  std::memset(buf, 0, sizeof buf);
  int32_t len = 0;
  cli_error_text(handle, buf, &len);
  buf[VESK_ERROR_TEXT_CAP - 1] = '\0';
  std::memcpy(out, buf, VESK_ERROR_TEXT_CAP);
}

namespace {

// Raise the class that the library's SQLSTATE for `handle` names, with
// `msg` as its message and the SQLSTATE as its `sqlstate`.
PyObject *raise_with_library_state(vesk_conn **handle, PyObject *msg) {
  char state[VESK_SQLSTATE_CAP + 1] = {0};
  cli_sqlstate(handle, state);
  state[VESK_SQLSTATE_CAP - 1] = '\0';
  if (!is_sqlstate(state)) state[0] = '\0';
  PyObject *cls = class_for_state(state);
  PyRef error(PyObject_CallFunctionObjArgs(cls, msg, nullptr));
  if (!error) return nullptr;
  if (state[0] != '\0') {
    PyRef code(PyUnicode_FromString(state));
    if (!code || PyObject_SetAttrString(error.get(), "sqlstate", code.get()) < 0) return nullptr;
  }
  PyErr_SetObject(cls, error.get());
  return nullptr;
}

}  // namespace

PyObject *raise_library_error(vesk_conn **handle) {
  char text[VESK_ERROR_TEXT_CAP];
  read_error_text(handle, text);
  // The text may end inside a multi-byte character or hold bytes that are
  // not UTF-8; never let that turn into a different exception.
  PyRef msg(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
  if (!msg) return nullptr;
  return raise_with_library_state(handle, msg.get());
}

PyObject *raise_library_failure(vesk_conn **handle, const char *message) {
  PyRef msg(PyUnicode_FromString(message));
  if (!msg) return nullptr;
  return raise_with_library_state(handle, msg.get());
}

}  // namespace vk
