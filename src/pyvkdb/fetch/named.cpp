// Batches of a named server cursor.
#include "fetch/named.h"

#include <cstdlib>
#include <cstring>

#include "fetch/scratch.h"
#include "module/errors.h"

namespace vk {

namespace {

// Holds a pending Python error across calls that may build objects.
class KeepError {
 public:
  KeepError() { PyErr_Fetch(&type_, &value_, &trace_); }
  ~KeepError() { PyErr_Restore(type_, value_, trace_); }
  KeepError(const KeepError &) = delete;
  KeepError &operator=(const KeepError &) = delete;

 private:
  PyObject *type_ = nullptr;
  PyObject *value_ = nullptr;
  PyObject *trace_ = nullptr;
};

}  // namespace

namespace {

// The batch just opened is empty and left no handle: the named cursor is
// finished now, and the next fetch reports the end of its rows.
void finish_at_empty_batch(CursorObject *self) {
  named_cursor_finish(self);
  KeepError keep;
  FetchScratch *scratch = fetch_scratch_of(self);
  if (scratch != nullptr) {
    scratch->named_end_pending = true;
    scratch->named_end_epoch = self->result_epoch;
  }
  PyErr_Clear();
}

// The open of the next batch failed: keep the library's error for the fetch
// that meets the end of the named cursor.  A pending error of the caller
// stays as it is.
void keep_refill_failure(CursorObject *self) {
  KeepError keep;
  raise_library_error(&self->conn_handle);
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  PyRef error(value), kept_type(type), kept_trace(trace);
  FetchScratch *scratch = fetch_scratch_of(self);
  if (scratch != nullptr && error) {
    scratch->named_failure = std::move(error);
    scratch->named_failure_epoch = self->result_epoch;
  }
  PyErr_Clear();
}

}  // namespace

bool named_cursor_open(CursorObject *self, const char *name, size_t n) {
  // A second server cursor returned by one call replaces the first, which
  // is closed rather than left open on the server.
  if (self->result != nullptr || is_named_result(self)) named_cursor_finish(self);
  char *block = static_cast<char *>(std::calloc(kCursorNameSize, 1));
  if (block == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  std::memcpy(block, name, n < kCursorNameSize ? n : kCursorNameSize - 1);
  self->cursor_name = block;
  int32_t rows = cli_open_named_cursor(&self->conn_handle, self->cursor_name, &self->result);
  self->flags |= kNamedCursorOpen;
  if (rows < 0) {
    raise_library_error(&self->conn_handle);
    KeepError keep;
    named_cursor_finish(self);
    return false;
  }
  self->batch_count = (self->result != nullptr) ? rows : 0;
  cursor_refresh_result_info(self, true);
  if (self->result != nullptr) return cursor_build_description(self);
  finish_at_empty_batch(self);
  return true;
}

void named_batch_refill(CursorObject *self) {
  cli_free_result(&self->result);
  int32_t rows = cli_open_named_cursor(&self->conn_handle, self->cursor_name, &self->result);
  // A failed open (negative), or rows without a result handle to read them
  // from, end the named cursor like an empty batch.
  self->batch_count = (rows > 0 && self->result != nullptr) ? rows : 0;
  cursor_refresh_result_info(self, true);
  if (self->result != nullptr) {
    KeepError keep;
    cursor_build_description(self);
    PyErr_Clear();  // the description is rebuilt best-effort; the fetch goes on
    return;
  }
  if (self->batch_count == 0) {
    finish_at_empty_batch(self);
    if (rows < 0) keep_refill_failure(self);
  }
}

bool take_named_end(CursorObject *self) {
  FetchScratch *scratch = self->fetch_scratch;
  if (scratch == nullptr || !scratch->named_end_pending) return false;
  scratch->named_end_pending = false;
  return self->result == nullptr && scratch->named_end_epoch == self->result_epoch;
}

bool take_named_failure(CursorObject *self) {
  FetchScratch *scratch = self->fetch_scratch;
  if (scratch == nullptr || !scratch->named_failure) return false;
  PyRef error(scratch->named_failure.release());
  if (self->result != nullptr || scratch->named_failure_epoch != self->result_epoch) return false;
  scratch->named_end_pending = false;  // the end is reported as this failure
  PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
  return true;
}

void named_batch_step(CursorObject *self) {
  if (--self->batch_count > 0) return;
  self->batch_count = 0;
  named_batch_refill(self);
}

void named_cursor_finish(CursorObject *self) {
  KeepError keep;  // dropping the description must not disturb a pending error
  if (self->result != nullptr) {
    cursor_release_result(self);
    return;
  }
  if (is_named_result(self)) {
    if (self->cursor_name != nullptr) cli_close_named_cursor(&self->conn_handle, self->cursor_name);
    std::free(self->cursor_name);
    self->cursor_name = nullptr;
    self->flags &= ~kNamedCursorOpen;
  }
  cursor_reset_result_state(self);
}

}  // namespace vk
