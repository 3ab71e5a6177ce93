// Control operations of the embedded engine: transactions, autocommit, the
// liveness check, the database switch and single plain statements.  The
// core has recognised the control texts (core/control.h).
#include <string>

#include "sq_conn.h"

namespace vesk {
namespace sq {

int SqliteConn::begin() { return in_transaction() ? VESK_OK : db_->exec("BEGIN"); }

int SqliteConn::commit() { return in_transaction() ? db_->exec("COMMIT") : VESK_OK; }

int SqliteConn::rollback() { return in_transaction() ? db_->exec("ROLLBACK") : VESK_OK; }

int SqliteConn::set_autocommit(bool on) {
  // Switching autocommit on commits the transaction that is open.
  if (on && in_transaction() && db_->exec("COMMIT") < 0) return VESK_ERROR;
  autocommit_ = on;
  return VESK_OK;
}

// The dual view made at open stays for callers who select from it, but the
// liveness check does not depend on it.
int SqliteConn::ping() { return run_plain("SELECT 1", false); }

int SqliteConn::use_database(const std::string &name) {
  if (in_transaction())
    return fail("USE: a transaction is open; commit or roll it back first");
  // The database file is <name>.db in the directory of the current one;
  // for an in-memory database, in the working directory.
  std::string dir;
  const char *cur = sqlite3_db_filename(raw(), "main");
  if (cur && *cur) {
    std::string path(cur);
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos) dir = path.substr(0, slash + 1);
  }
  return switch_to(dir + name + ".db");
}

int SqliteConn::open_named_cursor(const char *, ResultPtr *) { return 0; }

int SqliteConn::close_named_cursor(const char *) { return VESK_OK; }

int SqliteConn::exec_plain(const char *sql) { return run_plain(sql, true); }

// One statement without parameters; rows it yields are read and dropped.
int SqliteConn::run_plain(const char *sql, bool with_implicit_begin) {
  sqlite3_stmt *raw_st = nullptr;
  const char *tail = nullptr;
  if (sqlite3_prepare_v2(raw(), sql, -1, &raw_st, &tail) != SQLITE_OK) return fail();
  LocalStmt st(raw_st);
  if (!st) return VESK_OK;
  const char *p = skip_space(tail);
  while (*p == ';') p = skip_space(p + 1);
  if (*p) return fail("exec_command runs one statement; the text holds several");
  if (with_implicit_begin) {
    const char *q = skip_space(sql);
    if (implicit_begin(scan_statement(q).verb) < 0) return VESK_ERROR;
  }
  int rc;
  while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
  }
  return rc == SQLITE_DONE ? VESK_OK : fail();
}

}  // namespace sq
}  // namespace vesk
