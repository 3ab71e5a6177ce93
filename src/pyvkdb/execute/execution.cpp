// Steps that execute, executemany and executebatch share.
#include "execute/execution.h"

#include <cstring>

#include "module/datetime_slot.h"
#include "module/errors.h"

namespace vk {

bool begin_execution(CursorObject *self, bool import_dt) {
  if (!cursor_precondition(self)) return false;
  if (self->result != nullptr) cursor_release_result(self);
  self->rowcount = 0;
  Py_INCREF(Py_None);
  cursor_set_description(self, Py_None);
  return !import_dt || import_datetime();
}

const char *statement_text(PyObject *sql, const char *method) {
  if (!PyUnicode_Check(sql)) {
    PyErr_Format(ProgrammingError, "%s Parameter mismatch", method);
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char *text = PyUnicode_AsUTF8AndSize(sql, &size);
  if (text == nullptr) {
    PyErr_Format(ProgrammingError, "%s: the SQL text cannot be encoded as UTF-8", method);
    return nullptr;
  }
  if (std::memchr(text, '\0', static_cast<size_t>(size)) != nullptr) {
    PyErr_Format(ProgrammingError, "%s: the SQL text holds a NUL character", method);
    return nullptr;
  }
  return text;
}

void drop_failed_result(CursorObject *self) {
  if (self->result != nullptr) cli_free_result(&self->result);
  self->result = nullptr;
  self->rowcount = 0;
  self->second_counter = 0;
  self->third_counter = 0;
}

PyObject *settle_execution(CursorObject *self) {
  // Whether the run gave rows is the engine's answer, not the text
  // classifier's: a result handle came back, and the result's own kind
  // says rows.  (A PRAGMA that reports a value, INSERT ... RETURNING,
  // VALUES or EXPLAIN all give rows, whatever their first word suggests.)
  if (self->result_kind == VESK_KIND_NO_ROWS && self->result == nullptr) {
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
