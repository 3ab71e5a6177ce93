// The PostgreSQL engine is not part of this build yet: a non-empty host
// fails cleanly.
#include "core/engine.h"

namespace vesk {

EnginePtr postgres_open(const ConnectParams &, const std::string &, const ErrorSlotPtr &,
                        std::string *err) {
  *err = "PostgreSQL engine is not available in this build";
  return nullptr;
}

}  // namespace vesk
