// Row conversion: one library read per column, the column's type code
// choosing the representation, the buffer and the Python type.
#include "fetch/row.h"

#include <cstring>
#include <type_traits>

#include "fetch/cells.h"
#include "module/datetime_slot.h"
#include "module/errors.h"

namespace vk {

namespace {

// A whole number or a real number at its own width, read as number_cell
// reads it (a zeroed buffer of the code's width): the two codes most cells
// of most results come back under, converted here without the general
// number switch.
template <typename T>
PyObject *wide_number(CursorObject *self, int32_t col, int32_t code) {
  alignas(8) unsigned char buf[8] = {0};
  int32_t len = 0;
  cli_get_field(&self->result, col, code, buf, 8, &len);
  if (len <= 0) Py_RETURN_NONE;
  T v;
  std::memcpy(&v, buf, sizeof v);
  if constexpr (std::is_floating_point_v<T>) {
    return PyFloat_FromDouble(v);
  } else {
    return PyLong_FromLongLong(v);
  }
}

// The cell's value; *plain is set false for a value that could hold other
// objects (and so must keep its row known to the collector).
PyObject *convert_cell(CursorObject *self, FetchScratch *scratch, int32_t col, bool *plain) {
  int32_t code = 0;
  cli_column_type(&self->result, col, &code);
  switch (code) {
    case VESK_TYPE_BIGINT:
      return wide_number<int64_t>(self, col, code);
    case VESK_TYPE_DOUBLE:
      return wide_number<double>(self, col, code);
    case VESK_TYPE_VARCHAR:
    case VESK_TYPE_CHAR:
    case VESK_TYPE_TEXT:
      return varchar_cell(self, scratch, col, code);
    case VESK_TYPE_NULL:
      Py_RETURN_NONE;
    case VESK_TYPE_BOOLEAN:
    case VESK_TYPE_TINYINT:
    case VESK_TYPE_SMALLINT:
    case VESK_TYPE_INTEGER:
    case VESK_TYPE_FLOAT:
      return number_cell(self, col, code);
    default:
      break;
  }
  PyObject *value;
  switch (code) {
    case VESK_TYPE_NUMERIC:
      value = numeric_cell(self, scratch, col);
      break;
    case VESK_TYPE_DATE:
      value = fixed_text_cell(self, scratch, col, code, 11);
      break;
    case VESK_TYPE_TIME:
      value = fixed_text_cell(self, scratch, col, code, 9);
      break;
    case VESK_TYPE_DATETIME:
      value = fixed_text_cell(self, scratch, col, code, 20);
      break;
    case VESK_TYPE_DATETIME_MS:
      value = datetime_ms_cell(self, col);
      break;
    case VESK_TYPE_INTERVAL_YM:
    case VESK_TYPE_INTERVAL_DS:
      value = interval_cell(self, col, code);
      break;
    case VESK_TYPE_BINARY:
    case VESK_TYPE_CLOB:
    case VESK_TYPE_BLOB:
      value = lob_cell(self, scratch, col, code);
      break;
    default:
      value = other_cell(self, scratch, col, code);
      break;
  }
  if (value != nullptr && PyObject_IS_GC(value)) *plain = false;
  return value;
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
  bool plain = true;
  for (int32_t col = 1; col <= count; ++col) {
    PyObject *value = convert_cell(self, scratch, col, &plain);
    if (value == nullptr) return nullptr;
    PyTuple_SET_ITEM(row.get(), col - 1, value);
  }
  // A row of plain values can never be part of a reference cycle: keep it
  // out of the collector's lists, as the collector itself would on its next
  // pass (fetchall of many rows otherwise makes every collection walk them).
  if (plain && count > 0) PyObject_GC_UnTrack(row.get());
  return row.release();
}

}  // namespace vk
