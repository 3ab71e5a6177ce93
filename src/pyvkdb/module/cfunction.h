// A method taking keywords, stored in a method table's PyCFunction slot.
#ifndef PYVKDB_MODULE_CFUNCTION_H
#define PYVKDB_MODULE_CFUNCTION_H

#include <Python.h>

namespace vk {

template <typename F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

}  // namespace vk

#endif
