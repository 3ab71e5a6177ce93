#include "sq_conn.h"

#include <cstdio>
#include <cstring>

#include "core/text_util.h"
#include "sq_bind.h"
#include "sq_real_params.h"
#include "sq_result.h"

namespace vesk {

EnginePtr sqlite_open(const ConnectParams &params, const ErrorSlotPtr &errors,
                      std::string *err) {
  if (params.database.empty()) {
    *err = "no database given: DB must name a database file or :memory:";
    return nullptr;
  }
  // A database name is a file name, taken literally, or ":memory:".  The
  // name comes from the caller's input, and SQLite (as most systems build
  // it) reads a name that starts with "file:" as a URI whose parameters
  // change how the file is opened (read-only, in memory, shared cache,
  // immutable, another VFS) or which file it is.  Such a relative name is
  // opened as "./name", which SQLite never reads as a URI; absolute names
  // start with "/" and are never URIs either.
  std::string name = params.database;
  if (name.size() >= 5 && ascii_ieq(name.data(), "file:", 5)) name.insert(0, "./");
  sq::DbPtr db = sq::open_db(name, errors, err);
  if (!db) return nullptr;
  // Remember the file by its full name so a reconnect finds it whatever
  // the working directory has become.
  const char *full = sqlite3_db_filename(db->db, "main");
  std::string path = (full && *full) ? std::string(full) : params.database;
  return std::make_unique<sq::SqliteConn>(params, path, std::move(db), errors);
}

namespace sq {

bool is_dml(Verb v) {
  return v == Verb::Insert || v == Verb::Update || v == Verb::Delete || v == Verb::Replace;
}

bool runs_outside_transaction(Verb v) {
  switch (v) {
    case Verb::Begin: case Verb::Commit: case Verb::End: case Verb::Rollback:
    case Verb::Savepoint: case Verb::Release: case Verb::Vacuum: case Verb::Attach:
    case Verb::Detach: case Verb::Pragma: case Verb::None:
      return true;
    default:
      return false;
  }
}

namespace {

StatementInfo first_statement(const char *sql) {
  const char *p = skip_space(sql);
  while (*p == ';' || *p == '(') p = skip_space(p + 1);
  return scan_statement(p);
}

Verb effective_verb(const StatementInfo &si) {
  return si.verb == Verb::With ? si.main : si.verb;
}

// Whether anything but blanks, comments and ";" follows.
bool more_statements(const char *tail) {
  const char *p = skip_space(tail);
  while (*p == ';') p = skip_space(p + 1);
  return *p != '\0';
}

}  // namespace

int SqliteConn::implicit_begin(Verb verb) {
  if (autocommit_ || in_transaction() || runs_outside_transaction(verb)) return VESK_OK;
  return db_->exec("BEGIN");
}

int SqliteConn::run_single(const StmtPtr &box, Verb verb, const ParamStore &params, bool has_params,
                           ResultPtr *out, Counters *counters,
                           const std::vector<uint8_t> *real_params) {
  sqlite3_stmt *st = box->raw;
  {
    // Every placeholder gets its value, or the statement does not run.
    BindTally tally;
    std::string err;
    if (!bind_statement(st, params, &tally, &err, real_params)) return fail(err, tally.state);
    if (has_params && !check_tally(params, tally, &err)) return fail(err, kStateParamCount);
  }
  if (implicit_begin(verb) < 0) return VESK_ERROR;
  int rc = box->step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    int r = fail();
    box->reset();
    return r;
  }
  Counters k;
  if (sqlite3_column_count(st) > 0) {
    k.rowcount = -1;
    std::vector<std::unique_ptr<RowSet>> sets;
    sets.push_back(make_stream(box, rc == SQLITE_ROW));
    if (rc == SQLITE_DONE) box->reset();
    *out = std::make_unique<SqResult>(db_, std::move(sets), k);
  } else {
    if (is_dml(verb)) k.rowcount = k.third = sqlite3_changes(raw());
    box->reset();
  }
  if (counters) *counters = k;
  return VESK_OK;
}

int SqliteConn::exec_direct(const char *sql, const ParamStore &params, ResultPtr *out,
                            Counters *counters) {
  sqlite3_stmt *st = nullptr;
  const char *tail = nullptr;
  if (sqlite3_prepare_v2(raw(), sql, -1, &st, &tail) != SQLITE_OK) return fail();
  if (st == nullptr) {  // nothing but blanks and comments
    if (counters) *counters = Counters();
    return VESK_OK;
  }
  if (more_statements(tail)) {
    sqlite3_finalize(st);
    return run_multi(sql, params, out, counters);
  }
  auto box = std::make_shared<StmtBox>(db_, st);
  return run_single(box, effective_verb(first_statement(sql)), params, !params.empty(), out,
                    counters);
}

// A text of several statements runs whole at once: row sets are buffered,
// and unless the text carries its own transaction control it is applied
// as one step (a savepoint), so a failure leaves nothing behind.
int SqliteConn::run_multi(const char *sql, const ParamStore &params, ResultPtr *out,
                          Counters *counters) {
  // A placeholder without a value fails the text before any of it runs.
  // A text with no parameters and no character that can start a
  // placeholder has none to check.
  if (!params.empty() || std::strpbrk(sql, "?:@$#") != nullptr) {
    std::string err;
    if (!check_text(raw(), sql, params, &err)) return fail(err, kStateParamCount);
  }
  bool atomic = true;
  for (const char *p = sql; *p;) {
    p = skip_space(p);
    while (*p == ';') p = skip_space(p + 1);
    if (!*p) break;
    StatementInfo si = scan_statement(p);
    if (runs_outside_transaction(si.verb) && si.verb != Verb::Pragma) atomic = false;
    p = *si.end ? si.end + 1 : si.end;
  }
  StatementInfo first = first_statement(sql);
  if (implicit_begin(effective_verb(first)) < 0) return VESK_ERROR;
  if (atomic && db_->exec("SAVEPOINT vesk_multi") < 0) return VESK_ERROR;

  std::vector<std::unique_ptr<RowSet>> sets;
  BindTally tally;
  int64_t changed = 0;
  std::string err;
  const char *state = kStateGeneral;
  const char *p = sql;
  bool ok = true;
  while (ok && more_statements(p)) {
    sqlite3_stmt *raw_st = nullptr;
    const char *tail = nullptr;
    if (sqlite3_prepare_v2(raw(), p, -1, &raw_st, &tail) != SQLITE_OK) {
      err = sqlite3_errmsg(raw());
      state = sqlstate_of(raw());
      ok = false;
      break;
    }
    LocalStmt st(raw_st);
    Verb verb = effective_verb(first_statement(p));
    p = tail;
    if (!st) continue;
    if (!bind_statement(st.get(), params, &tally, &err)) {
      state = tally.state;
      ok = false;
      break;
    }
    int rc = sqlite3_step(st.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      err = sqlite3_errmsg(raw());
      state = sqlstate_of(raw());
      ok = false;
    } else if (sqlite3_column_count(st.get()) > 0) {
      auto set = make_buffered(st.get(), rc, &err);
      if (set) {
        sets.push_back(std::move(set));
      } else {
        state = sqlstate_of(raw());
        ok = false;
      }
    } else if (is_dml(verb)) {
      changed += sqlite3_changes(raw());
    }
  }
  if (ok && !check_tally(params, tally, &err)) {
    state = kStateParamCount;
    ok = false;
  }
  if (!ok) {
    fail(err, state);
    if (atomic && in_transaction()) {
      sqlite3_exec(raw(), "ROLLBACK TO vesk_multi", nullptr, nullptr, nullptr);
      sqlite3_exec(raw(), "RELEASE vesk_multi", nullptr, nullptr, nullptr);
    }
    return VESK_ERROR;
  }
  if (atomic && db_->exec("RELEASE vesk_multi") < 0) return VESK_ERROR;
  Counters k;
  k.rowcount = k.third = static_cast<int32_t>(changed);
  if (!sets.empty()) *out = std::make_unique<SqResult>(db_, std::move(sets), k);
  if (counters) *counters = k;
  return VESK_OK;
}

int SqliteConn::prepare(const char *sql) {
  // The same text prepared again while nothing else reads the statement
  // (a driver preparing once per parameter set): it stays as it is.
  if (prepared_ && prepared_.use_count() == 1 && prepared_->raw &&
      std::strcmp(sqlite3_sql(prepared_->raw), sql) == 0) {
    prepared_->reset();
    return VESK_OK;
  }
  unprepare();
  if (spare_ && spare_->raw && std::strcmp(sqlite3_sql(spare_->raw), sql) == 0) {
    prepared_ = std::move(spare_);
    prepared_verb_ = spare_verb_;
    prepared_->reset();
    return VESK_OK;
  }
  spare_.reset();
  sqlite3_stmt *st = nullptr;
  const char *tail = nullptr;
  if (sqlite3_prepare_v2(raw(), sql, -1, &st, &tail) != SQLITE_OK) return fail();
  if (st == nullptr) return fail("prepare: the text holds no statement");
  if (more_statements(tail)) {
    sqlite3_finalize(st);
    return fail("prepare: the text holds several statements; prepare takes one");
  }
  prepared_ = std::make_shared<StmtBox>(db_, st);
  prepared_verb_ = effective_verb(first_statement(sql));
  return VESK_OK;
}

// An INSERT run again and again inside a transaction binds the numbers it
// is given as text as doubles where its columns have REAL affinity (see
// sq_real_params.h).  Which columns those are is read from the schema, and
// that answer is only used while the schema cannot have changed since:
//   - it is read right after a run of the statement that succeeded inside
//     a transaction, which then holds the write lock of the table's
//     database until it ends, so no other connection can change that
//     schema meanwhile;
//   - it holds for the next run only when nothing else has run on this
//     connection since (SQLite's statement trace counts every statement
//     that starts: a DDL, a COMMIT, another prepared statement...) and
//     the transaction is still open; each run that succeeds that way
//     carries it on to the next;
//   - a failed run drops it.
int SqliteConn::exec_prepared(const ParamStore &params, ResultPtr *out) {
  if (!prepared_ || prepared_->raw == nullptr) return fail("no statement is prepared");
  StmtBox &box = *prepared_;
  ++box.generation;  // results of an earlier run end here
  box.reset();
  const uint64_t before = db_->statements_started;
  const bool real_known = box.real_params_until != 0 && box.real_params_until == before &&
                          in_transaction();
  const std::vector<uint8_t> *real =
      real_known && !box.real_params.empty() ? &box.real_params : nullptr;
  int rc = run_single(prepared_, prepared_verb_, params, true, out, nullptr, real);
  box.real_params_until = 0;
  if (rc < 0 || !in_transaction() || !db_->open() ||
      (prepared_verb_ != Verb::Insert && prepared_verb_ != Verb::Replace))
    return rc;
  if (real_known && db_->statements_started == before + 1) {
    box.real_params_until = db_->statements_started;
  } else if (!real_known) {
    box.real_params = real_params_of(raw(), sqlite3_sql(box.raw));
    box.real_params_until = db_->statements_started;
  }
  return rc;
}

int SqliteConn::unprepare() {
  // Keep the statement for a later prepare of the same text, unless a
  // result still reads from it.
  if (prepared_ && prepared_.use_count() == 1 && prepared_->raw) {
    prepared_->reset();
    spare_ = std::move(prepared_);
    spare_verb_ = prepared_verb_;
  }
  prepared_.reset();
  return VESK_OK;
}

int SqliteConn::switch_to(const std::string &path) {
  std::string err;
  DbPtr fresh = open_db(path, errors_, &err);
  if (!fresh) return fail(err);
  prepared_.reset();
  spare_.reset();
  db_->close();  // results of the old database report a closed connection
  db_ = std::move(fresh);
  return VESK_OK;
}

int SqliteConn::reconnect() {
  if (db_ && db_->open() && in_transaction())
    sqlite3_exec(raw(), "ROLLBACK", nullptr, nullptr, nullptr);
  return switch_to(opened_path_);
}

int SqliteConn::rowid(char *buf) {
  std::snprintf(buf, VESK_ROWID_CAP, "%lld",
                static_cast<long long>(sqlite3_last_insert_rowid(raw())));
  return VESK_OK;
}

void SqliteConn::close() {
  prepared_.reset();
  spare_.reset();
  if (db_) db_->close();
}

}  // namespace sq
}  // namespace vesk
