// Fixed-width cells: BOOLEAN and the integer and floating-point codes.  The
// value lands in stack storage; nothing is allocated but the Python object.
#include <cstring>

#include "fetch/cells.h"

namespace vk {

PyObject *number_cell(CursorObject *self, int32_t col, int32_t code) {
  int32_t width;
  switch (code) {
    case VESK_TYPE_BOOLEAN:
    case VESK_TYPE_TINYINT: width = 1; break;
    case VESK_TYPE_SMALLINT: width = 2; break;
    case VESK_TYPE_INTEGER:
    case VESK_TYPE_FLOAT: width = 4; break;
    default: width = 8; break;  // BIGINT, DOUBLE
  }
  // Zeroed so a short delivery never exposes stale stack bytes.
  alignas(8) unsigned char buf[8] = {0};
  int32_t len = 0;
  cli_get_field(&self->result, col, code, buf, width, &len);
  if (len <= 0) Py_RETURN_NONE;
  switch (code) {
    case VESK_TYPE_BOOLEAN:
      return PyBool_FromLong(buf[0] == 'T');
    case VESK_TYPE_TINYINT:
      return PyLong_FromLong(static_cast<int8_t>(buf[0]));
    case VESK_TYPE_SMALLINT: {
      int16_t v;
      std::memcpy(&v, buf, sizeof v);
      return PyLong_FromLong(v);
    }
    case VESK_TYPE_INTEGER: {
      int32_t v;
      std::memcpy(&v, buf, sizeof v);
      return PyLong_FromLong(v);
    }
    case VESK_TYPE_FLOAT: {
      float v;
      std::memcpy(&v, buf, sizeof v);
      return PyFloat_FromDouble(static_cast<double>(v));
    }
    case VESK_TYPE_DOUBLE: {
      double v;
      std::memcpy(&v, buf, sizeof v);
      return PyFloat_FromDouble(v);
    }
    default: {
      int64_t v;
      std::memcpy(&v, buf, sizeof v);
      return PyLong_FromLongLong(v);
    }
  }
}

}  // namespace vk
