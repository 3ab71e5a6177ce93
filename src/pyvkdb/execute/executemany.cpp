// cursor.executemany(sql, params): run one statement through a prepare step
// and an execute step, once per parameter set.  A parameters argument whose
// values are lists, tuples or dicts is a sequence of parameter sets, each run
// by a nested executemany on the same cursor.
#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "execute/convert.h"
#include "execute/execution.h"
#include "module/errors.h"
#include "module/pyref.h"

namespace vk {

namespace {

const char kMismatch[] = "executemany Parameter mismatch";
const char kMultiResultMessage[] =
    "This function does not support multi-result set operations, use the 'execute()' function";

// Parameter sets nest at most this deep; a list that holds itself would
// otherwise recurse until the stack runs out.
constexpr int kMaxNesting = 32;

CursorObject *as_cursor(PyObject *self) { return reinterpret_cast<CursorObject *>(self); }

bool is_nested_set(PyObject *v) { return PyList_Check(v) || PyTuple_Check(v) || PyDict_Check(v); }

PyObject *execution_failed(CursorObject *self) {
  raise_library_failure(&self->conn_handle, "error execute2");
  drop_failed_result(self);
  return nullptr;
}

// Every value of the parameter sets that are lists, tuples or dicts must
// have a conversion: checked before the first set runs, so a bad value in a
// later set refuses the whole call instead of leaving the sets before it
// applied.  (Other sequences run Python code to be read; their values are
// checked as they are walked, before their own set runs.)  Runs no Python
// code, so nothing can change underneath.
bool check_sets(PyObject *params, int depth) {
  if (depth > kMaxNesting) return true;  // the walk reports it
  if (PyDict_Check(params)) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(params, &pos, &key, &value)) {
      if (is_nested_set(value)) {
        if (!check_sets(value, depth + 1)) return false;
      } else if (!has_conversion(value)) {
        return refuse_unconvertible(value, pos - 1, key);
      }
    }
    return true;
  }
  if (!PyList_Check(params) && !PyTuple_Check(params)) return true;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(params);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject *value = PySequence_Fast_GET_ITEM(params, i);
    if (is_nested_set(value)) {
      if (!check_sets(value, depth + 1)) return false;
    } else if (!has_conversion(value)) {
      return refuse_unconvertible(value, i, nullptr);
    }
  }
  return true;
}

// The steps every call runs before it looks at its arguments: the cursor
// precondition, the release of the previous result, the reset of the
// counters, the date-time interface and the bindings.  A nested call finds
// the date-time interface already imported by the outermost call.
bool begin_call(CursorObject *self, bool nested) {
  if (!begin_execution(self, !nested)) return false;
  cli_reset_params(&self->conn_handle);
  return true;
}

// The rest of one executemany call, after begin_call.  `text` is the SQL
// text (a nested call runs the same text), `params` is nullptr when absent.
// `depth` counts the nesting levels above this call.
PyObject *run_set(CursorObject *self, const char *text, PyObject *params, int depth) {
  // None stands for "no parameters"; anything else must be walkable.
  if (params == Py_None) params = nullptr;
  if (params != nullptr && !parameters_walkable(params)) return raise(ProgrammingError, kMismatch);

  self->result_kind = cli_sql_kind(text);
  if (self->result_kind == VESK_KIND_MULTI) return raise(OperationalError, kMultiResultMessage);

  if (cli_prepare(&self->conn_handle, text, 0) < 0) {
    return raise_library_error(&self->conn_handle);
  }
  self->flags |= kPreparedStatement;

  if (params != nullptr) {
    BindBuffers buf;
    Py_ssize_t nested_count = 0;  // nested sets this call has run
    WalkOutcome outcome = walk_parameters(
        self, buf, params, [&](PyObject *value, Py_ssize_t, Py_ssize_t length) {
          if (!is_nested_set(value)) return Screen::Bind;
          if (depth + 1 > kMaxNesting) {
            PyErr_Format(ProgrammingError,
                         "executemany: parameter sets nested more than %d levels deep",
                         kMaxNesting);
            return Screen::Fail;
          }
          if (!begin_call(self, true)) return Screen::Fail;
          PyRef done(run_set(self, text, value, depth + 1));
          if (!done) return Screen::Fail;
          ++nested_count;
          // Every value was a parameter set and has run: nothing is left
          // for this call to execute.
          return nested_count == length ? Screen::Finish : Screen::Skip;
        });
    if (outcome == WalkOutcome::Failed) return nullptr;
    if (outcome == WalkOutcome::Finished) Py_RETURN_NONE;
  }

  // The walk may have run Python code (a sequence's __len__ or __getitem__)
  // that closed the connection.
  if (!cursor_precondition(self)) return nullptr;
  // Nested sets that ran before plain values leave the last set's result; it
  // is given back before this call's own execution replaces it.  The
  // prepared statement stays: it is the one about to run.
  if (self->result != nullptr) {
    cli_free_result(&self->result);
    self->result = nullptr;
    ++self->result_epoch;
    Py_INCREF(Py_None);
    cursor_set_description(self, Py_None);
  }
  if (cli_exec_prepared(&self->conn_handle, 0, 0, &self->result) < 0) {
    return execution_failed(self);
  }
  return settle_execution(self);
}

}  // namespace

PyObject *cursor_executemany(PyObject *self_obj, PyObject *args, PyObject *) {
  CursorObject *self = as_cursor(self_obj);
  if (!begin_call(self, false)) return nullptr;
  PyObject *sql = nullptr;
  PyObject *params = nullptr;
  if (!PyArg_ParseTuple(args, "O|O", &sql, &params)) return raise(ProgrammingError, kMismatch);
  // The text stays valid for the whole call: the argument tuple holds `sql`.
  const char *text = statement_text(sql, "executemany");
  if (text == nullptr) return nullptr;
  // A generator of sets is read once, into a list of them.
  PyRef sets = sets_as_list(params);
  if (params != nullptr && !sets) return nullptr;
  params = sets.get();
  if (params != nullptr && !check_sets(params, 0)) return nullptr;
  PyRef done(run_set(self, text, params, 0));
  if (!done) return nullptr;
  // The library may have sent runs ahead without waiting for them: their
  // failures are this call's.
  if (cli_exec_flush(&self->conn_handle) < 0) {
    drop_failed_result(self);
    return raise_library_error(&self->conn_handle);
  }
  return done.release();
}

}  // namespace vk
