// The interface every engine implements.  The core owns handles,
// parameters and error texts; an engine runs statements and serves results.
#ifndef VESKSQL_CORE_ENGINE_H
#define VESKSQL_CORE_ENGINE_H

#include <cstdint>
#include <memory>
#include <string>

#include "connstr.h"
#include "errors.h"
#include "params.h"

namespace vesk {

struct Counters {
  int32_t second = 0;
  int32_t rowcount = 0;
  int32_t third = 0;
};

class EngineResult {
 public:
  virtual ~EngineResult() = default;
  virtual int kind() const = 0;
  virtual Counters counters() const = 0;
  virtual int fetch_row() = 0;
  virtual int next_result() = 0;
  virtual int column_count() const = 0;
  // Column names are 1-based; nullptr when there is no such column.
  virtual const std::string *column_name(int32_t col) const = 0;
  virtual int column_type(int32_t col, int32_t *type) = 0;
  virtual int column_size(int32_t col, int32_t *size) = 0;
  virtual int column_index(const char *name) const = 0;
  virtual int get_field(int32_t col, int32_t type, void *buf, int32_t cap, int32_t *len) = 0;
};

using ResultPtr = std::unique_ptr<EngineResult>;

class EngineConn {
 public:
  virtual ~EngineConn() = default;
  virtual bool alive() const = 0;
  virtual int exec_command(const char *sql) = 0;
  virtual int exec_direct(const char *sql, const ParamStore &params, ResultPtr *out,
                          Counters *counters) = 0;
  virtual int prepare(const char *sql) = 0;
  virtual int exec_prepared(const ParamStore &params, ResultPtr *out) = 0;
  virtual int unprepare() = 0;
  virtual int exec_batch(const char *sql, int32_t rows, const ArrayStore &arrays) = 0;
  virtual int reconnect() = 0;
  virtual int rowid(char *buf) = 0;
  virtual void close() = 0;
};

using EnginePtr = std::unique_ptr<EngineConn>;

// Open a connection for one host ("" = embedded).  On failure returns
// nullptr and sets *err.
EnginePtr open_engine(const ConnectParams &params, const std::string &host,
                      const ErrorSlotPtr &errors, std::string *err);

EnginePtr sqlite_open(const ConnectParams &params, const ErrorSlotPtr &errors,
                      std::string *err);
EnginePtr postgres_open(const ConnectParams &params, const std::string &host,
                        const ErrorSlotPtr &errors, std::string *err);

}  // namespace vesk

#endif
