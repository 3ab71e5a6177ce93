// cursor.executebatch(sql, columns): one statement for many rows in a single
// library call, the parameters given column by column.
#include <climits>
#include <vector>

#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "execute/batch_columns.h"
#include "execute/convert.h"
#include "execute/execution.h"
#include "module/datetime_slot.h"
#include "module/errors.h"
#include "module/pyref.h"

namespace vk {

namespace {

const char kMultiResultMessage[] =
    "This function does not support multi-result set operations, use the 'execute()' function";
const char kLengthMismatchMessage[] =
    "The number of parameters does not match and the batch operation cannot be performed";

// A list or tuple view of a sequence (the object itself for a list or
// tuple; any other sequence is copied into a list).  False for a mapping or
// an object without a length and integer indexing.
bool is_column_sequence(PyObject *obj) { return PySequence_Check(obj) && !PyDict_Check(obj); }

PyRef fast_sequence(PyObject *obj) { return PyRef(PySequence_Fast(obj, "not a sequence")); }

bool fail(PyObject *cls, const char *message) {
  PyErr_SetString(cls, message);
  return false;
}

// The columns of the parameters argument and their common length.
struct BatchShape {
  std::vector<PyRef> columns;  // list/tuple views, one per placeholder
  Py_ssize_t rows = 0;         // length of the last column (0 without columns)
};

// Measures every column and checks that they agree; raises as the batch
// rules say and returns false on the first disagreement.
bool measure_columns(PyObject *params, BatchShape &shape) {
  // Columns (and the column list) given as generators are read once.
  PyRef listed = sets_as_list(params);
  if (!listed) return false;
  params = listed.get();
  if (!is_column_sequence(params)) return fail(ProgrammingError, "executebatch Parameter mismatch");
  PyRef outer = fast_sequence(params);
  if (!outer) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(outer.get());
  if (n > INT32_MAX) return fail(ProgrammingError, "executebatch: too many columns");
  shape.columns.reserve(static_cast<size_t>(n));
  std::vector<Py_ssize_t> sizes;  // the column-size table
  sizes.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n && i < PySequence_Fast_GET_SIZE(outer.get()); ++i) {
    // Held while a non-list column is copied: that may run Python code.
    PyRef col = sets_as_list(PySequence_Fast_GET_ITEM(outer.get(), i));
    if (!col) return false;
    if (!is_column_sequence(col.get())) {
      PyErr_Format(ProgrammingError, "executebatch column %zd is not a list or tuple but %.100s",
                   i + 1, Py_TYPE(col.get())->tp_name);
      return false;
    }
    PyRef fast = fast_sequence(col.get());
    if (!fast) return false;
    sizes.push_back(PySequence_Fast_GET_SIZE(fast.get()));
    shape.columns.push_back(std::move(fast));
  }
  shape.rows = sizes.empty() ? 0 : sizes.back();
  for (Py_ssize_t size : sizes) {
    if (size != sizes.front()) return fail(ProgrammingError, kLengthMismatchMessage);
  }
  if (!shape.columns.empty() && shape.rows == 0) {
    return fail(ProgrammingError, "executebatch: the columns hold no values");
  }
  if (shape.rows > INT32_MAX) return fail(ProgrammingError, "executebatch: too many rows");
  return true;
}

}  // namespace

PyObject *cursor_executebatch(PyObject *self_obj, PyObject *args, PyObject *) {
  CursorObject *self = reinterpret_cast<CursorObject *>(self_obj);
  if (!begin_execution(self, true)) return nullptr;
  cli_reset_params(&self->conn_handle);

  PyObject *sql_obj = nullptr;
  PyObject *params = nullptr;
  if (!PyArg_ParseTuple(args, "OO", &sql_obj, &params)) {
    return raise(ProgrammingError, "executebatch Parameter mismatch");
  }
  const char *sql = statement_text(sql_obj, "executebatch");
  if (sql == nullptr) return nullptr;

  self->result_kind = cli_sql_kind(sql);
  if (self->result_kind == VESK_KIND_MULTI) return raise(ProgrammingError, kMultiResultMessage);

  BatchShape shape;
  if (!measure_columns(params, shape)) return nullptr;
  const int32_t n = static_cast<int32_t>(shape.columns.size());
  const int32_t rows = static_cast<int32_t>(shape.rows);

  // The library copies a column, its lengths included, during the bind: each
  // data and length array is freed right after its bind, so no more than one
  // column is ever held here.
  for (int32_t i = 0; i < n; ++i) {
    HeapBlock<int32_t> lens;
    if (!lens.alloc_zeroed(static_cast<size_t>(rows))) return PyErr_NoMemory();
    PackedColumn packed;
    switch (pack_column(shape.columns[static_cast<size_t>(i)].get(), rows, i + 1, lens.get(),
                        packed)) {
      case ColumnStatus::Bound:
        // Reading the columns may have run Python code that closed the
        // connection: never bind on a handle that is gone.
        if (!cursor_precondition(self)) return nullptr;
        if (cli_bind_array(&self->conn_handle, i + 1, n, VESK_PARAM_IN, packed.type_code, rows,
                           packed.data.get(), packed.width, lens.get()) < 0) {
          return raise_library_error(&self->conn_handle);
        }
        break;
      case ColumnStatus::AllNone: return raise(ProgrammingError, "Parameter is null");
      case ColumnStatus::Failed: return nullptr;
    }
  }

  if (!cursor_precondition(self)) return nullptr;
  self->result_kind = cli_sql_kind(sql);
  if (cli_exec_batch(&self->conn_handle, sql, rows) < 0) {
    return raise_library_error(&self->conn_handle);
  }
  if (self->result_kind == VESK_KIND_NO_ROWS) self->rowcount = rows;
  Py_RETURN_NONE;
}

}  // namespace vk
