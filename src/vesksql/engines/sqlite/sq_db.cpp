#include "sq_db.h"

#include <chrono>
#include <thread>

#include "core/wait.h"
#include "vesksql.h"

namespace vesk {
namespace sq {

namespace {
constexpr int kBusyTimeoutMs = 5000;

// While another connection holds a lock this one needs, SQLite calls this
// before each retry; `attempt` counts from 0.  Sleeps a little longer each
// time (short first, since most locks are held briefly), until
// kBusyTimeoutMs have passed in all; returning 0 gives up ("database is
// locked").  The sleep is a wait in the sense of vesksql.h: the caller's
// callbacks bracket it.
int busy_wait(void *, int attempt) {
  static const int kDelaysMs[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
  constexpr int kSteps = sizeof kDelaysMs / sizeof kDelaysMs[0];
  int slept = 0;  // what the earlier attempts slept, by the same schedule
  for (int i = 0; i < attempt && i < kSteps; ++i) slept += kDelaysMs[i];
  if (attempt > kSteps) slept += (attempt - kSteps) * kDelaysMs[kSteps - 1];
  int delay = kDelaysMs[attempt < kSteps ? attempt : kSteps - 1];
  if (slept >= kBusyTimeoutMs) return 0;
  if (slept + delay > kBusyTimeoutMs) delay = kBusyTimeoutMs - slept;
  WaitScope wait;
  std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  return 1;
}

// Every connection gets a one-row table called dual, unless the database
// has its own.
int make_dual(sqlite3 *db) {
  sqlite3_stmt *st = nullptr;
  int rc = sqlite3_prepare_v2(db,
                              "SELECT 1 FROM main.sqlite_master WHERE type IN ('table','view')"
                              " AND name = 'dual' COLLATE NOCASE",
                              -1, &st, nullptr);
  if (rc != SQLITE_OK) return rc;
  LocalStmt guard(st);
  rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) return SQLITE_OK;
  if (rc != SQLITE_DONE) return rc;
  return sqlite3_exec(db, "CREATE TEMP VIEW IF NOT EXISTS dual AS SELECT 'X' AS dummy",
                      nullptr, nullptr, nullptr);
}
int count_statement(unsigned, void *ctx, void *, void *) {
  ++static_cast<DbState *>(ctx)->statements_started;
  return 0;
}

}  // namespace

void DbState::close() {
  for (StmtBox *b : stmts) {
    sqlite3_finalize(b->raw);
    b->raw = nullptr;
    ++b->generation;
  }
  stmts.clear();
  if (db) sqlite3_close_v2(db);
  db = nullptr;
  ++epoch;
}

// SQLite's result codes as SQLSTATEs.  The extended code decides where it
// is finer than the primary one; SQLITE_ERROR covers many failures, told
// apart by its message for the few that callers commonly act on.
//
//   SQLITE_CONSTRAINT_UNIQUE, _PRIMARYKEY, _ROWID   23505
//   SQLITE_CONSTRAINT_NOTNULL                       23502
//   SQLITE_CONSTRAINT_FOREIGNKEY                    23503
//   SQLITE_CONSTRAINT_CHECK                         23514
//   SQLITE_CONSTRAINT (any other)                   23000
//   SQLITE_BUSY, SQLITE_LOCKED (lock not obtained)  55P03
//   SQLITE_READONLY                                 25006
//   SQLITE_INTERRUPT                                57014
//   SQLITE_NOMEM                                    53200
//   SQLITE_FULL                                     53100
//   SQLITE_TOOBIG                                   54000
//   SQLITE_MISMATCH                                 42804
//   SQLITE_RANGE (placeholder index)                07009
//   SQLITE_ERROR "... syntax error", "incomplete input"  42601
//   SQLITE_ERROR "no such table"                    42P01
//   SQLITE_ERROR "no such column"                   42703
//   anything else                                   HY000
const char *sqlstate_of(sqlite3 *db) {
  if (db == nullptr) return kStateNoConnection;
  const int ext = sqlite3_extended_errcode(db);
  switch (ext) {
    case SQLITE_CONSTRAINT_UNIQUE:
    case SQLITE_CONSTRAINT_PRIMARYKEY:
    case SQLITE_CONSTRAINT_ROWID:
      return "23505";
    case SQLITE_CONSTRAINT_NOTNULL: return "23502";
    case SQLITE_CONSTRAINT_FOREIGNKEY: return "23503";
    case SQLITE_CONSTRAINT_CHECK: return "23514";
    default: break;
  }
  switch (ext & 0xff) {
    case SQLITE_CONSTRAINT: return "23000";
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return "55P03";
    case SQLITE_READONLY: return "25006";
    case SQLITE_INTERRUPT: return "57014";
    case SQLITE_NOMEM: return "53200";
    case SQLITE_FULL: return "53100";
    case SQLITE_TOOBIG: return "54000";
    case SQLITE_MISMATCH: return "42804";
    case SQLITE_RANGE: return "07009";
    case SQLITE_ERROR: {
      const std::string msg = sqlite3_errmsg(db);
      if (msg.find("syntax error") != std::string::npos ||
          msg.find("incomplete input") != std::string::npos)
        return "42601";
      if (msg.compare(0, 13, "no such table") == 0) return "42P01";
      if (msg.compare(0, 14, "no such column") == 0) return "42703";
      return kStateGeneral;
    }
    default: return kStateGeneral;
  }
}

int DbState::fail() {
  if (!db) return fail("the connection is closed", kStateNoConnection);
  return fail(sqlite3_errmsg(db), sqlstate_of(db));
}

int DbState::fail(const std::string &text, const char *state) {
  if (errors) errors->set(text, state);
  return VESK_ERROR;
}

int DbState::exec(const char *sql) {
  if (!db) return fail();
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) return fail();
  return VESK_OK;
}

DbPtr open_db(const std::string &path, const ErrorSlotPtr &errors, std::string *err) {
  sqlite3 *raw = nullptr;
  // A connection, with its statements and results, is used by one thread
  // at a time (the rule of vesksql.h), so SQLite's own per-call locking is
  // not needed; distinct connections run in parallel.
  int rc = sqlite3_open_v2(path.c_str(), &raw,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  auto d = std::make_shared<DbState>();
  d->db = raw;  // closed by the state, also on failure
  d->errors = errors;
  if (rc != SQLITE_OK) {
    *err = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    *err += " (database '" + path + "')";
    return nullptr;
  }
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_handler(raw, busy_wait, nullptr);
  // The state outlives the handle: close() closes the handle first.
  sqlite3_trace_v2(raw, SQLITE_TRACE_STMT, count_statement, d.get());
  if (make_dual(raw) != SQLITE_OK) {
    *err = std::string(sqlite3_errmsg(raw)) + " (database '" + path + "')";
    return nullptr;
  }
  return d;
}

StmtBox::~StmtBox() {
  if (raw) {
    sqlite3_finalize(raw);
    db->stmts.erase(this);
  }
}

}  // namespace sq
}  // namespace vesk
