#include "module/decimal_type.h"

#include "module/pyref.h"

namespace vk {

namespace {

// decimal.Decimal, held for the life of the process once it was seen.
PyTypeObject *g_decimal = nullptr;

PyTypeObject *find_decimal_type() {
  if (g_decimal != nullptr) return g_decimal;
  PyRef name(PyUnicode_FromString("decimal"));
  if (!name) {
    PyErr_Clear();
    return nullptr;
  }
  PyRef module(PyImport_GetModule(name.get()));
  if (!module) {
    PyErr_Clear();
    return nullptr;
  }
  PyRef type(PyObject_GetAttrString(module.get(), "Decimal"));
  if (!type || !PyType_Check(type.get())) {
    PyErr_Clear();
    return nullptr;
  }
  g_decimal = reinterpret_cast<PyTypeObject *>(type.release());
  return g_decimal;
}

}  // namespace

bool is_decimal(PyObject *value) {
  PyTypeObject *type = find_decimal_type();
  return type != nullptr && PyObject_TypeCheck(value, type);
}

}  // namespace vk
