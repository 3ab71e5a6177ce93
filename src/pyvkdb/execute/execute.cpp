// execute: run one statement with at most one parameter set, directly (no
// separate prepare step), and replace the cursor's result with its result.
#include <cstring>

#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "execute/convert.h"
#include "module/datetime_slot.h"
#include "module/errors.h"
#include "module/pyref.h"

namespace vk {

namespace {

constexpr const char *kMismatch = "execute Parameter mismatch";
constexpr const char *kBatchRefused =
    "This function does not support batch operations, use the 'executemany' function to "
    "perform batch operations";

CursorObject *as_cursor(PyObject *self) { return reinterpret_cast<CursorObject *>(self); }

// The statement's UTF-8 text, or nullptr with ProgrammingError set.  The
// library takes a zero-terminated text, so a NUL inside would silently cut
// the statement: it is refused.
const char *sql_text(PyObject *sql) {
  if (!PyUnicode_Check(sql)) {
    raise(ProgrammingError, kMismatch);
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char *text = PyUnicode_AsUTF8AndSize(sql, &size);
  if (text == nullptr) return nullptr;
  if (std::memchr(text, '\0', static_cast<size_t>(size)) != nullptr) {
    raise(ProgrammingError, "The SQL text holds a NUL character");
    return nullptr;
  }
  return text;
}

// Bind one parameter set; a list or tuple among its values is refused.
bool bind_parameters(CursorObject *self, PyObject *params) {
  BindBuffers buf;
  WalkOutcome outcome =
      walk_parameters(self, buf, params, [](PyObject *value, Py_ssize_t, Py_ssize_t) {
        if (PyList_Check(value) || PyTuple_Check(value)) {
          raise(OperationalError, kBatchRefused);
          return Screen::Fail;
        }
        return Screen::Bind;
      });
  return outcome != WalkOutcome::Failed;
}

// A failed execution: the library's error text, and no result kept.
PyObject *execution_failed(CursorObject *self) {
  if (self->result != nullptr) cli_free_result(&self->result);
  self->result = nullptr;
  self->rowcount = 0;
  self->second_counter = 0;
  self->third_counter = 0;
  return raise_library_error(&self->conn_handle);
}

}  // namespace

PyObject *cursor_execute(PyObject *self_obj, PyObject *args, PyObject *) {
  CursorObject *self = as_cursor(self_obj);
  if (!cursor_precondition(self)) return nullptr;
  if (self->result != nullptr) cursor_release_result(self);
  self->rowcount = 0;
  Py_INCREF(Py_None);
  cursor_set_description(self, Py_None);
  if (!import_datetime()) return nullptr;

  PyObject *sql = nullptr;
  PyObject *params = nullptr;
  if (!PyArg_ParseTuple(args, "O|O", &sql, &params)) return raise(ProgrammingError, kMismatch);
  const char *text = sql_text(sql);
  if (text == nullptr) return nullptr;
  // None stands for "no parameters"; anything else must be walkable.
  if (params == Py_None) params = nullptr;
  if (params != nullptr && !parameters_walkable(params)) return raise(ProgrammingError, kMismatch);

  cli_reset_params(&self->conn_handle);
  if (params != nullptr && !bind_parameters(self, params)) return nullptr;

  // The walk may have run Python code (a sequence's __len__ or __getitem__)
  // that closed the connection or ran another statement on this cursor.
  if (!cursor_precondition(self)) return nullptr;
  if (self->result != nullptr) cursor_release_result(self);
  self->rowcount = 0;
  Py_INCREF(Py_None);
  cursor_set_description(self, Py_None);

  self->result_kind = cli_sql_kind(text);
  if (cli_exec_direct(&self->conn_handle, text, &self->result, &self->second_counter,
                      &self->rowcount, &self->third_counter) < 0) {
    return execution_failed(self);
  }

  if (self->result_kind == VESK_KIND_NO_ROWS) {
    ++self->result_epoch;
    self->flags &= ~kResultReleased;
    self->third_counter = 0;
    self->second_counter = 0;
    self->rowcount = 0;
    cursor_apply_rowcount_rule(self);
  } else {
    cursor_refresh_result_info(self, false);
  }

  if (self->result != nullptr && self->result_kind != VESK_KIND_NO_ROWS) {
    if (!cursor_build_description(self)) return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace vk
