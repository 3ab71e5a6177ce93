// Placeholder until this group of methods is built.
#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "module/errors.h"

namespace vk {
PyObject *cursor_execute(PyObject *, PyObject *, PyObject *) { return raise(NotSupportedError, "not available yet"); }
}  // namespace vk
