// execute: run one statement with at most one parameter set, directly (no
// separate prepare step), and replace the cursor's result with its result.
#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "execute/convert.h"
#include "execute/execution.h"
#include "module/errors.h"
#include "module/pyref.h"

namespace vk {

namespace {

constexpr const char *kMismatch = "execute Parameter mismatch";
constexpr const char *kBatchRefused =
    "This function does not support batch operations, use the 'executemany' function to "
    "perform batch operations";

CursorObject *as_cursor(PyObject *self) { return reinterpret_cast<CursorObject *>(self); }

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

}  // namespace

PyObject *cursor_execute(PyObject *self_obj, PyObject *args, PyObject *) {
  CursorObject *self = as_cursor(self_obj);
  if (!begin_execution(self, true)) return nullptr;

  PyObject *sql = nullptr;
  PyObject *params = nullptr;
  if (!PyArg_ParseTuple(args, "O|O", &sql, &params)) return raise(ProgrammingError, kMismatch);
  const char *text = statement_text(sql, "execute");
  if (text == nullptr) return nullptr;
  // None stands for "no parameters"; anything else must be walkable.
  if (params == Py_None) params = nullptr;
  if (params != nullptr && !parameters_walkable(params)) return raise(ProgrammingError, kMismatch);

  cli_reset_params(&self->conn_handle);
  if (params != nullptr && !bind_parameters(self, params)) return nullptr;

  // The walk may have run Python code (a sequence's __len__ or __getitem__)
  // that closed the connection or ran another statement on this cursor.
  if (!begin_execution(self, false)) return nullptr;

  self->result_kind = cli_sql_kind(text);
  if (cli_exec_direct(&self->conn_handle, text, &self->result, &self->second_counter,
                      &self->rowcount, &self->third_counter) < 0) {
    drop_failed_result(self);
    return raise_library_error(&self->conn_handle);
  }
  return settle_execution(self);
}

}  // namespace vk
