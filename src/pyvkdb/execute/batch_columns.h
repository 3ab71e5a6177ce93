// Column conversion for executebatch: one Python column (a list or tuple of
// the values of one placeholder, row by row) becomes one array for
// cli_bind_array, either fixed-width numbers or packed text records.
#ifndef PYVKDB_EXECUTE_BATCH_COLUMNS_H
#define PYVKDB_EXECUTE_BATCH_COLUMNS_H

#include <Python.h>
#include <cstdint>

#include "module/pyref.h"

namespace vk {

// Largest packed text buffer or data array handed to the library: its
// width argument is a signed 32-bit byte count.
constexpr int64_t kBatchBufferLimit = INT32_MAX;

enum class ColumnStatus {
  Bound,    // `out` holds the array to bind
  AllNone,  // every value is None
  Failed,   // a Python exception is set
};

struct PackedColumn {
  int32_t type_code = 0;
  int32_t width = 0;  // element width, or bytes used by the packed records
  HeapBlock<char> data;
};

// Convert `column` (a list or tuple, as returned by PySequence_Fast) of
// `rows` values into `out`, writing each value's length into `lens`
// (`rows` entries, 0 for None).  `column_number` counts from 1 and only
// names the column in error messages.
//
// The kind is decided by the first value that is not None; every other value
// must be None or of that kind (an int is accepted in a bool or float
// column; bytes, bytearray and a contiguous memoryview share a column; a
// Decimal column is sent as the values' exact texts).  A first value of a
// type without a conversion raises ProgrammingError naming it.  A value of another type raises ProgrammingError, an int that
// does not fit the column's width raises OverflowError, a packed buffer past
// kBatchBufferLimit raises ProgrammingError.
ColumnStatus pack_column(PyObject *column, Py_ssize_t rows, Py_ssize_t column_number,
                         int32_t *lens, PackedColumn &out);

}  // namespace vk

#endif
