// Placeholder until this group of methods is built.
#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "module/errors.h"

namespace vk {
PyObject *cursor_setinputtype(PyObject *, PyObject *, PyObject *) { return raise(NotSupportedError, "not available yet"); }
PyObject *cursor_setinputsizes(PyObject *, PyObject *, PyObject *) { return raise(NotSupportedError, "not available yet"); }
PyObject *cursor_cleartype(PyObject *, PyObject *) { return raise(NotSupportedError, "not available yet"); }
PyObject *cursor_clearsize(PyObject *, PyObject *) { return raise(NotSupportedError, "not available yet"); }
int32_t cursor_resolve_type(CursorObject *, PyObject *, Py_ssize_t) { raise(NotSupportedError, "not available yet"); return -1; }
int32_t cursor_declared_size(const CursorObject *, Py_ssize_t) { return -1; }
}  // namespace vk
