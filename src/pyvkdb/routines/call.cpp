// callproc and callfunc: run one stored routine with every parameter bound
// by its type code and direction, read every parameter back into a new
// list, and for callfunc append the function's return value.  A server
// cursor that comes back in a RefCursor parameter becomes the cursor's
// current result, read by the fetch methods in batches.
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "execute/execution.h"
#include "fetch/named.h"
#include "module/errors.h"
#include "module/int_args.h"
#include "module/pyref.h"
#include "routines/param_slot.h"

namespace vk {

namespace {

// Parameters a call takes: the library's highest position, less the one a
// function's return value takes.
constexpr Py_ssize_t kMaxRoutineParameters = 32765;
constexpr int32_t kReturnSlotSize = 65536;

// The line written for a parameter whose type code has no conversion; a
// function call writes it in GBK ("unsupported type"), whatever the
// console's code page.
constexpr char kNoConversionLine[] = "the type not supported\n";
constexpr char kNoConversionLineGbk[] =
    "\xB2\xBB\xD6\xA7\xB3\xD6\xB5\xC4\xC0\xE0\xD0\xCD\n";

CursorObject *as_cursor(PyObject *self) { return reinterpret_cast<CursorObject *>(self); }

void report_no_conversion(bool function) {
  if (function)
    std::fwrite(kNoConversionLineGbk, 1, sizeof kNoConversionLineGbk - 1, stdout);
  else
    std::fwrite(kNoConversionLine, 1, sizeof kNoConversionLine - 1, stdout);
  std::fflush(stdout);
}

// Item i of a parameter or direction sequence: by index for a sequence,
// by the integer key i for any other object with items (a dict keyed 0..).
PyObject *item_at(PyObject *seq, Py_ssize_t i) {
  if (PySequence_Check(seq)) return PySequence_GetItem(seq, i);
  PyRef key(PyLong_FromSsize_t(i));
  return key ? PyObject_GetItem(seq, key.get()) : nullptr;
}

bool direction_at(PyObject *directions, Py_ssize_t i, const char *method, int32_t *out) {
  *out = VESK_PARAM_IN;
  if (directions == nullptr) return true;
  PyRef item(item_at(directions, i));
  if (!item) {
    if (PyErr_ExceptionMatches(PyExc_IndexError) || PyErr_ExceptionMatches(PyExc_KeyError)) {
      PyErr_Format(ProgrammingError, "%s: the direction sequence has no item for parameter %zd",
                   method, i + 1);
    }
    return false;
  }
  int v = 0;
  if (!int_from_index(item.get(), &v)) {
    if (PyErr_ExceptionMatches(PyExc_TypeError))
      PyErr_Format(ProgrammingError, "%s: the direction of parameter %zd is not an integer",
                   method, i + 1);
    return false;
  }
  *out = v;
  return true;
}

// The working state of one call; everything in it goes when the call ends.
struct RoutineCall {
  CursorObject *self;
  bool function;
  const char *method;
  std::string statement;
  std::vector<ParamSlot> slots;
  // The length cells: the library keeps their addresses until the routine
  // has run, so they must not move while more are added.
  std::deque<int32_t> cells;
  HeapBlock<char> return_buf;
  int32_t return_size = 0;

  // Bind every parameter; false with an exception set.
  bool bind_parameters(PyObject *params, PyObject *directions) {
    for (Py_ssize_t i = 0;; ++i) {
      Py_ssize_t length = PyObject_Length(params);
      if (length < 0) return false;
      if (i >= length) break;
      if (length > kMaxRoutineParameters) {
        PyErr_Format(ProgrammingError, "%s: %zd parameters given; at most %zd are supported",
                     method, length, kMaxRoutineParameters);
        return false;
      }
      PyRef item(item_at(params, i));
      if (!item) return false;
      const int32_t type = cursor_resolve_type(self, item.get(), i);
      if (type < 0) return false;
      int32_t direction = VESK_PARAM_IN;
      if (!direction_at(directions, i, method, &direction)) return false;
      if ((direction == VESK_PARAM_OUT || direction == VESK_PARAM_INOUT) &&
          self->types == nullptr) {
        raise(ProgrammingError, "Please set the parameter data type first");
        return false;
      }
      slots.emplace_back();
      cells.push_back(0);
      ParamSlot &slot = slots.back();
      slot.type = type;
      slot.direction = direction;
      switch (fill_slot(self, item.get(), i, function, &slot, &cells.back())) {
        case Fill::Failed:
          return false;
        case Fill::NoConversion:
          report_no_conversion(function);
          break;
        case Fill::Bound:
          cli_bind_param(&self->conn_handle, static_cast<int32_t>(i + 1), direction, type,
                         slot.buf.get(), slot.sent, &cells.back());
          break;
      }
    }
    const size_t n = slots.size();
    statement += '(';
    for (size_t i = 0; i < n; ++i) statement += i + 1 < n ? "?," : "?";
    statement += ");";
    return true;
  }

  // The return value's position follows the parameters; it is received as
  // text into a buffer of the declared size (65536 without one).
  bool bind_return_slot() {
    const Py_ssize_t n = static_cast<Py_ssize_t>(slots.size());
    return_size = kReturnSlotSize;
    if (self->sizes != nullptr) {
      const int32_t declared = cursor_declared_size(self, n);
      if (declared >= 0) return_size = declared;
    }
    // One byte more than the library is told, for the terminator.
    if (!return_buf.alloc_zeroed(static_cast<size_t>(return_size) + 1)) {
      PyErr_NoMemory();
      return false;
    }
    cells.push_back(return_size);
    cli_bind_param(&self->conn_handle, static_cast<int32_t>(n + 1), VESK_PARAM_RETURN,
                   VESK_TYPE_VARCHAR, return_buf.get(), return_size, &cells.back());
    return true;
  }

  // Every parameter's value after the call, then the return value.
  bool read_back(PyObject *list) {
    for (size_t i = 0; i < slots.size(); ++i) {
      const char *cursor_name = nullptr;
      PyRef value(read_slot(slots[i], cells[i], static_cast<Py_ssize_t>(i), &cursor_name));
      if (!value) return false;
      if (cursor_name != nullptr &&
          !named_cursor_open(self, cursor_name, std::strlen(cursor_name)))
        return false;
      if (PyList_Append(list, value.get()) < 0) return false;
      slots[i].buf.reset();
    }
    if (!function) return true;
    const Py_ssize_t n = static_cast<Py_ssize_t>(slots.size());
    const int32_t type = cursor_resolve_type(self, Py_None, n);
    if (type < 0) return false;
    PyRef value(read_return_value(return_buf.get(), return_size, cells[slots.size()], type));
    return value && PyList_Append(list, value.get()) == 0;
  }
};

PyObject *call_routine(PyObject *self_obj, PyObject *args, bool function) {
  CursorObject *self = as_cursor(self_obj);
  const char *method = function ? "callfunc" : "callproc";
  if (!begin_execution(self, true)) return nullptr;

  PyObject *name = nullptr;
  PyObject *params = nullptr;
  PyObject *directions = nullptr;
  if (!PyArg_ParseTuple(args, "O|OO", &name, &params, &directions)) {
    PyErr_Format(ProgrammingError, "%s Parameter mismatch", method);
    return nullptr;
  }
  const char *name_text = statement_text(name, method);
  if (name_text == nullptr) return nullptr;
  // None in place of a sequence stands for "none given".
  if (params == Py_None) params = nullptr;
  if (directions == Py_None) directions = nullptr;
  if (params != nullptr && PyObject_Length(params) < 0) {
    PyErr_Format(ProgrammingError, "%s Parameter mismatch", method);
    return nullptr;
  }

  RoutineCall call{self, function, method, std::string("execute ") + name_text, {}, {}, {}, 0};
  // Values left on the connection by an earlier call that ended before it
  // ran (or by an execution) must not reach this routine.
  cli_reset_params(&self->conn_handle);
  if (params != nullptr && !call.bind_parameters(params, directions)) return nullptr;
  if (function && !call.bind_return_slot()) return nullptr;

  // Binding ran Python code (a sequence's __len__ or __getitem__).
  if (!cursor_precondition(self)) return nullptr;
  if (cli_exec_routine(&self->conn_handle, call.statement.c_str(), self->result) < 0)
    return raise_library_error(&self->conn_handle);

  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  if (!call.read_back(list.get())) {
    // A server cursor opened before the failure is not left behind.
    if (self->result != nullptr || is_named_result(self)) named_cursor_finish(self);
    return nullptr;
  }
  return list.release();
}

}  // namespace

PyObject *cursor_callproc(PyObject *self, PyObject *args, PyObject *) {
  return call_routine(self, args, false);
}

PyObject *cursor_callfunc(PyObject *self, PyObject *args, PyObject *) {
  return call_routine(self, args, true);
}

}  // namespace vk
