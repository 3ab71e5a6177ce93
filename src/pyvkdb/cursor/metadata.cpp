// Placeholder until this group of methods is built.
#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "module/errors.h"

namespace vk {
PyObject *cursor_getResultcolname(PyObject *, PyObject *) { return raise(NotSupportedError, "not available yet"); }
PyObject *cursor_getResultcolseq(PyObject *, PyObject *) { return raise(NotSupportedError, "not available yet"); }
PyObject *cursor_getResultcolsize(PyObject *, PyObject *) { return raise(NotSupportedError, "not available yet"); }
PyObject *cursor_getResultcolscale(PyObject *, PyObject *) { return raise(NotSupportedError, "not available yet"); }
PyObject *cursor_getResultRowid(PyObject *, PyObject *) { return raise(NotSupportedError, "not available yet"); }
}  // namespace vk
