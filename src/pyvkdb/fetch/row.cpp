// Row conversion: one library read per column, the column's type code
// choosing the representation, the buffer and the Python type.
#include "fetch/row.h"

#include "fetch/cells.h"
#include "module/datetime_slot.h"
#include "module/errors.h"

namespace vk {

namespace {

PyObject *convert_cell(CursorObject *self, FetchScratch *scratch, int32_t col) {
  int32_t code = 0;
  cli_column_type(&self->result, col, &code);
  switch (code) {
    case VESK_TYPE_NULL:
      Py_RETURN_NONE;
    case VESK_TYPE_BOOLEAN:
    case VESK_TYPE_TINYINT:
    case VESK_TYPE_SMALLINT:
    case VESK_TYPE_INTEGER:
    case VESK_TYPE_BIGINT:
    case VESK_TYPE_FLOAT:
    case VESK_TYPE_DOUBLE:
      return number_cell(self, col, code);
    case VESK_TYPE_VARCHAR:
    case VESK_TYPE_CHAR:
    case VESK_TYPE_TEXT:
      return varchar_cell(self, scratch, col, code);
    case VESK_TYPE_NUMERIC:
      return numeric_cell(self, scratch, col);
    case VESK_TYPE_DATE:
      return fixed_text_cell(self, scratch, col, code, 11);
    case VESK_TYPE_TIME:
      return fixed_text_cell(self, scratch, col, code, 9);
    case VESK_TYPE_DATETIME:
      return fixed_text_cell(self, scratch, col, code, 20);
    case VESK_TYPE_DATETIME_MS:
      return datetime_ms_cell(self, col);
    case VESK_TYPE_INTERVAL_YM:
    case VESK_TYPE_INTERVAL_DS:
      return interval_cell(self, col, code);
    case VESK_TYPE_BINARY:
    case VESK_TYPE_CLOB:
    case VESK_TYPE_BLOB:
      return lob_cell(self, scratch, col, code);
    default:
      return other_cell(self, scratch, col, code);
  }
}

}  // namespace

PyObject *convert_row(CursorObject *self) {
  int32_t count = 0;
  cli_column_count(&self->result, &count);
  if (count < 0) count = 0;
  PyRef row(PyTuple_New(count));
  if (!row) return nullptr;
  if (!datetime_ready()) return raise(PyExc_ImportError, "datetime initialization failed");
  FetchScratch *scratch = fetch_scratch_of(self);
  if (scratch == nullptr) return nullptr;
  bool holds_containers = false;
  for (int32_t col = 1; col <= count; ++col) {
    PyObject *value = convert_cell(self, scratch, col);
    if (value == nullptr) return nullptr;
    holds_containers = holds_containers || PyObject_IS_GC(value);
    PyTuple_SET_ITEM(row.get(), col - 1, value);
  }
  // A row of plain values can never be part of a reference cycle: keep it
  // out of the collector's lists, as the collector itself would on its next
  // pass (fetchall of many rows otherwise makes every collection walk them).
  if (!holds_containers && count > 0) PyObject_GC_UnTrack(row.get());
  return row.release();
}

}  // namespace vk
