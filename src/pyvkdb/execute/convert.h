// Parameter value conversion: how one Python value becomes one bound input
// parameter, the walk over a parameters argument (by name for a dict, by
// position for any other sequence), and the date/time text forms shared with
// executebatch and the routine calls.
//
// Usage (one set of buffers per method call, reused for every value):
//
//   vk::BindBuffers buf;
//   auto outcome = vk::walk_parameters(self, buf, params,
//       [&](PyObject *value, Py_ssize_t index, Py_ssize_t length) {
//         if (PyList_Check(value) || PyTuple_Check(value)) {
//           vk::raise(vk::OperationalError, "...");
//           return vk::Screen::Fail;
//         }
//         return vk::Screen::Bind;
//       });
//   if (outcome == vk::WalkOutcome::Failed) return nullptr;
//
// Nothing here allocates per value: every value is converted into the fixed
// buffers of BindBuffers (the float text included), str and bytes values are
// sent from the objects' own storage.  The library copies a bound value
// during the bind call, so the buffers may be reused by the next value.
#ifndef PYVKDB_EXECUTE_CONVERT_H
#define PYVKDB_EXECUTE_CONVERT_H

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "client/client.h"
#include "cursor/cursor.h"
#include "module/datetime_slot.h"
#include "module/pyref.h"

namespace vk {

// Sizes of the conversion buffers; they are also the buffer length and the
// length sent for these kinds of value.
constexpr int32_t kDateTimeTextSize = 64;
constexpr int32_t kDateTextSize = 11;
constexpr int32_t kTimeTextSize = 32;
constexpr int32_t kFloatTextSize = 64;

// The per-call conversion buffers.  Each text buffer is zero-filled right
// before it is written.  One length cell per kind of value.
struct BindBuffers {
  int32_t int32_cell = 0;                 // bool
  int64_t int64_cell = 0;                 // int
  double double_cell = 0;                 // a float that is not finite
  char datetime_text[kDateTimeTextSize];  // "%04d-%02d-%02d %02d:%02d:%02d.%06d"
  char date_text[kDateTextSize];          // "%04d-%02d-%02d"
  char time_text[kTimeTextSize];          // "%02d:%02d:%02d.%06d"
  char float_text[kFloatTextSize];        // the float's text; may fill all 64 bytes
  int32_t bool_len = 0;
  int32_t int_len = 0;
  int32_t datetime_len = 0;
  int32_t date_len = 0;
  int32_t time_len = 0;
  int32_t float_len = 0;
  int32_t double_len = 0;
  int32_t decimal_len = 0;
  int32_t str_len = 0;
  int32_t bytes_len = 0;
  int32_t null_len = 0;
  // A value made for the bind that is under way (the text of a Decimal, the
  // bytes of a memoryview); the library copies it during the bind.
  PyRef made;
};

// --- text forms -----------------------------------------------------------
// Each writes the zero-terminated text into `out` (at most `cap` bytes, zero
// included) and returns what snprintf returned (the full text length).
// The time zone of a value is never part of the text.
// The year has four digits, zero-filled: a year written in four columns
// with blanks (" 987") is read by servers as a two-digit year.
int format_date(char *out, size_t cap, const DateTimeParts &p);      // "%04d-%02d-%02d"
int format_time(char *out, size_t cap, const DateTimeParts &p);      // "%02d:%02d:%02d.%06d"
int format_datetime(char *out, size_t cap, const DateTimeParts &p);  // both, blank between

// The text a finite float is sent as: "%0.13lf", cut to its first 64
// characters (then not zero-terminated), as long as that text reads back as
// the same double; otherwise (1e-20, 1e70, 0.1234567890123456...) "%.17g",
// which always does.  `out` is zero-filled first.  (NaN and the infinities
// are not sent as text: see bind_value.)
void format_float(char (&out)[kFloatTextSize], double value);

// --- one value --------------------------------------------------------------
// Convert `value` by the conversion table and bind it: at position index + 1
// through cli_bind_param when `name` is nullptr, else under the name's UTF-8
// text through cli_bind_param_named.  `index` is also the declared-size index.
//
//   bool (exactly)      type 5,  int32 cell,     buffer length 4,  length 4
//   int (or subclass)   type 6,  int64 cell,     8, 8
//   datetime            type 13, 64-byte text,   64, 64
//   date                type 10, 11-byte text,   11, 11
//   time                type 11, 32-byte text,   32, 32
//   float               type 2,  64-byte text,   64, 64
//   float inf/-inf/nan  type 8,  double cell,    8, 8 (stored as the number;
//                                                an engine without NaN keeps NULL)
//   str                 type 2,  its UTF-8 text, L + 1, L (text length rule)
//   bytes               type 15, its buffer,     L + 1, L (bytes length rule)
//   bytearray           type 15, its buffer,     L, L (bytes length rule)
//   memoryview          type 15, a bytes copy,   L + 1, L (bytes length rule)
//   Decimal             type 9,  its exact text, L + 1, L
//   None                type 0,  no buffer,      0, 0
//   anything else       refused: ProgrammingError naming the parameter
//                       (position from 1, or name) and the value's type
//
// Returns false with an exception set for a value that cannot be sent
// without losing it: a type that has no conversion, an int outside the
// signed 64-bit range (OverflowError), a str holding a NUL character or a
// lone surrogate, a str or bytes longer than a signed 32-bit length, a name
// that is not a str or holds a NUL.
// The date-time tests read the module-wide slot: the caller has imported
// the date-time interface (import_datetime) first.
bool bind_value(CursorObject *self, BindBuffers &buf, PyObject *value, Py_ssize_t index,
                PyObject *name);

// Whether `value` is of a type that bind_value converts (the type alone:
// a value of such a type can still be refused, e.g. an int too large).
// Runs no Python code.  The common exact types are answered inline.
bool has_conversion_slow(PyObject *value);
inline bool has_conversion(PyObject *value) {
  PyTypeObject *type = Py_TYPE(value);
  if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyUnicode_Type ||
      value == Py_None || type == &PyBytes_Type) {
    return true;
  }
  return has_conversion_slow(value);
}

// Raise ProgrammingError for a value without a conversion: "parameter N"
// (index + 1) or "parameter 'name'", and the value's type.  Returns false.
bool refuse_unconvertible(PyObject *value, Py_ssize_t index, PyObject *name);

// --- the walk -----------------------------------------------------------------
// What the caller's screen decides for one value before it is converted.
enum class Screen {
  Bind,    // convert and bind it
  Skip,    // the screen dealt with it (e.g. ran it as a nested set); go on
  Finish,  // stop the walk successfully now
  Fail,    // stop the walk; the screen has set an exception
};

enum class WalkOutcome {
  Completed,  // every value was screened
  Finished,   // a screen returned Finish
  Failed,     // exception set
};

// True for a parameters argument that can be walked: a dict (or subclass)
// or an object with a length and integer indexing.
bool parameters_walkable(PyObject *params);

// For a parameters argument that is neither walkable nor a text but can be
// iterated (a generator, a set, a map object): a list of what it yields,
// read once.  Otherwise `params` itself.  nullptr with an exception set
// when the iteration fails.
PyRef sets_as_list(PyObject *params);

// Walk `params`: a dict by name (keys and values taken as two lists, in
// the same order), anything else by position (its length read again before
// every step, items fetched by index).  For each value the screen is called
// as screen(value, index, length) with the value borrowed for the call, the
// 0-based index and the length the walk compares the index with (that of
// the key list, or of the sequence as just read).  Returns Failed with the
// exception set when the length or an item cannot be read, a screen fails,
// or bind_value fails.
template <typename ScreenFn>
WalkOutcome walk_parameters(CursorObject *self, BindBuffers &buf, PyObject *params,
                            ScreenFn &&screen) {
  auto handle = [&](PyObject *value, Py_ssize_t i, Py_ssize_t length,
                    PyObject *name) -> int {  // 0 go on, 1 finish, -1 fail
    switch (screen(value, i, length)) {
      case Screen::Bind:
        return bind_value(self, buf, value, i, name) ? 0 : -1;
      case Screen::Skip:
        return 0;
      case Screen::Finish:
        return 1;
      case Screen::Fail:
      default:
        return -1;
    }
  };

  if (PyDict_Check(params)) {
    PyRef keys(PyDict_Keys(params));
    if (!keys) return WalkOutcome::Failed;
    PyRef values(PyDict_Values(params));
    if (!values) return WalkOutcome::Failed;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()) && i < PyList_GET_SIZE(values.get());
         ++i) {
      PyRef key = PyRef::borrow(PyList_GET_ITEM(keys.get(), i));
      PyRef value = PyRef::borrow(PyList_GET_ITEM(values.get(), i));
      int r = handle(value.get(), i, PyList_GET_SIZE(keys.get()), key.get());
      if (r < 0) return WalkOutcome::Failed;
      if (r > 0) return WalkOutcome::Finished;
    }
    return WalkOutcome::Completed;
  }

  // A list or tuple itself is read in place: what its length and item
  // calls would answer, without the calls.
  const bool in_place = PyList_CheckExact(params) || PyTuple_CheckExact(params);
  for (Py_ssize_t i = 0;; ++i) {
    Py_ssize_t length = in_place ? Py_SIZE(params) : PySequence_Length(params);
    if (length < 0) return WalkOutcome::Failed;
    if (i >= length) break;
    PyRef item = in_place ? PyRef::borrow(PySequence_Fast_GET_ITEM(params, i))
                          : PyRef(PySequence_GetItem(params, i));
    if (!item) return WalkOutcome::Failed;
    int r = handle(item.get(), i, length, nullptr);
    if (r < 0) return WalkOutcome::Failed;
    if (r > 0) return WalkOutcome::Finished;
  }
  return WalkOutcome::Completed;
}

}  // namespace vk

#endif
