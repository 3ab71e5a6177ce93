// Integer arguments: whole numbers only (int, bool, or an object with
// __index__), the same on every Python version.  A float or a Decimal is
// refused with TypeError instead of being cut to its integer part.
#ifndef PYVKDB_MODULE_INT_ARGS_H
#define PYVKDB_MODULE_INT_ARGS_H

#include <Python.h>
#include <cstdint>

namespace vk {

// The value of `obj` as a C int.  False with TypeError (not an integer) or
// OverflowError (out of range) set.
bool int_from_index(PyObject *obj, int *out);

// An "O&" converter for PyArg_Parse*: stores a C int through `out`.
int int_arg(PyObject *obj, void *out);

}  // namespace vk

#endif
