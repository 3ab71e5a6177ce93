// ops.cpp -- the names of the operations.
#include <cstring>

#include "engine.h"

namespace vks {
namespace {
const char *const kNames[OP_COUNT] = {
#define VKS_OP_NAME(name, params, args) #name,
    VESK_OPS(VKS_OP_NAME)
#undef VKS_OP_NAME
};
}  // namespace

const char *op_name(int op) {
  return op >= 0 && op < OP_COUNT ? kNames[op] : "?";
}

int op_from_name(const char *name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < OP_COUNT; ++i)
    if (std::strcmp(kNames[i], name) == 0) return i;
  return -1;
}

}  // namespace vks
