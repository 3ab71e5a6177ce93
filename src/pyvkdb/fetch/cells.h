// Conversions of single cells of the current row into Python values.  Each
// reads one column (from 1) of the cursor's current result and returns a new
// reference, or nullptr with a Python error set.
#ifndef PYVKDB_FETCH_CELLS_H
#define PYVKDB_FETCH_CELLS_H

#include <Python.h>
#include <cstddef>
#include <cstdint>

#include "cursor/cursor.h"
#include "fetch/scratch.h"

namespace vk {

// Length argument for a text column when its raw size is unbounded.
constexpr int32_t kUnboundedTextCap = 196608;
// Largest length argument taken from a declared size; longer values are
// still read whole (see read_text_cell).
constexpr int32_t kLargestDeclaredCap = 4 << 20;

// --- fetch/text_cells.cpp ---
// str of the first `n` bytes of `p`, cut at the first zero byte; strict
// UTF-8 (UnicodeDecodeError otherwise).
PyObject *decode_text(const char *p, size_t n);

struct CellBytes {
  char *data;      // zero-terminated after n bytes
  size_t n;        // bytes delivered (0 for NULL)
  int32_t outlen;  // the out length of the read
};

// Read column `col` as `code` with length argument `cap` into the scratch
// text buffer.  A value the library reports as longer than `cap` is read a
// second time into a buffer that holds it whole, so it is never cut.
bool read_text_cell(CursorObject *self, FetchScratch *scratch, int32_t col, int32_t code,
                    int32_t cap, CellBytes *out);

// Text columns (2, 62, 69), the fixed text columns (10, 11, 13), NUMERIC (9)
// and every code without a conversion of its own (the 400-byte path).
PyObject *varchar_cell(CursorObject *self, FetchScratch *scratch, int32_t col, int32_t code);
PyObject *fixed_text_cell(CursorObject *self, FetchScratch *scratch, int32_t col, int32_t code,
                          int32_t cap);
PyObject *numeric_cell(CursorObject *self, FetchScratch *scratch, int32_t col);
PyObject *other_cell(CursorObject *self, FetchScratch *scratch, int32_t col, int32_t code);

// --- fetch/number_cells.cpp ---
// Codes 1 and 3 to 8.
PyObject *number_cell(CursorObject *self, int32_t col, int32_t code);

// --- fetch/interval.cpp ---
PyObject *interval_ym_text(int32_t months);
PyObject *interval_ds_text(int64_t micros);
PyObject *interval_cell(CursorObject *self, int32_t col, int32_t code);

// --- fetch/datetime_ms.cpp ---
// Proleptic Gregorian calendar split of a millisecond count since
// 1970-01-01 00:00:00.000.
struct CivilTime {
  int64_t year;
  int month, day, hour, minute, second, millisecond;
};
CivilTime civil_from_ms(int64_t ms);
// datetime.datetime of the count; ValueError from the host outside years
// 1 to 9999.
PyObject *datetime_from_ms(int64_t ms);
PyObject *datetime_ms_cell(CursorObject *self, int32_t col);

// --- fetch/lob_cells.cpp ---
// Codes 15, 41 and 42, read through a locator that is released on every path.
PyObject *lob_cell(CursorObject *self, FetchScratch *scratch, int32_t col, int32_t code);

}  // namespace vk

#endif
