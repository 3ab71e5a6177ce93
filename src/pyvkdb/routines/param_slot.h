// One parameter of a routine call: its value buffer, filled from the Python
// value by its type code, and read back into a Python value after the call.
//
//   code                     value taken            buffer          sent    length cell
//   1 BOOLEAN                int (bool)             int32 0/1        1       1
//   3 TINYINT                int, -128..127         int32            1       1
//   4 SMALLINT               int, 16-bit            int16            2       2
//   5 INTEGER                int, 32-bit            int32            4       4
//   6 BIGINT                 int, 64-bit            int64            8       8
//   7 FLOAT                  float or int           float32          4       4
//   8 DOUBLE                 float or int           double           8       8
//   9 NUMERIC                float (shortest text   text, 64 bytes   64      text length
//                            that reads back the    or more for a
//                            same), int, Decimal,   longer text
//                            str
//   2, 41, 58, 62, 63 texts  str                    declared size    buffer  text length
//                                                   + 1, else 65537  size    (an empty
//                                                   or more                  text: 1)
//   10 DATE                  date                   11 (64 in a      buffer  10 (63)
//   11 TIME                  time                   32  function     size    15 (63)
//   13 DATETIME              datetime or date       64  call)                26
//   15, 18 BINARY, 42 BLOB   bytes, bytearray       declared size    buffer  byte count
//                                                   + 1, else len+1  size
//                                                   (an output: at
//                                                   least 65537)
//
// None at any of these codes is sent as NULL (length cell VESK_NULL_LENGTH)
// with the buffer of its code, ready to receive an output.  Every other
// code has no conversion: the position is left unbound.
#ifndef PYVKDB_ROUTINES_PARAM_SLOT_H
#define PYVKDB_ROUTINES_PARAM_SLOT_H

#include <Python.h>

#include <cstdint>

#include "cursor/cursor.h"
#include "module/pyref.h"

namespace vk {

struct ParamSlot {
  HeapBlock<char> buf;
  int32_t size = 0;       // bytes in buf (one more is allocated for a terminator)
  int32_t sent = 0;       // the buffer length given to the bind
  int32_t type = 0;       // the resolved type code
  int32_t direction = 1;
  bool bound = false;     // false: the code has no conversion
  bool empty_binary = false;  // an empty bytes value at an input position
};

enum class Fill { Bound, NoConversion, Failed };

// Fill `slot` for `value` at 0-based `index` under slot->type, and set
// *cell.  `in_function` selects the date-time buffers of a function call.
// Failed: a Python exception is set (a value that does not suit its code,
// a text longer than its declared size, a number out of its code's range).
Fill fill_slot(CursorObject *self, PyObject *value, Py_ssize_t index, bool in_function,
               ParamSlot *slot, int32_t *cell);

// The Python value of a parameter after the call: None for an unbound
// position or a length cell of 0 or less, else by the slot's type code.
// *refcursor_name receives the bytes of a RefCursor name to open (nullptr
// for other codes); the caller opens it.  nullptr with an exception set
// when the value cannot be read (a length beyond the buffer, text that is
// not UTF-8, a RefCursor name of 64 bytes or more).
PyObject *read_slot(const ParamSlot &slot, int32_t cell, Py_ssize_t index,
                    const char **refcursor_name);

// The function's return value: its buffer of `size` bytes (one more
// allocated) holds text, read by the return type code `type`.
PyObject *read_return_value(const char *buf, int32_t size, int32_t cell, int32_t type);

}  // namespace vk

#endif
