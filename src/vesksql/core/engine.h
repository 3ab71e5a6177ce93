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
#include "vesksql.h"

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

// One open connection of an engine: everything an engine must do.
//
// The core has already checked the handle (the connection is alive), the
// arguments it can check without the engine (non-null statement texts,
// parameter positions, array lengths, USE names) and recognised the control
// texts (control.h).  Every operation returns VESK_OK (or the count named)
// on success and a negative code on failure; a failing operation records
// its text and SQLSTATE in the connection's ErrorSlot, which the engine is
// given at construction and shares with the results it hands out.
class EngineConn {
 public:
  explicit EngineConn(ErrorSlotPtr errors) : errors_(std::move(errors)) {}
  virtual ~EngineConn() = default;
  EngineConn(const EngineConn &) = delete;
  EngineConn &operator=(const EngineConn &) = delete;

  // Whether the connection can still run statements; the core answers
  // VESK_LOST for every operation while it cannot.
  virtual bool alive() const = 0;

  // ---- control operations (cli_exec_command) ----
  // Open a transaction; inside one already, nothing happens.
  virtual int begin() = 0;
  // End the open transaction; without one, VESK_OK.
  virtual int commit() = 0;
  virtual int rollback() = 0;
  // Autocommit off: each statement that changes data opens a transaction
  // when none is open, ended only by commit or rollback.  Switching it on
  // commits the transaction that is open.
  virtual int set_autocommit(bool on) = 0;
  // The liveness check: a round trip that needs no table.
  virtual int ping() = 0;
  // Switch to database `name`, a plain identifier; refused inside a
  // transaction.
  virtual int use_database(const std::string &name) = 0;
  // Any other text given to cli_exec_command: one statement without
  // parameters, its rows read and dropped.
  virtual int exec_plain(const char *sql) = 0;

  // ---- statements ----
  // Run a text of one or more statements with the bound parameters; every
  // placeholder must get a value and every value a placeholder.  *out gets
  // the rows, if any; *counters the counts.
  virtual int exec_direct(const char *sql, const ParamStore &params, ResultPtr *out,
                          Counters *counters) = 0;
  // Prepare one statement, replacing the prepared one, and run it with the
  // parameters bound at the time of each run.
  virtual int prepare(const char *sql) = 0;
  virtual int exec_prepared(const ParamStore &params, ResultPtr *out) = 0;
  // Wait for the runs of the prepared statement sent ahead without waiting
  // (an engine that sends none has nothing to do) and report the first
  // failure among them.
  virtual int flush() { return VESK_OK; }
  // Give the prepared statement back; results still being read stay valid.
  virtual int unprepare() = 0;
  // Run one statement once per row of the bound arrays, as one atomic step;
  // the error text of a failure names the failing row (from 1).
  virtual int exec_batch(const char *sql, int32_t rows, const ArrayStore &arrays) = 0;
  // Whether exec_batch reads the bound columns through ArrayColumn's
  // length_at and start_at, so they may be kept in the compact form.
  virtual bool reads_compact_arrays() const { return false; }
  // Run a routine statement ("execute name(?,...);"); output values go back
  // into the caller's buffers.  `stmt` is as the caller gave it (possibly
  // null).  By default: refused, SQLSTATE 0A000.
  virtual int exec_routine(const char *stmt, ParamStore &params);

  // ---- named server cursors ----
  // Read the next batch of the named cursor into *out; returns the number
  // of rows in it (0 at the end).  By default: refused, SQLSTATE 0A000.
  virtual int open_named_cursor(const char *name, ResultPtr *out);
  virtual int close_named_cursor(const char *name);

  // ---- connection ----
  // Reopen the connection on what it was opened with (dropping an open
  // transaction and any USE switch).  A negative answer makes the core open
  // a fresh connection instead.
  virtual int reconnect() = 0;
  // The identifier of the last inserted row, as text of at most
  // VESK_ROWID_CAP bytes with the zero.
  virtual int rowid(char *buf) = 0;
  // Close for good; results handed out report a closed connection.
  virtual void close() = 0;

 protected:
  // Record a failure in the connection's slot; returns VESK_ERROR.
  int fail(const std::string &text, const char *state = kStateGeneral);

  ErrorSlotPtr errors_;
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
