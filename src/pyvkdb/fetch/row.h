// Row conversion: the current row of the cursor's result as a tuple.
#ifndef PYVKDB_FETCH_ROW_H
#define PYVKDB_FETCH_ROW_H

#include <Python.h>

#include "cursor/cursor.h"

namespace vk {

// A new tuple with one item per column of the current row, or nullptr with
// a Python error set.  Does not check the cursor precondition and does not
// move the result.
PyObject *convert_row(CursorObject *self);

}  // namespace vk

#endif
