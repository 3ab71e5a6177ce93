// Large-object cells (codes 15, 41, 42), read through a locator.
#include <cstring>

#include "fetch/cells.h"
#include "module/errors.h"

namespace vk {

namespace {

// A locator made for one cell and released when the cell is done, on every
// path.
class Locator {
 public:
  Locator() { made_ = cli_lob_create(&loc_) >= 0 && loc_ != nullptr; }
  ~Locator() { cli_lob_free(&loc_); }
  Locator(const Locator &) = delete;
  Locator &operator=(const Locator &) = delete;
  vesk_lob **address() { return &loc_; }
  // False when the library could not make the locator: nothing can be read
  // through it, and the value must not pass for NULL.
  bool made() const { return made_; }

 private:
  vesk_lob *loc_ = nullptr;
  bool made_ = false;
};

PyObject *binary_marker() {
  static PyObject *marker = nullptr;  // kept for the life of the process
  if (marker == nullptr) {
    marker = PyUnicode_InternFromString("<BINARY> ");
    if (marker == nullptr) return nullptr;
  }
  Py_INCREF(marker);
  return marker;
}

PyObject *read_lob_text(Locator &loc, FetchScratch *scratch, int32_t len) {
  size_t n = static_cast<size_t>(len);
  char *buf = scratch->lob.reserve(n + 1);
  if (buf == nullptr) return nullptr;
  // The library may copy fewer bytes than asked: what it leaves must read
  // as the end of the text.
  std::memset(buf, 0, n + 1);
  cli_lob_read(loc.address(), buf, len);
  PyObject *value = decode_text(buf, n);
  scratch->lob.trim();
  return value;
}

PyObject *read_lob_bytes(Locator &loc, int32_t len) {
  PyObject *bytes = PyBytes_FromStringAndSize(nullptr, len);
  if (bytes == nullptr) return nullptr;
  char *dst = PyBytes_AS_STRING(bytes);
  std::memset(dst, 0, static_cast<size_t>(len));
  if (len > 0) cli_lob_read(loc.address(), dst, len);
  return bytes;
}

}  // namespace

PyObject *lob_cell(CursorObject *self, FetchScratch *scratch, int32_t col, int32_t code) {
  Locator loc;
  if (!loc.made()) return raise(OperationalError, "The large object cannot be read");
  int32_t len = 0;
  cli_get_field(&self->result, col, code, loc.address(), 8, &len);
  if (code == VESK_TYPE_BLOB) {
    // An empty BLOB is b'', not NULL.
    if (len < 0) Py_RETURN_NONE;
    return read_lob_bytes(loc, len);
  }
  if (len <= 0) Py_RETURN_NONE;
  if (code == VESK_TYPE_BINARY) return binary_marker();
  return read_lob_text(loc, scratch, len);
}

}  // namespace vk
