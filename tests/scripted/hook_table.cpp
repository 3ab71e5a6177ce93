// hook_table.cpp -- the table of hooks handed to the library.
#include "engine.h"

namespace vks {
namespace {

vesk_hooks make_table() {
  vesk_hooks t{};
#define VKS_HOOK_SET(name, params, args) t.name = &hook_##name;
  VESK_OPS(VKS_HOOK_SET)
#undef VKS_HOOK_SET
  return t;
}

// Static storage: the library keeps the table's address while installed.
const vesk_hooks kTable = make_table();

}  // namespace

bool install_hooks() {
  vesk_set_hooks(&kTable);
  engine().installed = true;
  return true;
}

void uninstall_hooks() {
  vesk_set_hooks(nullptr);
  engine().installed = false;
}

}  // namespace vks
