#include "engine.h"

namespace vesk {

EnginePtr open_engine(const ConnectParams &params, const std::string &host,
                      const ErrorSlotPtr &errors, std::string *err) {
  if (host.empty()) return sqlite_open(params, errors, err);
  return postgres_open(params, host, errors, err);
}

}  // namespace vesk
