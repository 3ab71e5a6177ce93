// One Python value → one bound input parameter.
#include "execute/convert.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "execute/float_text.h"
#include "module/decimal_type.h"
#include "module/errors.h"

namespace vk {

namespace {

constexpr int32_t kDirectionIn = VESK_PARAM_IN;

// What one conversion produced; `value` null for SQL NULL.
struct Converted {
  int32_t type;
  void *value;
  int32_t buflen;
  int32_t *len;
};

// Text length rule: the UTF-8 text's length, cut to a declared size that
// is smaller.  A cut never ends inside a character: it steps back to the
// start of the character it would split, so the text stays valid UTF-8.
int32_t text_length(const char *text, int32_t n, int32_t declared) {
  if (declared >= 0 && n > declared) {
    int32_t cut = declared;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return cut;
  }
  return n == 0 ? 1 : n;
}

bool convert_str(CursorObject *self, BindBuffers &buf, PyObject *value, Py_ssize_t index,
                 Converted &out) {
  Py_ssize_t size = 0;
  const char *text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return false;
  if (std::memchr(text, '\0', static_cast<size_t>(size)) != nullptr) {
    raise(ProgrammingError, "A str parameter holds a NUL character, which cannot be sent");
    return false;
  }
  if (size >= INT32_MAX) {
    raise(ProgrammingError, "A str parameter is too long to be sent");
    return false;
  }
  buf.str_len = text_length(text, static_cast<int32_t>(size), cursor_declared_size(self, index));
  // The empty text goes with length 1 and buffer length 2, more than the
  // str's own storage holds: it is sent from a buffer that has both bytes.
  static char empty_text[2] = {0, 0};
  char *data = size == 0 ? empty_text : const_cast<char *>(text);
  out = Converted{VESK_TYPE_VARCHAR, data, buf.str_len + 1, &buf.str_len};
  return true;
}

// `size` bytes at `data`, of which `readable` may be read (a bytes object
// has one zero byte past its end; a bytearray's storage is not promised).
bool send_bytes(CursorObject *self, BindBuffers &buf, char *data, Py_ssize_t size,
                Py_ssize_t readable, Py_ssize_t index, Converted &out) {
  if (size >= INT32_MAX) {
    raise(ProgrammingError, "A bytes parameter is too long to be sent");
    return false;
  }
  int32_t declared = cursor_declared_size(self, index);
  // A declared size never reaches past the value's own storage.
  int32_t length = static_cast<int32_t>(size);
  if (declared >= 0 && declared < length) length = declared;
  buf.bytes_len = length;
  out = Converted{VESK_TYPE_BINARY, data, length + static_cast<int32_t>(readable - size),
                  &buf.bytes_len};
  return true;
}

bool convert_bytes(CursorObject *self, BindBuffers &buf, PyObject *value, Py_ssize_t index,
                   Converted &out) {
  Py_ssize_t size = PyBytes_GET_SIZE(value);
  return send_bytes(self, buf, PyBytes_AS_STRING(value), size, size + 1, index, out);
}

// A bytearray is sent from its own storage; a memoryview (which may be
// strided or of another item format) as a bytes copy of its contents.
bool convert_bytes_like(CursorObject *self, BindBuffers &buf, PyObject *value, Py_ssize_t index,
                        Converted &out) {
  if (PyByteArray_Check(value)) {
    Py_ssize_t size = PyByteArray_GET_SIZE(value);
    return send_bytes(self, buf, PyByteArray_AS_STRING(value), size, size, index, out);
  }
  buf.made.reset(PyBytes_FromObject(value));
  if (!buf.made) return false;
  return convert_bytes(self, buf, buf.made.get(), index, out);
}

// A Decimal as the exact decimal text str() gives ("1234.5600", "1E+3",
// "-0.001", "NaN"), under the NUMERIC code.
bool convert_decimal(BindBuffers &buf, PyObject *value, Converted &out) {
  buf.made.reset(PyObject_Str(value));
  if (!buf.made) return false;
  Py_ssize_t size = 0;
  const char *text = PyUnicode_AsUTF8AndSize(buf.made.get(), &size);
  if (text == nullptr) return false;
  if (size >= INT32_MAX) {
    raise(ProgrammingError, "A Decimal parameter is too long to be sent");
    return false;
  }
  buf.decimal_len = static_cast<int32_t>(size);
  out = Converted{VESK_TYPE_NUMERIC, const_cast<char *>(text), buf.decimal_len + 1,
                  &buf.decimal_len};
  return true;
}

bool convert_int(BindBuffers &buf, PyObject *value, Converted &out) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0) {
    raise(PyExc_OverflowError, "An int parameter is outside the signed 64-bit range");
    return false;
  }
  if (v == -1 && PyErr_Occurred()) return false;
  buf.int64_cell = static_cast<int64_t>(v);
  buf.int_len = 8;
  out = Converted{VESK_TYPE_BIGINT, &buf.int64_cell, 8, &buf.int_len};
  return true;
}

// A date, time or date-time in its text form: the whole zero-filled buffer
// is sent, buffer length and length cell both its size.
template <size_t N>
bool temporal_text(char (&text)[N], int32_t &len, int32_t type,
                   int (*format)(char *, size_t, const DateTimeParts &), const DateTimeParts &parts,
                   Converted &out) {
  std::memset(text, 0, N);
  format(text, N, parts);
  len = static_cast<int32_t>(N);
  out = Converted{type, text, static_cast<int32_t>(N), &len};
  return true;
}

bool convert_float(BindBuffers &buf, PyObject *value, Converted &out) {
  const double d = PyFloat_AS_DOUBLE(value);
  if (!std::isfinite(d)) {
    // No text reads back as these everywhere: they go as the number.
    buf.double_cell = d;
    buf.double_len = 8;
    out = Converted{VESK_TYPE_DOUBLE, &buf.double_cell, 8, &buf.double_len};
    return true;
  }
  format_float(buf.float_text, d);
  buf.float_len = kFloatTextSize;
  out = Converted{VESK_TYPE_VARCHAR, buf.float_text, kFloatTextSize, &buf.float_len};
  return true;
}

// The conversion table, first match wins.  `bound` false: the value's
// type has no conversion (nothing is set).
bool convert(CursorObject *self, BindBuffers &buf, PyObject *value, Py_ssize_t index,
             Converted &out, bool &bound) {
  bound = true;
  if (Py_TYPE(value) == &PyBool_Type) {
    buf.int32_cell = value == Py_True ? 1 : 0;
    buf.bool_len = 4;
    out = Converted{VESK_TYPE_INTEGER, &buf.int32_cell, 4, &buf.bool_len};
    return true;
  }
  if (PyLong_Check(value)) return convert_int(buf, value, out);
  // The common exact types cannot be date-time values: skip those tests.
  PyTypeObject *type = Py_TYPE(value);
  if (type == &PyUnicode_Type) return convert_str(self, buf, value, index, out);
  if (type == &PyFloat_Type) return convert_float(buf, value, out);
  if (is_datetime(value)) {
    return temporal_text(buf.datetime_text, buf.datetime_len, VESK_TYPE_DATETIME, format_datetime,
                         datetime_parts(value), out);
  }
  if (is_date(value)) {
    return temporal_text(buf.date_text, buf.date_len, VESK_TYPE_DATE, format_date,
                         date_parts(value), out);
  }
  if (is_time(value)) {
    return temporal_text(buf.time_text, buf.time_len, VESK_TYPE_TIME, format_time,
                         time_parts(value), out);
  }
  if (PyFloat_Check(value)) return convert_float(buf, value, out);
  if (PyUnicode_Check(value)) return convert_str(self, buf, value, index, out);
  if (PyBytes_Check(value)) return convert_bytes(self, buf, value, index, out);
  if (value == Py_None) {
    buf.null_len = 0;
    out = Converted{VESK_TYPE_NULL, nullptr, 0, &buf.null_len};
    return true;
  }
  if (PyByteArray_Check(value) || PyMemoryView_Check(value)) {
    return convert_bytes_like(self, buf, value, index, out);
  }
  if (is_decimal(value)) return convert_decimal(buf, value, out);
  bound = false;
  return true;
}

// The name's UTF-8 text, or nullptr with an exception set.
const char *parameter_name(PyObject *name) {
  if (!PyUnicode_Check(name)) {
    raise(ProgrammingError, "A parameter name (dict key) must be a str");
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char *text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) return nullptr;
  if (std::strlen(text) != static_cast<size_t>(size)) {
    raise(ProgrammingError, "A parameter name holds a NUL character");
    return nullptr;
  }
  return text;
}

}  // namespace

int format_date(char *out, size_t cap, const DateTimeParts &p) {
  return std::snprintf(out, cap, "%04d-%02d-%02d", p.year, p.month, p.day);
}

int format_time(char *out, size_t cap, const DateTimeParts &p) {
  return std::snprintf(out, cap, "%02d:%02d:%02d.%06d", p.hour, p.minute, p.second,
                       p.microsecond);
}

int format_datetime(char *out, size_t cap, const DateTimeParts &p) {
  return std::snprintf(out, cap, "%04d-%02d-%02d %02d:%02d:%02d.%06d", p.year, p.month, p.day,
                       p.hour, p.minute, p.second, p.microsecond);
}

void format_float(char (&out)[kFloatTextSize], double value) {
  // The values format_fixed13 takes have texts of at most 31 characters:
  // they are written in place, after the zeros.
  std::memset(out, 0, sizeof out);
  if (format_fixed13(value, out, sizeof out) == FixedText::RoundTrips) return;
  // Room for the first 64 characters and a zero; longer texts are cut here.
  char text[kFloatTextSize + 1];
  FixedText fixed = format_fixed13(value, text, sizeof text);
  if (fixed == FixedText::NotHandled) {
    std::snprintf(text, sizeof text, "%0.13lf", value);
    fixed = (std::isnan(value) || std::strtod(text, nullptr) == value) ? FixedText::RoundTrips
                                                                       : FixedText::Inexact;
  }
  if (fixed == FixedText::Inexact) std::snprintf(text, sizeof text, "%.17g", value);
  std::memset(out, 0, sizeof out);
  std::memcpy(out, text, std::strlen(text));  // at most 64 bytes
}

bool has_conversion_slow(PyObject *value) {
  if (PyLong_Check(value) || PyBytes_Check(value) || PyFloat_Check(value) ||
      PyUnicode_Check(value) || PyByteArray_Check(value) || PyMemoryView_Check(value)) {
    return true;
  }
  return is_datetime(value) || is_date(value) || is_time(value) || is_decimal(value);
}

bool refuse_unconvertible(PyObject *value, Py_ssize_t index, PyObject *name) {
  if (name != nullptr && PyUnicode_Check(name)) {
    PyErr_Format(ProgrammingError, "parameter '%U': a value of type '%.100s' cannot be sent",
                 name, Py_TYPE(value)->tp_name);
  } else {
    PyErr_Format(ProgrammingError, "parameter %zd: a value of type '%.100s' cannot be sent",
                 index + 1, Py_TYPE(value)->tp_name);
  }
  return false;
}

bool bind_value(CursorObject *self, BindBuffers &buf, PyObject *value, Py_ssize_t index,
                PyObject *name) {
  Converted c{};
  bool bound = false;
  if (!convert(self, buf, value, index, c, bound)) return false;
  if (!bound) return refuse_unconvertible(value, index, name);
  // Fetching the value may have run Python code (a sequence's __getitem__)
  // that closed the connection: never bind on a handle that is gone.
  if (!cursor_precondition(self)) return false;
  if (name == nullptr) {
    if (index >= INT32_MAX) {
      raise(ProgrammingError, "Too many parameters");
      return false;
    }
    cli_bind_param(&self->conn_handle, static_cast<int32_t>(index + 1), kDirectionIn, c.type,
                   c.value, c.buflen, c.len);
    return true;
  }
  const char *text = parameter_name(name);
  if (text == nullptr) return false;
  cli_bind_param_named(&self->conn_handle, text, kDirectionIn, c.type, c.value, c.buflen,
                       nullptr, c.len);
  return true;
}

bool parameters_walkable(PyObject *params) {
  return PyDict_Check(params) || PySequence_Check(params);
}

PyRef sets_as_list(PyObject *params) {
  if (params == nullptr || params == Py_None || parameters_walkable(params) ||
      PyUnicode_Check(params) || PyBytes_Check(params) || PyByteArray_Check(params) ||
      Py_TYPE(params)->tp_iter == nullptr)
    return PyRef::borrow(params);
  return PyRef(PySequence_List(params));
}

}  // namespace vk
