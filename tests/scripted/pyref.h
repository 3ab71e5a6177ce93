// pyref.h -- the engine uses the module's owning reference.
#ifndef VKSCRIPT_PYREF_H
#define VKSCRIPT_PYREF_H

#define PY_SSIZE_T_CLEAN
#include "module/pyref.h"

namespace vks {
using ::PyRef;
}  // namespace vks

#endif
