// Column conversion for executebatch.
//
// Fixed-width kinds (bool, int, float) become a data array of 4- or 8-byte
// values.  Text-like kinds (str, bytes, date, time, datetime) become packed
// records: a signed 32-bit length in native byte order followed by that many
// bytes, back to back.  The library copies the array during the bind, so the
// caller frees it right after.
#include "execute/batch_columns.h"

#include <climits>
#include <cstring>

#include "client/client.h"
#include "execute/convert.h"
#include "module/datetime_slot.h"
#include "module/decimal_type.h"
#include "module/errors.h"

namespace vk {

namespace {

enum class Kind { Bool, Int, DateTime, Date, Time, Double, Text, Bytes, Decimal, Other };

const char *kind_name(Kind k) {
  switch (k) {
    case Kind::Bool: return "bool";
    case Kind::Int: return "int";
    case Kind::DateTime: return "datetime";
    case Kind::Date: return "date";
    case Kind::Time: return "time";
    case Kind::Double: return "float";
    case Kind::Text: return "str";
    case Kind::Bytes: return "bytes";
    case Kind::Decimal: return "Decimal";
    case Kind::Other: break;
  }
  return "?";
}

bool is_bytes_like(PyObject *v) {
  return PyBytes_Check(v) || PyByteArray_Check(v) || PyMemoryView_Check(v);
}

// The order matters: a bool is also an int, a datetime is also a date.
Kind kind_of(PyObject *v) {
  if (Py_TYPE(v) == &PyBool_Type) return Kind::Bool;
  if (PyLong_Check(v)) return Kind::Int;
  if (is_datetime(v)) return Kind::DateTime;
  if (is_date(v)) return Kind::Date;
  if (is_time(v)) return Kind::Time;
  if (PyFloat_Check(v)) return Kind::Double;
  if (PyUnicode_Check(v)) return Kind::Text;
  if (is_bytes_like(v)) return Kind::Bytes;
  if (is_decimal(v)) return Kind::Decimal;
  return Kind::Other;
}

// The value of row `r`.  Converting a str may allocate and so run arbitrary
// finalizers; the column is re-measured on every read so a list that shrank
// meanwhile is reported instead of read past its end.
PyObject *value_at(PyObject *column, Py_ssize_t r, Py_ssize_t colno) {
  if (r >= PySequence_Fast_GET_SIZE(column)) {
    PyErr_Format(ProgrammingError, "executebatch column %zd changed while it was being converted",
                 colno);
    return nullptr;
  }
  return PySequence_Fast_GET_ITEM(column, r);
}

ColumnStatus fail_mismatch(Py_ssize_t colno, Py_ssize_t r, Kind kind, PyObject *v) {
  PyErr_Format(ProgrammingError, "executebatch column %zd row %zd: expected %s or None, got %.100s",
               colno, r + 1, kind_name(kind), Py_TYPE(v)->tp_name);
  return ColumnStatus::Failed;
}

ColumnStatus fail_overflow(Py_ssize_t colno, Py_ssize_t r, const char *what) {
  PyErr_Format(PyExc_OverflowError, "executebatch column %zd row %zd: value does not fit %s", colno,
               r + 1, what);
  return ColumnStatus::Failed;
}

ColumnStatus fail_too_large(Py_ssize_t colno) {
  PyErr_Format(ProgrammingError, "executebatch column %zd: packed data exceeds 2 GiB", colno);
  return ColumnStatus::Failed;
}

void put_length(char *at, int32_t len) { std::memcpy(at, &len, sizeof len); }

// ---- fixed-width columns ------------------------------------------------

// Each converter stores one non-None value into its slot; false with the
// error already raised.
// An int element within [lo, hi] (`range` names it in the error).
template <typename T>
ColumnStatus store_integer(PyObject *v, T *slot, Py_ssize_t colno, Py_ssize_t r, Kind kind,
                           long long lo, long long hi, const char *range) {
  if (!PyLong_Check(v)) return fail_mismatch(colno, r, kind, v);
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (x == -1 && PyErr_Occurred()) return ColumnStatus::Failed;
  if (overflow != 0 || x < lo || x > hi) return fail_overflow(colno, r, range);
  *slot = static_cast<T>(x);
  return ColumnStatus::Bound;
}

struct BoolSlot {
  using T = int32_t;
  static constexpr int32_t kType = VESK_TYPE_INTEGER;
  static ColumnStatus store(PyObject *v, T *slot, Py_ssize_t colno, Py_ssize_t r) {
    return store_integer(v, slot, colno, r, Kind::Bool, INT32_MIN, INT32_MAX,
                         "a signed 32-bit integer");
  }
};

struct IntSlot {
  using T = int64_t;
  static constexpr int32_t kType = VESK_TYPE_BIGINT;
  static ColumnStatus store(PyObject *v, T *slot, Py_ssize_t colno, Py_ssize_t r) {
    return store_integer(v, slot, colno, r, Kind::Int, LLONG_MIN, LLONG_MAX,
                         "a signed 64-bit integer");
  }
};

struct DoubleSlot {
  using T = double;
  static constexpr int32_t kType = VESK_TYPE_DOUBLE;
  static ColumnStatus store(PyObject *v, T *slot, Py_ssize_t colno, Py_ssize_t r) {
    if (PyFloat_Check(v)) {
      *slot = PyFloat_AS_DOUBLE(v);
      return ColumnStatus::Bound;
    }
    if (!PyLong_Check(v)) return fail_mismatch(colno, r, Kind::Double, v);
    double x = PyLong_AsDouble(v);
    if (x == -1.0 && PyErr_Occurred()) return fail_overflow(colno, r, "a double");
    *slot = x;
    return ColumnStatus::Bound;
  }
};

template <typename Slot>
ColumnStatus pack_fixed(PyObject *column, Py_ssize_t rows, Py_ssize_t colno, int32_t *lens,
                        PackedColumn &out) {
  using T = typename Slot::T;
  HeapBlock<T> values;
  if (!values.alloc_zeroed(static_cast<size_t>(rows))) {
    PyErr_NoMemory();
    return ColumnStatus::Failed;
  }
  for (Py_ssize_t r = 0; r < rows; ++r) {
    PyObject *v = value_at(column, r, colno);
    if (v == nullptr) return ColumnStatus::Failed;
    if (v == Py_None) {
      lens[r] = 0;  // the slot stays 0
      continue;
    }
    ColumnStatus st = Slot::store(v, &values[static_cast<size_t>(r)], colno, r);
    if (st != ColumnStatus::Bound) return st;
    lens[r] = static_cast<int32_t>(sizeof(T));
  }
  out.type_code = Slot::kType;
  out.width = static_cast<int32_t>(sizeof(T));
  out.data.reset(reinterpret_cast<char *>(values.release()));
  return ColumnStatus::Bound;
}

// ---- date, time and datetime columns -----------------------------------

// Text form of one value in a zero-filled buffer of the kind's size; returns
// the text length.
int32_t format_temporal(Kind kind, PyObject *v, char *text, size_t cap) {
  std::memset(text, 0, cap);
  int n = 0;
  if (kind == Kind::DateTime) {
    n = format_datetime(text, cap, datetime_parts(v));
  } else if (kind == Kind::Date) {
    n = format_date(text, cap, date_parts(v));
  } else {
    n = format_time(text, cap, time_parts(v));
  }
  if (n < 0) return 0;
  return static_cast<int32_t>(static_cast<size_t>(n) < cap ? n : cap - 1);
}

// A datetime is also a date, but in a date column its time would be
// dropped without a word: it counts as a different kind there.
bool matches_temporal(Kind kind, PyObject *v) {
  if (kind == Kind::DateTime) return is_datetime(v);
  if (kind == Kind::Date) return is_date(v) && !is_datetime(v);
  return is_time(v);
}

ColumnStatus pack_temporal(Kind kind, PyObject *column, Py_ssize_t rows, Py_ssize_t colno,
                           int32_t *lens, PackedColumn &out) {
  // Text buffer per value and the record room each value takes.
  const size_t text_cap = kind == Kind::DateTime ? 32 : kind == Kind::Date ? 11 : 16;
  const size_t record_room = sizeof(int32_t) + text_cap;
  if (static_cast<uint64_t>(rows) > static_cast<uint64_t>(kBatchBufferLimit) / record_room) {
    return fail_too_large(colno);
  }
  HeapBlock<char> packed;
  if (!packed.alloc_zeroed(record_room * static_cast<size_t>(rows))) {
    PyErr_NoMemory();
    return ColumnStatus::Failed;
  }
  char text[32];
  size_t offset = 0;
  for (Py_ssize_t r = 0; r < rows; ++r) {
    PyObject *v = value_at(column, r, colno);
    if (v == nullptr) return ColumnStatus::Failed;
    int32_t len = 0;
    if (v != Py_None) {
      if (!matches_temporal(kind, v)) return fail_mismatch(colno, r, kind, v);
      len = format_temporal(kind, v, text, text_cap);
    }
    put_length(packed.get() + offset, len);
    std::memcpy(packed.get() + offset + sizeof(int32_t), text, static_cast<size_t>(len));
    offset += sizeof(int32_t) + static_cast<size_t>(len);
    lens[r] = len;
  }
  out.type_code = VESK_TYPE_VARCHAR;
  out.width = static_cast<int32_t>(offset);
  out.data = std::move(packed);
  return ColumnStatus::Bound;
}

// ---- str and bytes columns ---------------------------------------------

// The element length of one value (`*len`: 0 for None, 1 for an empty
// value) and the bytes its record holds (`*record`).  An empty str's record
// holds the zero that ends its storage, which reads back as ''.  An empty
// bytes value's record holds nothing: one zero byte would be b'\x00', so
// the record length 0 under an element length of 1 tells the library it is
// the empty value rather than NULL.
ColumnStatus text_of(Kind kind, PyObject *v, Py_ssize_t colno, Py_ssize_t r, const char **data,
                     int32_t *len, int32_t *record) {
  if (v == Py_None) {
    *data = nullptr;
    *len = 0;
    *record = 0;
    return ColumnStatus::Bound;
  }
  Py_ssize_t size = 0;
  if (kind == Kind::Text) {
    if (!PyUnicode_Check(v)) return fail_mismatch(colno, r, kind, v);
    *data = PyUnicode_AsUTF8AndSize(v, &size);
    if (*data == nullptr) return ColumnStatus::Failed;
    // The library reads a text record as zero-terminated text, so a NUL
    // inside would silently cut the value.
    if (std::memchr(*data, '\0', static_cast<size_t>(size)) != nullptr) {
      PyErr_Format(ProgrammingError, "executebatch column %zd row %zd: str holds a NUL character",
                   colno, r + 1);
      return ColumnStatus::Failed;
    }
  } else if (PyBytes_Check(v)) {
    *data = PyBytes_AS_STRING(v);
    size = PyBytes_GET_SIZE(v);
  } else if (PyByteArray_Check(v)) {
    *data = PyByteArray_AS_STRING(v);
    size = PyByteArray_GET_SIZE(v);
  } else if (PyMemoryView_Check(v)) {
    const Py_buffer *view = PyMemoryView_GET_BUFFER(v);
    if (!PyBuffer_IsContiguous(view, 'C')) {
      PyErr_Format(ProgrammingError,
                   "executebatch column %zd row %zd: a memoryview must be contiguous", colno,
                   r + 1);
      return ColumnStatus::Failed;
    }
    *data = static_cast<const char *>(view->buf);
    size = view->len;
  } else {
    return fail_mismatch(colno, r, kind, v);
  }
  if (size > kBatchBufferLimit) return fail_too_large(colno);
  *len = size == 0 ? 1 : static_cast<int32_t>(size);
  *record = (size == 0 && kind == Kind::Bytes) ? 0 : *len;
  return ColumnStatus::Bound;
}

ColumnStatus pack_text(Kind kind, PyObject *column, Py_ssize_t rows, Py_ssize_t colno,
                       int32_t *lens, PackedColumn &out) {
  // First pass: the lengths, whose sum sizes the buffer.
  int64_t total = 0;
  for (Py_ssize_t r = 0; r < rows; ++r) {
    PyObject *v = value_at(column, r, colno);
    if (v == nullptr) return ColumnStatus::Failed;
    const char *data = nullptr;
    int32_t len = 0, record = 0;
    ColumnStatus st = text_of(kind, v, colno, r, &data, &len, &record);
    if (st != ColumnStatus::Bound) return st;
    lens[r] = len;
    total += static_cast<int64_t>(sizeof(int32_t)) + record;
    if (total > kBatchBufferLimit) return fail_too_large(colno);
  }
  HeapBlock<char> packed;
  if (!packed.alloc_zeroed(static_cast<size_t>(total))) {
    PyErr_NoMemory();
    return ColumnStatus::Failed;
  }
  // Second pass: the records.  Every value is measured again; one that no
  // longer matches the first pass means the column was changed meanwhile.
  size_t offset = 0;
  for (Py_ssize_t r = 0; r < rows; ++r) {
    PyObject *v = value_at(column, r, colno);
    if (v == nullptr) return ColumnStatus::Failed;
    const char *data = nullptr;
    int32_t len = 0, record = 0;
    ColumnStatus st = text_of(kind, v, colno, r, &data, &len, &record);
    if (st != ColumnStatus::Bound) return st;
    if (len != lens[r] || offset + sizeof(int32_t) + record > static_cast<size_t>(total)) {
      PyErr_Format(ProgrammingError,
                   "executebatch column %zd changed while it was being converted", colno);
      return ColumnStatus::Failed;
    }
    put_length(packed.get() + offset, record);
    if (data != nullptr) {
      std::memcpy(packed.get() + offset + sizeof(int32_t), data, static_cast<size_t>(record));
    }
    offset += sizeof(int32_t) + static_cast<size_t>(record);
  }
  out.type_code = kind == Kind::Text ? VESK_TYPE_VARCHAR : VESK_TYPE_BINARY;
  out.width = static_cast<int32_t>(offset);
  out.data = std::move(packed);
  return ColumnStatus::Bound;
}

// ---- Decimal columns ----------------------------------------------------

// Each Decimal as its exact text (str()), packed as a text column and sent
// under the NUMERIC code.
ColumnStatus pack_decimal(PyObject *column, Py_ssize_t rows, Py_ssize_t colno, int32_t *lens,
                          PackedColumn &out) {
  PyRef texts(PyList_New(rows));
  if (!texts) return ColumnStatus::Failed;
  for (Py_ssize_t r = 0; r < rows; ++r) {
    PyObject *v = value_at(column, r, colno);
    if (v == nullptr) return ColumnStatus::Failed;
    PyObject *text;
    if (v == Py_None) {
      Py_INCREF(Py_None);
      text = Py_None;
    } else if (is_decimal(v)) {
      text = PyObject_Str(v);
      if (text == nullptr) return ColumnStatus::Failed;
    } else {
      return fail_mismatch(colno, r, Kind::Decimal, v);
    }
    PyList_SET_ITEM(texts.get(), r, text);
  }
  ColumnStatus st = pack_text(Kind::Text, texts.get(), rows, colno, lens, out);
  if (st == ColumnStatus::Bound) out.type_code = VESK_TYPE_NUMERIC;
  return st;
}

}  // namespace

ColumnStatus pack_column(PyObject *column, Py_ssize_t rows, Py_ssize_t column_number,
                         int32_t *lens, PackedColumn &out) {
  Kind kind = Kind::Other;
  bool found = false;
  for (Py_ssize_t r = 0; r < rows && !found; ++r) {
    PyObject *v = value_at(column, r, column_number);
    if (v == nullptr) return ColumnStatus::Failed;
    if (v != Py_None) {
      kind = kind_of(v);
      found = true;
      if (kind == Kind::Other) {
        PyErr_Format(ProgrammingError,
                     "executebatch column %zd row %zd: a value of type '%.100s' cannot be sent",
                     column_number, r + 1, Py_TYPE(v)->tp_name);
        return ColumnStatus::Failed;
      }
    }
  }
  if (!found) return ColumnStatus::AllNone;
  switch (kind) {
    case Kind::Bool: return pack_fixed<BoolSlot>(column, rows, column_number, lens, out);
    case Kind::Int: return pack_fixed<IntSlot>(column, rows, column_number, lens, out);
    case Kind::Double: return pack_fixed<DoubleSlot>(column, rows, column_number, lens, out);
    case Kind::DateTime:
    case Kind::Date:
    case Kind::Time: return pack_temporal(kind, column, rows, column_number, lens, out);
    case Kind::Text:
    case Kind::Bytes: return pack_text(kind, column, rows, column_number, lens, out);
    case Kind::Decimal: return pack_decimal(column, rows, column_number, lens, out);
    case Kind::Other: break;
  }
  return ColumnStatus::Failed;  // not reached: refused above
}

}  // namespace vk
