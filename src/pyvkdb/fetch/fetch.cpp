// The cursor methods fetchone, fetchmany, fetchall and nextset.
#include <cstring>

#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "fetch/named.h"
#include "fetch/row.h"
#include "module/errors.h"
#include "module/int_args.h"
#include "module/pyref.h"

namespace vk {

namespace {

CursorObject *as_cursor(PyObject *self) { return reinterpret_cast<CursorObject *>(self); }

bool no_data(int rc) { return rc < 0 || rc == VESK_NO_DATA; }

PyObject *no_result_set() { return raise(ProgrammingError, "The result set does not exist"); }

// A list that is filled in place up to a known bound and appended to past
// it; the unused tail is cut off at the end.
class RowList {
 public:
  explicit RowList(Py_ssize_t hint) : list_(PyList_New(hint)), slots_(hint) {}
  bool ok() const { return static_cast<bool>(list_); }
  Py_ssize_t size() const { return used_; }
  // Takes the reference to `row`.
  bool add(PyObject *row) {
    if (used_ < slots_) {
      PyList_SET_ITEM(list_.get(), used_++, row);
      return true;
    }
    int rc = PyList_Append(list_.get(), row);
    Py_DECREF(row);
    if (rc != 0) return false;
    ++used_;
    return true;
  }
  PyObject *finish() {
    if (used_ < slots_ && PyList_SetSlice(list_.get(), used_, slots_, nullptr) != 0) return nullptr;
    slots_ = used_;
    return list_.release();
  }

 private:
  PyRef list_;
  Py_ssize_t slots_;
  Py_ssize_t used_ = 0;
};

constexpr Py_ssize_t kLargestHint = 4096;

Py_ssize_t hint_for(int32_t k) { return k <= 0 ? 0 : (k < kLargestHint ? k : kLargestHint); }

// Reads rows of a plain result into `rows` until the end of the rows or
// `limit` rows (none for a limit of 0 or less).  A failed fetch (a server
// error met while the rows stream in, a closed connection) raises the
// library's error: ending the list there would pass a cut result off as
// whole.
bool read_plain(CursorObject *self, RowList &rows, int32_t limit) {
  for (;;) {
    const int rc = cli_fetch_row(&self->result);
    if (rc == VESK_NO_DATA) return true;
    if (rc < 0) {
      raise_library_error(&self->conn_handle);
      return false;
    }
    PyObject *row = convert_row(self);
    if (row == nullptr || !rows.add(row)) return false;
    if (limit > 0 && rows.size() >= limit) return true;
  }
}

PyObject *fetchone_named(CursorObject *self) {
  if (self->batch_count <= 0) {
    named_cursor_finish(self);
    Py_RETURN_NONE;
  }
  PyObject *row = nullptr;
  if (no_data(cli_fetch_row(&self->result))) {
    raise_library_error(&self->conn_handle);
  } else {
    row = convert_row(self);
  }
  named_batch_step(self);
  return row;
}

// fetchmany on a named-cursor result.  Every row read counts against the
// batch counter, so batches refill where they end.  When the request fits in
// the current batch a failed row fetch ends the list quietly, as on a plain
// result; when it reaches past it, the failure is raised.
PyObject *fetchmany_named(CursorObject *self, int32_t k) {
  const bool beyond_batch = k <= 0 || k > self->batch_count;
  RowList rows(hint_for(k));
  if (!rows.ok()) return nullptr;
  while (k <= 0 || rows.size() < k) {
    if (self->batch_count <= 0 || self->result == nullptr) {
      if (self->result != nullptr) named_cursor_finish(self);
      if (take_named_failure(self)) return nullptr;
      take_named_end(self);
      break;
    }
    if (no_data(cli_fetch_row(&self->result))) {
      if (!beyond_batch) {
        named_batch_step(self);
        break;
      }
      raise_library_error(&self->conn_handle);
      named_batch_step(self);
      return nullptr;
    }
    PyObject *row = convert_row(self);
    named_batch_step(self);
    if (row == nullptr || !rows.add(row)) return nullptr;
  }
  return rows.finish();
}

PyObject *fetchall_named(CursorObject *self) {
  RowList rows(0);
  if (!rows.ok()) return nullptr;
  char error[VESK_ERROR_TEXT_CAP];
  bool failed = false;
  while (self->batch_count > 0) {
    if (no_data(cli_fetch_row(&self->result))) {
      // A later failure replaces an earlier one.
      std::memset(error, 0, sizeof error);
      read_error_text(&self->conn_handle, error);
      failed = true;
    } else {
      PyObject *row = convert_row(self);
      if (row == nullptr || !rows.add(row)) {
        named_batch_step(self);
        if (self->result != nullptr || is_named_result(self)) named_cursor_finish(self);
        take_named_end(self);
        return nullptr;
      }
    }
    named_batch_step(self);
  }
  if (self->result != nullptr || is_named_result(self)) named_cursor_finish(self);
  if (take_named_failure(self)) return nullptr;
  take_named_end(self);
  if (failed) return raise_text(OperationalError, error);
  return rows.finish();
}

}  // namespace

PyObject *cursor_fetchone(PyObject *self_obj, PyObject *) {
  CursorObject *self = as_cursor(self_obj);
  if (!cursor_precondition(self)) return nullptr;
  if (take_named_failure(self)) return nullptr;
  if (take_named_end(self)) Py_RETURN_NONE;
  if (self->result == nullptr ||
      (self->result_kind != VESK_KIND_ROWS && self->result_kind != VESK_KIND_SINGLE)) {
    return no_result_set();
  }
  if (is_named_result(self)) return fetchone_named(self);
  int rc = cli_fetch_row(&self->result);
  if (rc == VESK_NO_DATA) Py_RETURN_NONE;
  if (rc < 0) return raise_library_error(&self->conn_handle);
  return convert_row(self);
}

PyObject *cursor_fetchmany(PyObject *self_obj, PyObject *args, PyObject *kwds) {
  CursorObject *self = as_cursor(self_obj);
  if (!cursor_precondition(self)) return nullptr;
  static const char *kwlist[] = {"size", nullptr};
  int size = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O&", const_cast<char **>(kwlist), int_arg,
                                   &size)) {
    return raise(ProgrammingError, "fetchmany Parameter mismatch");
  }
  const int32_t k = size != 0 ? size : self->arraysize;
  if (take_named_failure(self)) return nullptr;
  if (take_named_end(self)) return PyList_New(0);
  if (self->result == nullptr ||
      (self->result_kind != VESK_KIND_ROWS && self->result_kind != VESK_KIND_MULTI)) {
    Py_RETURN_NONE;
  }
  if (is_named_result(self)) return fetchmany_named(self, k);
  RowList rows(hint_for(k));
  if (!rows.ok() || !read_plain(self, rows, k)) return nullptr;
  return rows.finish();
}

PyObject *cursor_fetchall(PyObject *self_obj, PyObject *) {
  CursorObject *self = as_cursor(self_obj);
  if (!cursor_precondition(self)) return nullptr;
  if (take_named_failure(self)) return nullptr;
  if (take_named_end(self)) return PyList_New(0);
  if (self->result == nullptr ||
      (self->result_kind != VESK_KIND_ROWS && self->result_kind != VESK_KIND_MULTI)) {
    return no_result_set();
  }
  if (self->flags & kNamedCursorOpen) return fetchall_named(self);
  RowList rows(0);
  if (!rows.ok() || !read_plain(self, rows, 0)) return nullptr;
  return rows.finish();
}

PyObject *cursor_nextset(PyObject *self_obj, PyObject *) {
  CursorObject *self = as_cursor(self_obj);
  if (!cursor_precondition(self)) return nullptr;
  take_named_end(self);
  if (self->result == nullptr) return no_result_set();
  int rc = cli_next_result(&self->result);
  if (is_named_result(self)) {
    if (rc == VESK_NO_DATA) Py_RETURN_NONE;
    if (rc != VESK_OK) return raise_library_error(&self->conn_handle);
    // The next batch replaces the result handle: the old one goes back first.
    cli_free_result(&self->result);
    int32_t rows = cli_open_named_cursor(&self->conn_handle, self->cursor_name, &self->result);
    self->batch_count = (rows > 0 && self->result != nullptr) ? rows : 0;
    if (self->batch_count == 0) {
      named_cursor_finish(self);
      Py_RETURN_NONE;
    }
    cursor_refresh_result_info(self, true);
  } else {
    if (rc != VESK_OK) Py_RETURN_NONE;
    cursor_refresh_result_info(self, false);
  }
  if (!cursor_build_description(self)) return nullptr;
  return PyUnicode_FromString("TRUE");
}

}  // namespace vk
