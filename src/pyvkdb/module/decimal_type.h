// Recognising decimal.Decimal values without importing the decimal module:
// a program that never imported it holds no Decimal.
#ifndef PYVKDB_MODULE_DECIMAL_TYPE_H
#define PYVKDB_MODULE_DECIMAL_TYPE_H

#include <Python.h>

namespace vk {

// True for a decimal.Decimal (or subclass) instance.  Leaves no error set.
bool is_decimal(PyObject *value);

}  // namespace vk

#endif
