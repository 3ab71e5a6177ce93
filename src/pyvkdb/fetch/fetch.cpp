// Placeholder until this group of methods is built.
#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "module/errors.h"

namespace vk {
PyObject *cursor_fetchone(PyObject *, PyObject *) { return raise(NotSupportedError, "not available yet"); }
PyObject *cursor_fetchmany(PyObject *, PyObject *, PyObject *) { return raise(NotSupportedError, "not available yet"); }
PyObject *cursor_fetchall(PyObject *, PyObject *) { return raise(NotSupportedError, "not available yet"); }
PyObject *cursor_nextset(PyObject *, PyObject *) { return raise(NotSupportedError, "not available yet"); }
}  // namespace vk
