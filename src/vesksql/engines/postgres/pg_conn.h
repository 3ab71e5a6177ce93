// The PostgreSQL engine's connection: one libpq connection, the module's
// control operations, statements with the driver's placeholders, a
// prepared statement kept by text, batches in one pipelined round trip,
// named server cursors read in batches and routine calls (pg_routine.cpp).
#ifndef VESKSQL_PG_CONN_H
#define VESKSQL_PG_CONN_H

#include <string>
#include <vector>

#include "core/engine.h"
#include "core/routine.h"
#include "pg_handles.h"
#include "pg_params.h"
#include "pg_routine.h"
#include "pg_sql.h"
#include "pg_stream.h"

namespace vesk {
namespace pg {

// Rows a named cursor's batch holds (FETCH n).
constexpr int kCursorBatchRows = 1000;
// Rows sent between two synchronisations of a batch's pipeline.
constexpr int32_t kPipelineChunkRows = 1000;

// Open one libpq connection to `host` ("name", "name:port" or
// "[v6address]:port") on database `dbname`; nullptr with *err on failure.
PgConnPtr open_connection(const ConnectParams &p, const std::string &host,
                          const std::string &dbname, std::string *err);

class PgConn : public EngineConn {
 public:
  PgConn(ConnectParams params, PgConnPtr conn, ErrorSlotPtr errors)
      : EngineConn(std::move(errors)), params_(std::move(params)), conn_(std::move(conn)) {}
  ~PgConn() override { close(); }

  bool alive() const override;
  int begin() override;
  int commit() override;
  int rollback() override;
  int set_autocommit(bool on) override;
  int ping() override;
  int use_database(const std::string &name) override;
  int exec_plain(const char *sql) override;
  int exec_direct(const char *sql, const ParamStore &params, ResultPtr *out,
                  Counters *counters) override;
  int prepare(const char *sql) override;
  int exec_prepared(const ParamStore &params, ResultPtr *out) override;
  int flush() override;
  int unprepare() override;
  int exec_batch(const char *sql, int32_t rows, const ArrayStore &arrays) override;
  int exec_routine(const char *stmt, ParamStore &params) override;
  int open_named_cursor(const char *name, ResultPtr *out) override;
  int close_named_cursor(const char *name) override;
  int reconnect() override;
  int rowid(char *buf) override;
  void close() override;

 private:
  bool in_transaction() const;
  // A failed server call: the server's text and SQLSTATE (or the
  // connection's, when there is no result).
  int fail_result(const PGresult *res);
  // Run a text without parameters (simple protocol); true for success.
  // The statement started a COPY the library ended: 0A000, or the lost
  // connection's failure.
  int fail_copy();
  int refuse_client_copy(const std::vector<SqlStatement> &stmts);
  bool run_simple(const char *sql, PgResPtr *res = nullptr);
  int run_control(const char *sql);
  int refuse_extra_values(const ParamStore &params, size_t used);
  // With autocommit off, open the transaction a statement runs in.
  int implicit_begin(const std::string &statement);
  // One statement with its parameters; its rows (if any) into *sets.
  // With `stream`, rows are left on the connection to be read as fetched.
  int run_statement(const SqlStatement &st, const ParamStore &params,
                    std::vector<struct RowSet> *sets, int64_t *changed,
                    StreamPtr *stream = nullptr);
  // Before the connection runs anything else: the open stream's rows are
  // read off it (kept while a result reads them).
  void settle_stream();
  // The runs sent ahead: synchronise, read their answers, leave pipeline
  // mode; VESK_OK, or the first failure (recorded) among them.
  int settle_pipeline();
  // Both, and the end of a held transaction (unless `keep_held`: a read
  // or close of one of its cursors), before any operation other than the
  // next run of the prepared statement; the pipeline's failure, if any, is
  // that operation's.
  int settle(bool keep_held = false);
  int run_several(const std::vector<SqlStatement> &stmts, const ParamStore &params,
                  std::vector<struct RowSet> *sets, int64_t *changed);
  int finish_rows(std::vector<struct RowSet> sets, int64_t changed, bool rows, ResultPtr *out,
                  Counters *counters);
  // The two ways a batch runs (pg_batch.cpp); false with *failure (and
  // *failing_row, from 0, where the server names it) when it failed.
  bool batch_by_copy(const std::string &copy_sql, const SqlStatement &batch, int32_t rows,
                     const ArrayStore &arrays, int32_t *failing_row, PgResPtr *failure);
  bool batch_by_pipeline(const SqlStatement &batch, int32_t rows, const ArrayStore &arrays,
                         int32_t *failing_row, PgResPtr *failure);
  // Routine statements (pg_routine.cpp): the catalog lookup, cached per
  // statement name and placeholder count.
  int find_routine(const RoutineStatement &rs, const std::string &key,
                   RoutineInfo *out);
  // Commit the transaction held open for a routine's refcursors (VESK_OK
  // when none is held).
  int end_held();
  // A read or close of a held cursor failed: back to the savepoint set
  // right after the call, commit the routine's work, keep the failure.
  void abandon_held();
  std::string next_statement_name();
  void drop_released_statements();
  void forget_statements();

  ConnectParams params_;  // as opened (params_.host the host that answered)
  PgConnPtr conn_;
  StreamPtr stream_;      // the rows a query is still sending, if any
  bool autocommit_ = true;
  ParamArrays args_;  // reused for every execution

  // The prepared statement: its text as given, its server name and refs.
  std::string prepared_text_;
  std::string prepared_name_;
  SqlStatement prepared_;
  size_t prepared_positions_ = 0;
  std::vector<Oid> prepared_param_types_;  // as the server described them
  bool prepared_ready_ = false;
  bool prepared_no_rows_ = false;  // its runs may be sent ahead in a transaction
  int runs_ = 0;                   // runs since the prepare (or the last flush)
  // Runs sent ahead and not yet answered.
  bool pipelining_ = false;
  int pending_ = 0;
  int first_pending_run_ = 0;
  // Routines looked up on this connection, and the transaction held for
  // the refcursors of a call in autocommit mode.
  RoutineCache routines_;
  HeldCursors held_;
  // Server statements given up, deallocated with the next prepare.
  std::vector<std::string> released_;
  unsigned statement_counter_ = 0;
};

}  // namespace pg
}  // namespace vesk

#endif
