#include "pg_conn.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/sql_scan.h"
#include "core/text_util.h"
#include "pg_drain.h"
#include "pg_result.h"
#include "pg_stream.h"
#include "vesksql.h"

namespace vesk {
namespace pg {

namespace {

constexpr char kStateConnectionLost[] = "08006";

// Statements that must not be wrapped in the transaction that autocommit
// off opens (they end one, or cannot run inside one).
bool runs_outside_transaction(const char *sql) {
  const char *p = skip_space(sql);
  while (*p == '(') p = skip_space(p + 1);
  const char *e = skip_token(p);
  for (const char *kw : {"BEGIN", "START", "COMMIT", "END", "ROLLBACK", "ABORT", "SAVEPOINT",
                         "RELEASE", "PREPARE", "VACUUM", "SET", "SHOW", "RESET", "DISCARD",
                         "LISTEN", "UNLISTEN", "NOTIFY", "CHECKPOINT", "FETCH", "CLOSE",
                         "DEALLOCATE"}) {
    if (token_is(p, e, kw)) return true;
  }
  // CREATE DATABASE, DROP DATABASE, ALTER SYSTEM and the like
  if (token_is(p, e, "CREATE") || token_is(p, e, "DROP") || token_is(p, e, "ALTER")) {
    const char *q = skip_space(e);
    const char *qe = skip_token(q);
    return token_is(q, qe, "DATABASE") || token_is(q, qe, "TABLESPACE") ||
           token_is(q, qe, "SYSTEM");
  }
  return false;
}

int64_t changed_rows(const PGresult *res) {
  const char *n = PQcmdTuples(const_cast<PGresult *>(res));
  return (n && *n) ? std::strtoll(n, nullptr, 10) : 0;
}

bool has_rows(const PGresult *res) {
  return PQresultStatus(res) == PGRES_TUPLES_OK && PQnfields(res) > 0;
}

bool succeeded(const PGresult *res) {
  if (res == nullptr) return false;
  ExecStatusType st = PQresultStatus(res);
  return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK || st == PGRES_EMPTY_QUERY;
}

// How many positional values the statements take (the highest position
// used, plus one).
size_t positions_used(const std::vector<SqlStatement> &stmts) {
  size_t used = 0;
  for (const SqlStatement &st : stmts)
    for (const ParamRef &r : st.params)
      if (r.position >= 0 && static_cast<size_t>(r.position) + 1 > used) used = r.position + 1;
  return used;
}

int32_t clamp32(int64_t v) {
  return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v);
}

}  // namespace

bool PgConn::alive() const { return conn_ && PQstatus(conn_.get()) == CONNECTION_OK; }

bool PgConn::in_transaction() const {
  return conn_ && PQtransactionStatus(conn_.get()) != PQTRANS_IDLE;
}

int PgConn::fail_result(const PGresult *res) {
  std::string text;
  const char *state = nullptr;
  if (res != nullptr) {
    const char *primary = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
    const char *detail = PQresultErrorField(res, PG_DIAG_MESSAGE_DETAIL);
    state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
    text = primary ? primary : trimmed_message(PQresultErrorMessage(res));
    if (detail && *detail) text += std::string(" (") + detail + ")";
  }
  if (text.empty()) text = trimmed_message(PQerrorMessage(conn_.get()));
  if (text.empty()) text = "the server call failed";
  if (state == nullptr || std::strlen(state) != 5)
    state = PQstatus(conn_.get()) == CONNECTION_OK ? kStateGeneral : kStateConnectionLost;
  if (PQstatus(conn_.get()) != CONNECTION_OK) forget_statements();
  return fail(text, state);
}

int PgConn::fail_copy() {
  if (!alive()) return fail_result(nullptr);
  return fail(kCopyNotSupported, kStateNotSupported);
}

// A statement's text that starts a COPY to or from the client is refused
// before anything of its text runs (0: none does).
int PgConn::refuse_client_copy(const std::vector<SqlStatement> &stmts) {
  for (const SqlStatement &st : stmts)
    if (is_client_copy(st.text.c_str())) return fail(kCopyNotSupported, kStateNotSupported);
  return 0;
}

bool PgConn::run_simple(const char *sql, PgResPtr *out) {
  const std::string text(sql);  // the caller's text is not read during the wait
  bool copy = false;
  PgResPtr res(blocking([&] {
    PGresult *r = PQexec(conn_.get(), text.c_str());
    copy = refuse_copy(conn_.get(), r);
    return r;
  }));
  if (copy) {
    fail_copy();
    return false;
  }
  if (!succeeded(res.get())) {
    fail_result(res.get());
    return false;
  }
  if (out) *out = std::move(res);
  return true;
}

// A positional value that no placeholder takes is refused (0: none).
int PgConn::refuse_extra_values(const ParamStore &params, size_t used) {
  for (size_t k = used; k < params.positional.size(); ++k) {
    if (params.positional[k].kind != Value::Unset)
      return fail("parameter position " + std::to_string(k + 1) +
                      " is out of range: the statement has " + std::to_string(used) +
                      " placeholders",
                  kStateParamCount);
  }
  return 0;
}

// A control text: VESK_LOST when the connection went away under it.
int PgConn::run_control(const char *sql) {
  if (run_simple(sql)) return VESK_OK;
  return alive() ? VESK_ERROR : VESK_LOST;
}

int PgConn::implicit_begin(const std::string &statement) {
  if (autocommit_ || in_transaction() || runs_outside_transaction(statement.c_str())) return VESK_OK;
  return run_control("BEGIN");
}

int PgConn::begin() {
  if (int rc = settle()) return rc;
  return in_transaction() ? VESK_OK : run_control("BEGIN");
}

int PgConn::commit() {
  if (int rc = settle()) {
    if (alive()) run_simple("ROLLBACK");
    return rc;
  }
  if (!in_transaction()) return VESK_OK;
  if (PQtransactionStatus(conn_.get()) == PQTRANS_INERROR) {
    // The server would answer COMMIT by rolling back without a word.
    run_simple("ROLLBACK");
    return fail("the transaction was rolled back: a statement in it failed", "25P02");
  }
  return run_control("COMMIT");
}

int PgConn::rollback() {
  settle();  // a rollback ends the transaction, failed or not
  return in_transaction() ? run_control("ROLLBACK") : VESK_OK;
}

int PgConn::set_autocommit(bool on) {
  if (int rc = settle()) return rc;
  if (on && in_transaction() && run_control("COMMIT") < 0) return VESK_ERROR;
  autocommit_ = on;
  return VESK_OK;
}

int PgConn::ping() {
  if (int rc = settle()) return rc;
  if (!alive()) return VESK_LOST;
  PgResPtr res(blocking([&] { return PQexec(conn_.get(), ""); }));
  if (PQstatus(conn_.get()) != CONNECTION_OK) {
    fail_result(res.get());
    return VESK_LOST;
  }
  return succeeded(res.get()) ? VESK_OK : fail_result(res.get());
}

int PgConn::use_database(const std::string &name) {
  if (int rc = settle()) return rc;
  unprepare();  // only a prepare right after a run of the same text reuses it
  if (in_transaction())
    return fail("USE: a transaction is open; commit or roll it back first");
  std::string err;
  PgConnPtr fresh = open_connection(params_, params_.host, name, &err);
  if (!fresh) return fail(err, kStateConnectFailed);
  forget_statements();
  conn_ = std::move(fresh);
  routines_.clear();  // another database has other routines
  return VESK_OK;
}

int PgConn::exec_plain(const char *sql) {
  if (int rc = settle()) return rc;
  unprepare();  // only a prepare right after a run of the same text reuses it
  std::vector<SqlStatement> stmts;
  std::string err;
  if (split_statements(sql, &stmts, &err))
    if (int rc = refuse_client_copy(stmts)) return rc;
  if (implicit_begin(sql) < 0) return VESK_ERROR;
  return run_control(sql);
}

int PgConn::run_statement(const SqlStatement &st, const ParamStore &params,
                          std::vector<RowSet> *sets, int64_t *changed, StreamPtr *stream) {
  std::string err;
  if (!gather(st, params, &args_, &err)) return fail(err, kStateParamCount);
  if (implicit_begin(st.text) < 0) return VESK_ERROR;
  PgResPtr res;
  bool copy = false;
  if (stream == nullptr) {
    res.reset(blocking([&] {
      PGresult *r =
          PQexecParams(conn_.get(), st.text.c_str(), args_.count(), args_.types.data(),
                       args_.values.data(), args_.lengths.data(), args_.formats.data(), 0);
      copy = refuse_copy(conn_.get(), r);
      return r;
    }));
  } else {
    // Rows come one at a time and are read as the caller fetches them.
    bool sent = blocking([&] {
      if (!PQsendQueryParams(conn_.get(), st.text.c_str(), args_.count(), args_.types.data(),
                             args_.values.data(), args_.lengths.data(), args_.formats.data(), 0))
        return false;
      PQsetSingleRowMode(conn_.get());
      res.reset(PQgetResult(conn_.get()));
      if (PQresultStatus(res.get()) == PGRES_SINGLE_TUPLE) return true;
      copy = refuse_copy(conn_.get(), res.get());
      if (!copy) discard_results(conn_.get());
      return true;
    });
    if (!sent) return fail_result(nullptr);
    if (PQresultStatus(res.get()) == PGRES_SINGLE_TUPLE) {
      stream_ = open_stream(conn_.get(), std::move(res));
      *stream = stream_;
      return VESK_OK;
    }
  }
  if (copy) return fail_copy();
  if (!succeeded(res.get())) return fail_result(res.get());
  if (has_rows(res.get())) {
    sets->push_back(make_row_set(std::move(res)));
  } else {
    *changed += changed_rows(res.get());
  }
  return VESK_OK;
}

// Several statements with parameters run one by one, as one step: inside
// a savepoint when a transaction is open, else in a transaction of their
// own, so a failure leaves nothing of them behind.
int PgConn::run_several(const std::vector<SqlStatement> &stmts, const ParamStore &params,
                        std::vector<RowSet> *sets, int64_t *changed) {
  const bool nested = in_transaction() || !autocommit_;
  if (!autocommit_ && !in_transaction() && run_control("BEGIN") < 0) return VESK_ERROR;
  if (run_control(nested ? "SAVEPOINT vesk_several" : "BEGIN") < 0) return VESK_ERROR;
  for (const SqlStatement &st : stmts) {
    if (run_statement(st, params, sets, changed) < 0) {
      ErrorSlot kept = *errors_;
      run_simple(nested ? "ROLLBACK TO SAVEPOINT vesk_several" : "ROLLBACK");
      if (nested) run_simple("RELEASE SAVEPOINT vesk_several");
      *errors_ = kept;
      return VESK_ERROR;
    }
  }
  return run_control(nested ? "RELEASE SAVEPOINT vesk_several" : "COMMIT");
}

int PgConn::finish_rows(std::vector<RowSet> sets, int64_t changed, bool rows, ResultPtr *out,
                        Counters *counters) {
  Counters k;
  if (rows) {
    k.rowcount = -1;
  } else {
    k.rowcount = k.third = clamp32(changed);
  }
  if (!sets.empty()) *out = std::make_unique<PgResult>(errors_, std::move(sets), k);
  if (counters) *counters = k;
  return VESK_OK;
}

int PgConn::exec_direct(const char *sql, const ParamStore &params, ResultPtr *out,
                        Counters *counters) {
  if (int rc = settle()) return rc;
  unprepare();  // only a prepare right after a run of the same text reuses it
  std::vector<SqlStatement> stmts;
  std::string err;
  if (!split_statements(sql, &stmts, &err)) return fail(err);
  bool any_refs = false;
  for (const SqlStatement &st : stmts) any_refs = any_refs || !st.params.empty();
  if (int rc = refuse_extra_values(params, positions_used(stmts))) return rc;
  if (int rc = refuse_client_copy(stmts)) return rc;
  std::vector<RowSet> sets;
  int64_t changed = 0;
  if (stmts.empty()) return finish_rows(std::move(sets), 0, false, out, counters);
  if (stmts.size() > 1 && !any_refs) {
    // Several statements without parameters: one simple-protocol round
    // trip, one row set per statement with rows.  The server runs them as
    // one step unless the text carries its own transaction control.
    for (const SqlStatement &st : stmts)
      if (implicit_begin(st.text) < 0) return VESK_ERROR;
    const std::string text(sql);
    PgResPtr failure;
    bool copy = false;
    bool ok = blocking([&] {
      if (!PQsendQuery(conn_.get(), text.c_str())) return false;
      int failed_ends = 0;
      while (PGresult *r = PQgetResult(conn_.get())) {
        PgResPtr res(r);
        if (is_copy_result(r)) {
          // Not seen in the text: ended here, the statement refused.
          copy = true;
          if (!end_copy(conn_.get(), PQresultStatus(r)) && ++failed_ends > 1) break;
        } else if (!succeeded(r)) {
          if (!failure) failure = std::move(res);
        } else if (has_rows(r)) {
          sets.push_back(make_row_set(std::move(res)));
        } else {
          changed += changed_rows(r);
        }
      }
      return true;
    });
    if (copy) return fail_copy();
    if (!ok || failure) return fail_result(failure.get());
    return finish_rows(std::move(sets), changed, !sets.empty(), out, counters);
  }
  // Every placeholder of every statement has its value before any runs.
  for (const SqlStatement &st : stmts)
    if (!gather(st, params, &args_, &err)) return fail(err, kStateParamCount);
  StreamPtr stream;
  int rc = stmts.size() == 1 ? run_statement(stmts.front(), params, &sets, &changed, &stream)
                             : run_several(stmts, params, &sets, &changed);
  if (rc < 0) return rc;
  if (stream) {
    Counters k;
    k.rowcount = -1;
    if (out) *out = std::make_unique<PgStreamResult>(errors_, std::move(stream));
    if (counters) *counters = k;
    return VESK_OK;
  }
  return finish_rows(std::move(sets), changed, !sets.empty(), out, counters);
}

std::string PgConn::next_statement_name() {
  char name[32];
  std::snprintf(name, sizeof name, "vesk_s%u", ++statement_counter_);
  return name;
}

void PgConn::forget_statements() {
  prepared_ready_ = false;
  prepared_text_.clear();
  released_.clear();
}

int PgConn::prepare(const char *sql) {
  if (prepared_ready_ && prepared_text_ == sql) return VESK_OK;  // kept from the last run
  if (int rc = settle()) return rc;
  std::vector<SqlStatement> stmts;
  std::string err;
  if (!split_statements(sql, &stmts, &err)) return fail(err);
  if (stmts.size() != 1)
    return fail(stmts.empty() ? "prepare: the text holds no statement"
                              : "prepare: the text holds several statements; prepare takes one");
  if (int rc = refuse_client_copy(stmts)) return rc;
  unprepare();
  drop_released_statements();
  const size_t positions = positions_used(stmts);
  SqlStatement st = std::move(stmts.front());
  const std::string name = next_statement_name();
  PgResPtr res(blocking([&] {
    return PQprepare(conn_.get(), name.c_str(), st.text.c_str(),
                     static_cast<int>(st.params.size()), nullptr);
  }));
  if (!succeeded(res.get())) return fail_result(res.get());
  // Whether its runs give rows decides whether they may be sent ahead.
  PgResPtr described(blocking([&] { return PQdescribePrepared(conn_.get(), name.c_str()); }));
  prepared_no_rows_ = PQresultStatus(described.get()) == PGRES_COMMAND_OK &&
                      PQnfields(described.get()) == 0;
  // The types the server gave the parameters: numbers go in binary form
  // where it holds the same value (ParamArrays::set).
  prepared_param_types_.clear();
  if (PQresultStatus(described.get()) == PGRES_COMMAND_OK)
    for (int i = 0; i < PQnparams(described.get()); ++i)
      prepared_param_types_.push_back(PQparamtype(described.get(), i));
  prepared_positions_ = positions;
  prepared_ = std::move(st);
  prepared_name_ = name;
  prepared_text_ = sql;
  prepared_ready_ = true;
  runs_ = 0;
  return VESK_OK;
}

int PgConn::exec_prepared(const ParamStore &params, ResultPtr *out) {
  if (int rc = end_held()) return rc;
  if (!prepared_ready_) return fail("no statement is prepared");
  std::string err;
  if (!gather(prepared_, params, &args_, &err, &prepared_param_types_))
    return fail(err, kStateParamCount);
  if (int rc = refuse_extra_values(params, prepared_positions_)) return rc;
  settle_stream();
  if (!pipelining_ && implicit_begin(prepared_.text) < 0) return VESK_ERROR;
  ++runs_;
  // Inside a transaction a run that gives no rows is sent ahead: its answer
  // is read with the others at the next synchronisation (a flush, every
  // kPipelineChunkRows runs, or the next other operation).  A failure
  // there ends the transaction anyway, so nothing is run that would not
  // have been.
  const bool ahead = prepared_no_rows_ &&
                     (pipelining_ || PQtransactionStatus(conn_.get()) == PQTRANS_INTRANS);
  if (ahead) {
    if (!pipelining_) {
      if (!PQenterPipelineMode(conn_.get())) return fail_result(nullptr);
      // Sends never block while runs go ahead: what the socket does not take
      // at once waits in libpq's buffer until the synchronisation, so a send
      // is no wait and keeps the interpreter lock.
      PQsetnonblocking(conn_.get(), 1);
      pipelining_ = true;
      pending_ = 0;
      first_pending_run_ = runs_;
    }
    bool sent = PQsendQueryPrepared(conn_.get(), prepared_name_.c_str(), args_.count(),
                                    args_.values.data(), args_.lengths.data(),
                                    args_.formats.data(), 0) == 1;
    if (sent) ++pending_;
    if (!sent || pending_ >= kPipelineChunkRows) return settle_pipeline();
    return VESK_OK;
  }
  if (int rc = settle_pipeline()) return rc;
  bool copy = false;
  PgResPtr res(blocking([&] {
    PGresult *r = PQexecPrepared(conn_.get(), prepared_name_.c_str(), args_.count(),
                                 args_.values.data(), args_.lengths.data(),
                                 args_.formats.data(), 0);
    copy = refuse_copy(conn_.get(), r);
    return r;
  }));
  if (copy) return fail_copy();
  if (!succeeded(res.get())) return fail_result(res.get());
  if (has_rows(res.get())) {
    std::vector<RowSet> sets;
    sets.push_back(make_row_set(std::move(res)));
    Counters k;
    k.rowcount = -1;
    *out = std::make_unique<PgResult>(errors_, std::move(sets), k);
  }
  return VESK_OK;
}

int PgConn::flush() {
  int rc = settle();
  runs_ = 0;
  return rc;
}

int PgConn::settle_pipeline() {
  if (!pipelining_) return VESK_OK;
  const int pending = pending_;
  const int first = first_pending_run_;
  pipelining_ = false;
  pending_ = 0;
  int failed = -1;
  PgResPtr failure;
  bool ok = blocking([&] {
    PQsetnonblocking(conn_.get(), 0);  // the synchronisation waits for everything
    bool fine = PQpipelineSync(conn_.get()) == 1 && PQflush(conn_.get()) == 0;
    for (int i = 0; fine && i < pending; ++i) {
      PgResPtr res(PQgetResult(conn_.get()));
      if (!res) {
        fine = false;
        break;
      }
      if (PQresultStatus(res.get()) == PGRES_FATAL_ERROR && failed < 0) {
        failed = first + i;
        failure = std::move(res);
      }
      discard_results(conn_.get());
    }
    if (fine) {
      PgResPtr sync(PQgetResult(conn_.get()));
      fine = sync && PQresultStatus(sync.get()) == PGRES_PIPELINE_SYNC;
    }
    PQexitPipelineMode(conn_.get());
    return fine;
  });
  if (failed >= 0) {
    fail_result(failure.get());
    // A run is named only when it failed, not when the connection went
    // away while it was on its way.
    if (alive()) errors_->text = "run " + std::to_string(failed) + ": " + errors_->text;
    return VESK_ERROR;
  }
  return ok ? VESK_OK : fail_result(nullptr);
}

int PgConn::settle(bool keep_held) {
  settle_stream();
  int rc = settle_pipeline();
  if (!keep_held && held_.open) {
    // Statements in autocommit mode commit one by one: the routine's
    // transaction ends before anything else runs.
    int held = end_held();
    if (rc == VESK_OK) rc = held;
  }
  return rc;
}

int PgConn::unprepare() {
  // The server's statement goes with the next prepare's round trip: the
  // prepare of the same text in the next parameter set of one call finds
  // it still here, while a later call prepares afresh (the tables it reads
  // may have changed in between).
  if (prepared_ready_) released_.push_back(prepared_name_);
  prepared_ready_ = false;
  prepared_text_.clear();
  return VESK_OK;
}

void PgConn::drop_released_statements() {
  // Inside a transaction a failed DEALLOCATE (the user may have dropped the
  // statements already) would spoil it: they wait until none is open.
  if (released_.empty() || in_transaction()) return;
  std::string sql;
  for (const std::string &name : released_) sql += "DEALLOCATE " + name + ";";
  released_.clear();
  ErrorSlot kept = *errors_;
  run_simple(sql.c_str());  // best effort: a failed transaction refuses it, the close drops it
  *errors_ = kept;
}

int PgConn::open_named_cursor(const char *name, ResultPtr *out) {
  const bool held = held_.open && name != nullptr && held_.holds(name);
  if (int rc = settle(held)) return rc;
  unprepare();  // only a prepare right after a run of the same text reuses it
  if (out) out->reset();
  if (name == nullptr || *name == '\0') return fail("named cursor: no name given", kStateNoArgument);
  const std::string sql = "FETCH " + std::to_string(kCursorBatchRows) + " FROM " + quote_identifier(name);
  PgResPtr res;
  if (!run_simple(sql.c_str(), &res)) {
    if (held) abandon_held();
    return VESK_ERROR;
  }
  const int rows = PQntuples(res.get());
  if (rows > 0 && out) {
    std::vector<RowSet> sets;
    sets.push_back(make_row_set(std::move(res)));
    Counters k;
    k.rowcount = -1;
    *out = std::make_unique<PgResult>(errors_, std::move(sets), k);
  }
  return rows;
}

int PgConn::close_named_cursor(const char *name) {
  const bool held = held_.open && name != nullptr && held_.holds(name);
  if (int rc = settle(held)) return rc;
  unprepare();  // only a prepare right after a run of the same text reuses it
  if (name == nullptr || *name == '\0') return fail("named cursor: no name given", kStateNoArgument);
  const int rc = run_control(("CLOSE " + quote_identifier(name)).c_str());
  if (!held) return rc;
  if (rc < 0) {
    abandon_held();
    return rc;
  }
  // The last held cursor closed: the routine's transaction commits.
  held_.release(name);
  return held_.names.empty() ? end_held() : VESK_OK;
}

int PgConn::reconnect() {
  // Open afresh: the core then tries the whole host list again with every
  // parameter of the first connect.
  return VESK_ERROR;
}

int PgConn::rowid(char *buf) {
  if (int rc = settle()) return rc;
  PgResPtr res;
  if (!run_simple("SELECT lastval()", &res)) return VESK_ERROR;
  const char *v = PQntuples(res.get()) > 0 ? PQgetvalue(res.get(), 0, 0) : "";
  std::snprintf(buf, VESK_ROWID_CAP, "%s", v);
  return VESK_OK;
}

void PgConn::close() {
  if (conn_ && alive()) {
    settle_pipeline();
    end_held();  // a routine's held transaction commits: its work is kept
  }
  held_ = HeldCursors();
  if (stream_) {
    // Rows still on their way are dropped; the result reports the close.
    drain(stream_, false);
    if (stream_.use_count() > 1) stream_->failure = "the connection of this result is closed";
    stream_->failure_state = "08003";
    stream_.reset();
  }
  forget_statements();
  conn_.reset();
}

void PgConn::settle_stream() {
  if (!stream_) return;
  drain(stream_, stream_.use_count() > 1);  // kept while a result reads it
  stream_.reset();
}

}  // namespace pg
}  // namespace vesk
