#include "sq_db.h"

#include "vesksql.h"

namespace vesk {
namespace sq {

namespace {
constexpr int kBusyTimeoutMs = 5000;

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
}  // namespace

void DbState::close() {
  for (StmtBox *b : stmts) {
    sqlite3_finalize(b->raw);
    b->raw = nullptr;
  }
  stmts.clear();
  if (db) sqlite3_close_v2(db);
  db = nullptr;
}

int DbState::fail() { return fail(db ? sqlite3_errmsg(db) : "the connection is closed"); }

int DbState::fail(const std::string &text) {
  if (errors) errors->set(text);
  return VESK_ERROR;
}

int DbState::exec(const char *sql) {
  if (!db) return fail();
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) return fail();
  return VESK_OK;
}

DbPtr open_db(const std::string &path, const ErrorSlotPtr &errors, std::string *err) {
  sqlite3 *raw = nullptr;
  // One connection is only ever used by one thread at a time (its caller
  // holds the interpreter lock), so SQLite's own per-call locking is not
  // needed.
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
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
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
