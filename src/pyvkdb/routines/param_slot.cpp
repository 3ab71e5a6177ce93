// Routine parameters: the bind table and the read-back table.
#include "routines/param_slot.h"

#include <cstring>
#include <limits>
#include <string>

#include "cursor/column_types.h"
#include "execute/convert.h"
#include "module/datetime_slot.h"
#include "module/decimal_type.h"
#include "module/errors.h"

namespace vk {

namespace {

// Text buffer without a declared size, and the NUMERIC buffer.
constexpr int32_t kTextBufferSize = 65536 + 1;
constexpr int32_t kNumericBufferSize = 64;
constexpr int32_t kFunctionDateTimeSize = 64;

const char *code_name(int32_t type) {
  const char *name = column_type_info(type, 0).name;
  return (name && *name) ? name : "this type";
}

bool refuse_value(PyObject *value, Py_ssize_t index, int32_t type) {
  PyErr_Format(ProgrammingError, "parameter %zd: a value of type '%.100s' cannot be sent as %s",
               index + 1, Py_TYPE(value)->tp_name, code_name(type));
  return false;
}

// The buffer: `size` bytes for the library, zero-filled, one more for the
// terminator the read-back writes.
bool take_buffer(ParamSlot *slot, int64_t size, int32_t sent) {
  if (size > std::numeric_limits<int32_t>::max() - 1) {
    PyErr_SetString(ProgrammingError, "a routine parameter is larger than 2 GiB");
    return false;
  }
  if (!slot->buf.alloc_zeroed(static_cast<size_t>(size) + 1)) {
    PyErr_NoMemory();
    return false;
  }
  slot->size = static_cast<int32_t>(size);
  slot->sent = sent < 0 ? static_cast<int32_t>(size) : sent;
  return true;
}

bool int_in_range(PyObject *value, Py_ssize_t index, int32_t type, int64_t lo, int64_t hi,
                  int64_t *out) {
  if (!PyLong_Check(value)) return refuse_value(value, index, type);
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || v < lo || v > hi) {
    PyErr_Format(ProgrammingError, "parameter %zd: the value is out of the range of %s",
                 index + 1, code_name(type));
    return false;
  }
  *out = v;
  return true;
}

bool double_of(PyObject *value, Py_ssize_t index, int32_t type, double *out) {
  if (!PyFloat_Check(value) && !PyLong_Check(value)) return refuse_value(value, index, type);
  *out = PyFloat_AsDouble(value);
  return !(*out == -1.0 && PyErr_Occurred());
}

// A str's UTF-8 text, refusing one that holds a NUL (the library would stop
// reading there).
const char *utf8_of(PyObject *value, Py_ssize_t index, Py_ssize_t *n) {
  const char *text = PyUnicode_AsUTF8AndSize(value, n);
  if (text == nullptr) return nullptr;
  if (std::memchr(text, '\0', static_cast<size_t>(*n)) != nullptr) {
    PyErr_Format(ProgrammingError, "parameter %zd: the text holds a NUL character", index + 1);
    return nullptr;
  }
  return text;
}

bool too_long(Py_ssize_t index, Py_ssize_t n, int32_t declared) {
  PyErr_Format(ProgrammingError,
               "parameter %zd: the value has %zd bytes, more than its declared size %d",
               index + 1, n, static_cast<int>(declared));
  return false;
}

bool is_text_code(int32_t t) {
  return t == VESK_TYPE_VARCHAR || t == VESK_TYPE_CLOB || t == VESK_TYPE_REFCURSOR ||
         t == VESK_TYPE_CHAR || t == VESK_TYPE_NCHAR;
}
bool is_binary_code(int32_t t) {
  return t == VESK_TYPE_BINARY || t == VESK_TYPE_VARBINARY || t == VESK_TYPE_BLOB;
}

template <typename T>
void store(ParamSlot *slot, T v) {
  std::memcpy(slot->buf.get(), &v, sizeof v);
}

bool fill_number(PyObject *value, Py_ssize_t index, ParamSlot *slot, int32_t *cell) {
  const int32_t type = slot->type;
  int64_t i = 0;
  double d = 0;
  switch (type) {
    case VESK_TYPE_BOOLEAN:
      // The library reads one byte here: the flag is sent as 1 or 0.
      if (!int_in_range(value, index, type, std::numeric_limits<int64_t>::min(),
                        std::numeric_limits<int64_t>::max(), &i))
        return false;
      if (!take_buffer(slot, 8, 1)) return false;
      store<int32_t>(slot, i != 0);
      *cell = 1;
      return true;
    case VESK_TYPE_TINYINT:
      if (!int_in_range(value, index, type, -128, 127, &i) || !take_buffer(slot, 8, 1))
        return false;
      store<int32_t>(slot, static_cast<int32_t>(i));
      *cell = 1;
      return true;
    case VESK_TYPE_SMALLINT:
      if (!int_in_range(value, index, type, INT16_MIN, INT16_MAX, &i) || !take_buffer(slot, 8, 2))
        return false;
      store<int16_t>(slot, static_cast<int16_t>(i));
      *cell = 2;
      return true;
    case VESK_TYPE_INTEGER:
      if (!int_in_range(value, index, type, INT32_MIN, INT32_MAX, &i) || !take_buffer(slot, 8, 4))
        return false;
      store<int32_t>(slot, static_cast<int32_t>(i));
      *cell = 4;
      return true;
    case VESK_TYPE_BIGINT:
      if (!int_in_range(value, index, type, std::numeric_limits<int64_t>::min(),
                        std::numeric_limits<int64_t>::max(), &i) ||
          !take_buffer(slot, 8, 8))
        return false;
      store<int64_t>(slot, i);
      *cell = 8;
      return true;
    case VESK_TYPE_FLOAT:
      if (!double_of(value, index, type, &d) || !take_buffer(slot, 8, 4)) return false;
      store<float>(slot, static_cast<float>(d));
      *cell = 4;
      return true;
    default:  // DOUBLE
      if (!double_of(value, index, type, &d) || !take_buffer(slot, 8, 8)) return false;
      store<double>(slot, d);
      *cell = 8;
      return true;
  }
}

// NUMERIC: a float as the shortest text that reads back as the same
// double, an int or a Decimal as its exact text, a str as it is.
bool fill_numeric(PyObject *value, Py_ssize_t index, ParamSlot *slot, int32_t *cell) {
  PyRef text;
  if (PyFloat_Check(value)) {
    char *s = PyOS_double_to_string(PyFloat_AS_DOUBLE(value), 'r', 0, 0, nullptr);
    if (s == nullptr) return false;
    text.reset(PyUnicode_FromString(s));
    PyMem_Free(s);
  } else if (PyLong_Check(value) || is_decimal(value)) {
    text.reset(PyObject_Str(value));
  } else if (PyUnicode_Check(value)) {
    text = PyRef::borrow(value);
  } else {
    return refuse_value(value, index, slot->type);
  }
  if (!text) return false;
  Py_ssize_t n = 0;
  const char *s = utf8_of(text.get(), index, &n);
  if (s == nullptr) return false;
  const int64_t size = n < kNumericBufferSize ? kNumericBufferSize : static_cast<int64_t>(n) + 1;
  if (!take_buffer(slot, size, -1)) return false;
  std::memcpy(slot->buf.get(), s, static_cast<size_t>(n));
  *cell = static_cast<int32_t>(n);
  return true;
}

bool fill_text(CursorObject *self, PyObject *value, Py_ssize_t index, ParamSlot *slot,
               int32_t *cell) {
  if (!PyUnicode_Check(value)) return refuse_value(value, index, slot->type);
  Py_ssize_t n = 0;
  const char *s = utf8_of(value, index, &n);
  if (s == nullptr) return false;
  const int32_t declared = cursor_declared_size(self, index);
  int64_t size;
  if (declared >= 0) {
    if (n > declared) return too_long(index, n, declared);
    size = static_cast<int64_t>(declared) + 1;
  } else {
    size = n < kTextBufferSize ? kTextBufferSize : static_cast<int64_t>(n) + 1;
  }
  if (!take_buffer(slot, size, -1)) return false;
  std::memcpy(slot->buf.get(), s, static_cast<size_t>(n));
  // An empty text is one zero byte: a length of 0 would read back as NULL.
  *cell = n == 0 ? 1 : static_cast<int32_t>(n);
  return true;
}

bool fill_binary(CursorObject *self, PyObject *value, Py_ssize_t index, ParamSlot *slot,
                 int32_t *cell) {
  if (!PyBytes_Check(value) && !PyByteArray_Check(value))
    return refuse_value(value, index, slot->type);
  const char *data = PyBytes_Check(value) ? PyBytes_AS_STRING(value) : PyByteArray_AS_STRING(value);
  const Py_ssize_t n = PyBytes_Check(value) ? PyBytes_GET_SIZE(value) : PyByteArray_GET_SIZE(value);
  const int32_t declared = cursor_declared_size(self, index);
  if (declared >= 0 && n > declared) return too_long(index, n, declared);
  // Without a declared size an output gets the room a text would.
  int64_t size = declared >= 0 ? static_cast<int64_t>(declared) + 1 : static_cast<int64_t>(n) + 1;
  if (declared < 0 && slot->direction != VESK_PARAM_IN && size < kTextBufferSize)
    size = kTextBufferSize;
  if (!take_buffer(slot, size, -1)) return false;
  if (n > 0) std::memcpy(slot->buf.get(), data, static_cast<size_t>(n));  // every byte
  *cell = static_cast<int32_t>(n);
  slot->empty_binary = n == 0;
  return true;
}

bool fill_temporal(PyObject *value, Py_ssize_t index, bool in_function, ParamSlot *slot,
                   int32_t *cell) {
  const int32_t type = slot->type;
  int32_t size;
  int (*format)(char *, size_t, const DateTimeParts &);
  DateTimeParts parts{};
  if (type == VESK_TYPE_DATE) {
    if (!is_date(value)) return refuse_value(value, index, type);
    size = in_function ? kFunctionDateTimeSize : kDateTextSize;
    format = format_date;
    parts = date_parts(value);
  } else if (type == VESK_TYPE_TIME) {
    if (!is_time(value)) return refuse_value(value, index, type);
    size = in_function ? kFunctionDateTimeSize : kTimeTextSize;
    format = format_time;
    parts = time_parts(value);
  } else {
    if (!is_date(value)) return refuse_value(value, index, type);
    size = kDateTimeTextSize;
    format = format_datetime;
    parts = is_datetime(value) ? datetime_parts(value) : date_parts(value);
  }
  if (!take_buffer(slot, size, -1)) return false;
  const int n = format(slot->buf.get(), static_cast<size_t>(size), parts);
  // A function call's date and time cells carry the buffer's size less one.
  *cell = (in_function && type != VESK_TYPE_DATETIME) ? size - 1 : n;
  return true;
}

// The buffer a NULL input of this code gets, so an output can land in it.
bool fill_null(CursorObject *self, Py_ssize_t index, bool in_function, ParamSlot *slot,
               int32_t *cell) {
  const int32_t t = slot->type;
  int64_t size = 8;
  int32_t sent = -1;
  if (t == VESK_TYPE_BOOLEAN || t == VESK_TYPE_TINYINT) {
    sent = 1;
  } else if (t == VESK_TYPE_SMALLINT) {
    sent = 2;
  } else if (t == VESK_TYPE_INTEGER || t == VESK_TYPE_FLOAT) {
    sent = 4;
  } else if (t == VESK_TYPE_BIGINT || t == VESK_TYPE_DOUBLE) {
    sent = 8;
  } else if (t == VESK_TYPE_NUMERIC) {
    size = kNumericBufferSize;
  } else if (t == VESK_TYPE_DATE) {
    size = in_function ? kFunctionDateTimeSize : kDateTextSize;
  } else if (t == VESK_TYPE_TIME) {
    size = in_function ? kFunctionDateTimeSize : kTimeTextSize;
  } else if (t == VESK_TYPE_DATETIME) {
    size = kDateTimeTextSize;
  } else {  // texts and binary values: the declared size, else a text's default
    const int32_t declared = cursor_declared_size(self, index);
    size = declared >= 0 ? static_cast<int64_t>(declared) + 1 : kTextBufferSize;
  }
  if (!take_buffer(slot, size, sent)) return false;
  *cell = VESK_NULL_LENGTH;
  return true;
}

bool has_slot_conversion(int32_t t) {
  return (t >= VESK_TYPE_BOOLEAN && t <= VESK_TYPE_NUMERIC) || t == VESK_TYPE_DATE ||
         t == VESK_TYPE_TIME || t == VESK_TYPE_DATETIME || is_text_code(t) || is_binary_code(t);
}

PyObject *decode_utf8(const char *s, size_t n, Py_ssize_t index) {
  PyObject *v = PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), nullptr);
  if (v == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    if (index >= 0)
      PyErr_Format(DataError, "parameter %zd: the returned value is not valid UTF-8", index + 1);
    else
      PyErr_SetString(DataError, "the returned value is not valid UTF-8");
  }
  return v;
}

// A returned length beyond what the buffer holds (`room` bytes of text).
bool does_not_fit(int32_t cell, int32_t room, Py_ssize_t index) {
  if (index >= 0)
    PyErr_Format(ProgrammingError,
                 "parameter %zd: the returned value has %d bytes, more than the %d its buffer "
                 "holds (declare a larger size with setinputsizes)",
                 index + 1, static_cast<int>(cell), static_cast<int>(room));
  else
    PyErr_Format(ProgrammingError,
                 "the return value has %d bytes, more than the %d its buffer holds (declare a "
                 "larger size with setinputsizes)",
                 static_cast<int>(cell), static_cast<int>(room));
  return false;
}

// The number at the start of a text (blanks first), as the C runtime's
// atof reads it, independent of the locale; false when there is none.
bool leading_double(const char *s, double *out) {
  char *end = nullptr;
  *out = PyOS_string_to_double(s, &end, nullptr);
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return end != s;
}

bool leading_double_text(const char *s, double *out) {
  while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\f' || *s == '\v') ++s;
  const char *p = s;
  if (*p == '+') ++p;
  return leading_double(p, out);
}

// The integer at the start of a text, as atoi/atoll read it but exact at
// any size.
PyObject *leading_int(const char *s) {
  while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\f' || *s == '\v') ++s;
  const char *p = s;
  if (*p == '+' || *p == '-') ++p;
  const char *digits = p;
  while (*p >= '0' && *p <= '9') ++p;
  if (p == digits) return nullptr;
  std::string text(s, static_cast<size_t>(p - s));
  return PyLong_FromString(text.c_str(), nullptr, 10);
}

}  // namespace

Fill fill_slot(CursorObject *self, PyObject *value, Py_ssize_t index, bool in_function,
               ParamSlot *slot, int32_t *cell) {
  const int32_t t = slot->type;
  if (!has_slot_conversion(t)) return Fill::NoConversion;
  bool ok;
  if (value == Py_None) {
    ok = fill_null(self, index, in_function, slot, cell);
  } else if (t <= VESK_TYPE_DOUBLE && t != VESK_TYPE_VARCHAR) {
    ok = fill_number(value, index, slot, cell);
  } else if (t == VESK_TYPE_NUMERIC) {
    ok = fill_numeric(value, index, slot, cell);
  } else if (is_text_code(t)) {
    ok = fill_text(self, value, index, slot, cell);
  } else if (is_binary_code(t)) {
    ok = fill_binary(self, value, index, slot, cell);
  } else {
    ok = fill_temporal(value, index, in_function, slot, cell);
  }
  if (!ok) return Fill::Failed;
  slot->bound = true;
  return Fill::Bound;
}

PyObject *read_slot(const ParamSlot &slot, int32_t cell, Py_ssize_t index,
                    const char **refcursor_name) {
  *refcursor_name = nullptr;
  if (!slot.bound) Py_RETURN_NONE;
  if (cell <= 0) {
    // An empty bytes value sent as input comes back as it went.
    if (cell == 0 && slot.empty_binary && slot.direction == VESK_PARAM_IN)
      return PyUnicode_FromStringAndSize("", 0);
    Py_RETURN_NONE;
  }
  const char *b = slot.buf.get();
  switch (slot.type) {
    case VESK_TYPE_BOOLEAN: {
      int32_t v;
      std::memcpy(&v, b, 4);
      if (v == 'F' || v == 0) Py_RETURN_FALSE;
      Py_RETURN_TRUE;  // 'T', 1, and any other set flag
    }
    case VESK_TYPE_TINYINT:
      // Outputs of this code are one byte wide.
      return PyLong_FromLong(static_cast<int8_t>(b[0]));
    case VESK_TYPE_SMALLINT: {
      int16_t v;
      std::memcpy(&v, b, 2);
      return PyLong_FromLong(v);
    }
    case VESK_TYPE_INTEGER: {
      int32_t v;
      std::memcpy(&v, b, 4);
      return PyLong_FromLong(v);
    }
    case VESK_TYPE_BIGINT: {
      int64_t v;
      std::memcpy(&v, b, 8);
      return PyLong_FromLongLong(v);
    }
    case VESK_TYPE_FLOAT: {
      float v;
      std::memcpy(&v, b, 4);
      return PyFloat_FromDouble(v);
    }
    case VESK_TYPE_DOUBLE: {
      double v;
      std::memcpy(&v, b, 8);
      return PyFloat_FromDouble(v);
    }
    default:
      break;
  }
  // Texts: an empty one is a single zero byte; any other must leave room
  // for its terminator in the buffer the library was given.
  if (cell == 1 && b[0] == '\0') return PyUnicode_FromStringAndSize("", 0);
  if (cell >= slot.size) {
    does_not_fit(cell, slot.size - 1, index);
    return nullptr;
  }
  char *text = const_cast<char *>(b);
  text[cell] = '\0';
  if (slot.type == VESK_TYPE_NUMERIC) {
    double v = 0;
    if (!leading_double_text(text, &v)) v = 0.0;
    return PyFloat_FromDouble(v);
  }
  if (is_binary_code(slot.type)) return decode_utf8(text, static_cast<size_t>(cell), index);
  // Texts and date-time texts end at their first zero byte.
  const size_t n = strnlen(text, static_cast<size_t>(cell));
  if (slot.type == VESK_TYPE_REFCURSOR) {
    if (n >= kCursorNameSize) {
      PyErr_Format(ProgrammingError,
                   "parameter %zd: the server cursor's name has %zu bytes; at most %zu fit",
                   index + 1, n, kCursorNameSize - 1);
      return nullptr;
    }
    PyObject *name = decode_utf8(text, n, index);
    if (name != nullptr && n > 0) *refcursor_name = text;
    return name;
  }
  return decode_utf8(text, n, index);
}

PyObject *read_return_value(const char *buf, int32_t size, int32_t cell, int32_t type) {
  if (cell <= 0) Py_RETURN_NONE;
  if (cell >= size) {
    does_not_fit(cell, size - 1, -1);
    return nullptr;
  }
  char *text = const_cast<char *>(buf);
  text[cell] = '\0';
  const size_t n = strnlen(text, static_cast<size_t>(cell));
  switch (type) {
    case VESK_TYPE_BOOLEAN: {
      const char c = n > 0 ? text[0] : '\0';
      if (c == 'T' || c == 't' || c == '1' || c == 'Y' || c == 'y') Py_RETURN_TRUE;
      if (c == 'F' || c == 'f' || c == '0' || c == 'N' || c == 'n') Py_RETURN_FALSE;
      PyErr_Format(DataError, "the return value '%.40s' is not a truth value", text);
      return nullptr;
    }
    case VESK_TYPE_TINYINT:
    case VESK_TYPE_SMALLINT:
    case VESK_TYPE_INTEGER:
    case VESK_TYPE_BIGINT: {
      PyObject *v = leading_int(text);
      if (v == nullptr && !PyErr_Occurred())
        PyErr_Format(DataError, "the return value '%.40s' is not an integer", text);
      return v;
    }
    case VESK_TYPE_FLOAT:
    case VESK_TYPE_DOUBLE:
    case VESK_TYPE_NUMERIC: {
      double v = 0;
      if (!leading_double_text(text, &v)) {
        PyErr_Format(DataError, "the return value '%.40s' is not a number", text);
        return nullptr;
      }
      return PyFloat_FromDouble(v);
    }
    default:
      return decode_utf8(text, n, -1);
  }
}

}  // namespace vk
