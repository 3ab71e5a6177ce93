#include "engine.h"

#include "vesksql.h"

namespace vesk {

int EngineConn::fail(const std::string &text, const char *state) {
  if (errors_) errors_->set(text, state);
  return VESK_ERROR;
}

int EngineConn::exec_routine(const char *, ParamStore &) {
  return fail("stored routines are not supported by this engine", kStateNotSupported);
}

int EngineConn::open_named_cursor(const char *, ResultPtr *) {
  return fail("named cursors are not supported by this engine", kStateNotSupported);
}

int EngineConn::close_named_cursor(const char *) {
  return fail("named cursors are not supported by this engine", kStateNotSupported);
}

EnginePtr open_engine(const ConnectParams &params, const std::string &host,
                      const ErrorSlotPtr &errors, std::string *err) {
  if (host.empty()) return sqlite_open(params, errors, err);
  return postgres_open(params, host, errors, err);
}

}  // namespace vesk
