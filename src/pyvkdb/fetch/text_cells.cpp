// Text-like cells: variable and fixed text, NUMERIC text and the catch-all
// 400-byte path.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fetch/cells.h"

namespace vk {

PyObject *decode_text(const char *p, size_t n) {
  // One pass finds the end (the first zero byte) and whether the text is
  // plain ASCII, eight bytes at a time; a text of eight bytes or more ends
  // with the eight bytes that end it, overlapping the words before (their
  // bytes were already found to be non-zero).
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHighs = 0x8080808080808080ull;
  auto zero_bytes = [](uint64_t w) { return (w - kOnes) & ~w & kHighs; };
  size_t end = n;
  uint64_t high = 0;
  // The word steps read byte i of a word at bits 8i to 8i + 7.
  constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
  if (kLittleEndian && n >= 8) {
    size_t at = 0;
    for (;; at += 8) {
      if (at + 8 > n) at = n - 8;  // the last word, overlapping
      uint64_t w;
      std::memcpy(&w, p + at, sizeof w);
      const uint64_t zeros = zero_bytes(w);
      if (zeros != 0) {
        // The lowest flagged byte is a real zero (borrows only run upwards).
        const size_t first = static_cast<size_t>(__builtin_ctzll(zeros)) / 8;
        end = at + first;
        if (first > 0) high |= w & (~0ull >> (64 - 8 * first));
        break;
      }
      high |= w;
      if (at + 8 == n) break;
    }
  } else {
    for (end = 0; end < n && p[end] != '\0'; ++end) high |= static_cast<unsigned char>(p[end]);
  }
  if ((high & kHighs) == 0) {
    PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(end), 127);
    if (text != nullptr && end > 0) std::memcpy(PyUnicode_1BYTE_DATA(text), p, end);
    return text;
  }
  return PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(end), nullptr);
}

bool read_text_cell(CursorObject *self, FetchScratch *scratch, int32_t col, int32_t code,
                    int32_t cap, CellBytes *out) {
  if (cap < 0) cap = 0;
  char *buf = scratch->text.reserve(static_cast<size_t>(cap) + 1);
  if (buf == nullptr) return false;
  int32_t len = 0;
  cli_get_field(&self->result, col, code, buf, cap, &len);
  out->outlen = len;
  size_t n = len > 0 ? static_cast<size_t>(len) : 0;
  if (n > static_cast<size_t>(cap)) {
    // The value is longer than the length argument allowed: read it again
    // whole instead of handing back a cut text.
    int32_t whole = len;
    buf = scratch->text.reserve(static_cast<size_t>(whole) + 1);
    if (buf == nullptr) return false;
    int32_t again = 0;
    cli_get_field(&self->result, col, code, buf, whole, &again);
    n = again <= 0 ? 0 : (again < whole ? static_cast<size_t>(again) : static_cast<size_t>(whole));
  }
  buf[n] = '\0';
  out->data = buf;
  out->n = n;
  return true;
}

namespace {

int32_t cap_from_size(int32_t size, int32_t bytes_per_char) {
  if (size < 0) return kUnboundedTextCap;
  int64_t cap = static_cast<int64_t>(size) * bytes_per_char;
  return cap > kLargestDeclaredCap ? kLargestDeclaredCap : static_cast<int32_t>(cap);
}

PyObject *text_or_none(CursorObject *self, FetchScratch *scratch, int32_t col, int32_t code,
                       int32_t cap) {
  CellBytes cell;
  if (!read_text_cell(self, scratch, col, code, cap, &cell)) return nullptr;
  PyObject *value;
  if (cell.outlen <= 0) {
    Py_INCREF(Py_None);
    value = Py_None;
  } else {
    value = decode_text(cell.data, cell.n);
  }
  scratch->text.trim();
  return value;
}

}  // namespace

PyObject *varchar_cell(CursorObject *self, FetchScratch *scratch, int32_t col, int32_t code) {
  int32_t size = fetch_column_size(self, scratch, col, code);
  if (code == VESK_TYPE_CHAR) {
    // CHAR: the length argument is the declared size itself.
    return text_or_none(self, scratch, col, code, cap_from_size(size, 1));
  }
  // VARCHAR, and code 69 which is read as VARCHAR.
  return text_or_none(self, scratch, col, VESK_TYPE_VARCHAR, cap_from_size(size, 6));
}

PyObject *fixed_text_cell(CursorObject *self, FetchScratch *scratch, int32_t col, int32_t code,
                          int32_t cap) {
  return text_or_none(self, scratch, col, code, cap);
}

PyObject *numeric_cell(CursorObject *self, FetchScratch *scratch, int32_t col) {
  CellBytes cell;
  if (!read_text_cell(self, scratch, col, VESK_TYPE_NUMERIC, 40, &cell)) return nullptr;
  if (cell.outlen <= 0) Py_RETURN_NONE;
  // Leading number of the text, 0.0 when there is none.
  double value = std::atof(cell.data);
  scratch->text.trim();
  return PyFloat_FromDouble(value);
}

PyObject *other_cell(CursorObject *self, FetchScratch *scratch, int32_t col, int32_t code) {
  // No NULL test here: whatever text was delivered, '' when none.
  CellBytes cell;
  if (!read_text_cell(self, scratch, col, code, 400, &cell)) return nullptr;
  PyObject *value = decode_text(cell.data, cell.n);
  scratch->text.trim();
  return value;
}

}  // namespace vk
