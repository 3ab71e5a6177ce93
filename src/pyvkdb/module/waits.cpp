#include "module/waits.h"

#include <Python.h>

#include "client/client.h"

namespace vk {

namespace {

// A wait on a thread that does not hold the interpreter lock (the library
// used from elsewhere in the process) releases nothing.
void *wait_begins() {
  if (!PyGILState_Check()) return nullptr;
  return PyEval_SaveThread();
}

void wait_ends(void *token) {
  if (token != nullptr) PyEval_RestoreThread(static_cast<PyThreadState *>(token));
}

}  // namespace

void install_wait_callbacks() { vesk_set_wait_callbacks(wait_begins, wait_ends); }

}  // namespace vk
