// One open SQLite database and the statements made on it.  The database
// state is shared by the connection and the results it hands out; closing
// it finalizes every statement still registered, so results that outlive
// their connection see a closed state instead of freed memory.
#ifndef VESKSQL_SQLITE_DB_H
#define VESKSQL_SQLITE_DB_H

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/errors.h"
#include "vesksql.h"

namespace vesk {
namespace sq {

struct StmtBox;

struct DbState {
  sqlite3 *db = nullptr;
  ErrorSlotPtr errors;
  std::unordered_set<StmtBox *> stmts;
  // Changes when the database closes (so do the generations of its
  // statements): a row read before can be told from one still readable.
  uint64_t epoch = 0;
  // Statements that began running on the database, counted by SQLite's
  // statement trace: every one, whatever ran it.
  uint64_t statements_started = 0;

  ~DbState() { close(); }
  bool open() const { return db != nullptr; }
  void close();
  // Record SQLite's message and SQLSTATE for the failure that just
  // happened; returns VESK_ERROR.
  int fail();
  int fail(const std::string &text, const char *state = kStateGeneral);
  // Run a statement without parameters or rows (transaction control).
  int exec(const char *sql);
};
using DbPtr = std::shared_ptr<DbState>;

// The SQLSTATE for the failure SQLite reported last on db (see sq_db.cpp).
const char *sqlstate_of(sqlite3 *db);

// Open a database file (created when missing) or ":memory:".
DbPtr open_db(const std::string &path, const ErrorSlotPtr &errors, std::string *err);

// One prepared statement, finalized by its last owner or by DbState::close.
struct StmtBox {
  sqlite3_stmt *raw = nullptr;
  DbPtr db;
  uint64_t generation = 0;  // bumped whenever the statement is run again or finalized
  // For an INSERT of one row of plain placeholders: which placeholders go
  // into a column of REAL affinity (see sq_real_params.h), and the
  // connection's run count up to which that answer holds (0: none).
  std::vector<uint8_t> real_params;
  uint64_t real_params_until = 0;

  StmtBox(DbPtr d, sqlite3_stmt *s) : raw(s), db(std::move(d)) { db->stmts.insert(this); }
  ~StmtBox();
  StmtBox(const StmtBox &) = delete;
  StmtBox &operator=(const StmtBox &) = delete;

  // Every step and reset of the statement goes through these, so a reset
  // of a statement that has not run since its last reset is skipped.
  int step() {
    stepped_ = true;
    return sqlite3_step(raw);
  }
  void reset() {
    if (!stepped_) return;
    stepped_ = false;
    sqlite3_reset(raw);
  }

 private:
  bool stepped_ = false;
};
using StmtPtr = std::shared_ptr<StmtBox>;

// A statement owned by one call only.
struct StmtFinalizer {
  void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
};
using LocalStmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

}  // namespace sq
}  // namespace vesk

#endif
