// The batch: one statement run for every row of the bound column arrays,
// as one atomic step.  A plain "INSERT ... VALUES (?, ...)" is rewritten to
// insert several rows per statement run, which is where most of the speed
// comes from.
#include <algorithm>
#include <string>
#include <vector>

#include "core/sql_scan.h"
#include "sq_conn.h"

namespace vesk {
namespace sq {

namespace {

constexpr int kRowsPerGroup = 100;

// For "INSERT [OR x] INTO name [(cols)] VALUES (?, ?, ...)" with plain "?"
// placeholders only: the text up to the VALUES list and the list's size.
bool multirow_form(const char *sql, std::string *head, int *params) {
  const char *p = skip_space(sql);
  const char *e = skip_token(p);
  if (!token_is(p, e, "INSERT") && !token_is(p, e, "REPLACE")) return false;
  int depth = 0;
  const char *values = nullptr;
  for (p = skip_space(e); *p; p = skip_space(e)) {
    e = skip_token(p);
    if (*p == '(') ++depth;
    else if (*p == ')') --depth;
    else if (*p == ';') return false;
    else if (token_is(p, e, "SELECT") || token_is(p, e, "DEFAULT") || token_is(p, e, "WITH") ||
             token_is(p, e, "ROLLBACK") || token_is(p, e, "FAIL"))
      return false;
    else if (depth == 0 && token_is(p, e, "VALUES")) {
      values = e;
      break;
    }
  }
  if (values == nullptr) return false;
  p = skip_space(values);
  if (*p != '(') return false;
  const char *list = p;
  int n = 0;
  for (;;) {
    p = skip_space(p + 1);
    if (*p != '?' || (p[1] >= '0' && p[1] <= '9')) return false;
    ++n;
    p = skip_space(p + 1);
    if (*p == ')') break;
    if (*p != ',') return false;
  }
  p = skip_space(p + 1);
  while (*p == ';') p = skip_space(p + 1);
  if (*p) return false;  // ON CONFLICT, RETURNING, a second row group...
  head->assign(sql, static_cast<size_t>(list - sql));
  *params = n;
  return true;
}

// Every position up to nparams holds a bound column (exec_batch checks
// that before the first row).  `walks` holds one TextWalk per column.
int bind_row(sqlite3_stmt *st, const ArrayStore &a, int nparams, int base, int32_t row,
             std::vector<TextWalk> &walks) {
  const size_t r = static_cast<size_t>(row);
  for (int c = 0; c < nparams; ++c) {
    const ArrayColumn &col = a.columns[static_cast<size_t>(c)];
    int idx = base + c + 1;
    int rc;
    const int32_t len = col.length_at(r);
    if (len < 0) {
      if (col.kind == ArrayColumn::Text || col.kind == ArrayColumn::Blob)
        walks[static_cast<size_t>(c)].start(col, r);  // keeps the walk in step
      rc = sqlite3_bind_null(st, idx);
    } else {
      switch (col.kind) {
        case ArrayColumn::Int: rc = sqlite3_bind_int64(st, idx, col.int_at(r)); break;
        case ArrayColumn::Real: rc = sqlite3_bind_double(st, idx, col.real_at(r)); break;
        case ArrayColumn::Text:
          rc = sqlite3_bind_text(st, idx, walks[static_cast<size_t>(c)].start(col, r), len,
                                 SQLITE_STATIC);
          break;
        default:
          rc = sqlite3_bind_blob(st, idx, walks[static_cast<size_t>(c)].start(col, r), len,
                                 SQLITE_STATIC);
          break;
      }
    }
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

// Run the statement once; SQLITE_DONE (rows it yields are dropped) or an error code.
int run_once(sqlite3_stmt *st) {
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
  }
  sqlite3_reset(st);
  return rc;
}

}  // namespace

int SqliteConn::exec_batch(const char *sql, int32_t rows, const ArrayStore &arrays) {
  sqlite3_stmt *raw_st = nullptr;
  const char *tail = nullptr;
  if (sqlite3_prepare_v2(raw(), sql, -1, &raw_st, &tail) != SQLITE_OK) return fail();
  LocalStmt single(raw_st);
  if (!single) return fail("exec_batch: the text holds no statement");
  {
    const char *p = skip_space(tail);
    while (*p == ';') p = skip_space(p + 1);
    if (*p) return fail("exec_batch runs one statement; the text holds several");
  }
  const int nparams = sqlite3_bind_parameter_count(single.get());
  for (size_t c = static_cast<size_t>(nparams); c < arrays.columns.size(); ++c)
    if (arrays.bound[c])
      return fail("exec_batch: column " + std::to_string(c + 1) + " is bound but the statement has " +
                  std::to_string(nparams) + " placeholders");
  if (rows == 0) return VESK_OK;
  // Every placeholder takes its column by position; a batch never runs
  // with one that has none.
  for (int c = 0; c < nparams; ++c) {
    if (static_cast<size_t>(c) >= arrays.columns.size() || !arrays.bound[static_cast<size_t>(c)])
      return fail("no column is bound for parameter " + std::to_string(c + 1));
  }

  // Several rows per statement run when the statement allows it.
  LocalStmt group;
  int per_group = 1;
  std::string head;
  int listed = 0;
  if (nparams > 0 && rows >= 2 && multirow_form(sql, &head, &listed) && listed == nparams) {
    int limit = sqlite3_limit(raw(), SQLITE_LIMIT_VARIABLE_NUMBER, -1);
    per_group = std::min(kRowsPerGroup, limit / nparams);
    if (per_group > rows) per_group = rows;
    if (per_group >= 2) {
      std::string one = "(" + std::string(static_cast<size_t>(2 * nparams - 1), '?') + ")";
      for (size_t i = 2; i < one.size() - 1; i += 2) one[i] = ',';
      std::string text = head;
      for (int r = 0; r < per_group; ++r) text += (r ? "," : "") + one;
      sqlite3_stmt *g = nullptr;
      if (sqlite3_prepare_v2(raw(), text.c_str(), static_cast<int>(text.size()), &g, nullptr) ==
          SQLITE_OK)
        group.reset(g);
    }
    if (!group) per_group = 1;
  }

  // The batch is its own transaction in autocommit mode; inside an open
  // transaction it is a savepoint.
  if (implicit_begin(Verb::Insert) < 0) return VESK_ERROR;
  const bool own = !in_transaction();
  if (db_->exec(own ? "BEGIN IMMEDIATE" : "SAVEPOINT vesk_batch") < 0) return VESK_ERROR;

  std::string err;
  std::string state = kStateGeneral;
  std::vector<TextWalk> walks(static_cast<size_t>(nparams));
  int32_t row = 0;
  while (row < rows && err.empty()) {
    if (group && rows - row >= per_group) {
      // A value SQLite refuses to bind (too long) must not leave the
      // group's earlier value in its place: the group then does not run.
      int bound = SQLITE_OK;
      for (int r = 0; r < per_group && bound == SQLITE_OK; ++r)
        bound = bind_row(group.get(), arrays, nparams, r * nparams, row + r, walks);
      if (bound == SQLITE_OK && run_once(group.get()) == SQLITE_DONE) {
        row += per_group;
        continue;
      }
      // Find the failing row by running the group's rows one at a time.
      std::string group_err = sqlite3_errmsg(raw());
      const char *group_state = sqlstate_of(raw());
      int32_t end = row + per_group;
      for (; row < end; ++row) {
        if (bind_row(single.get(), arrays, nparams, 0, row, walks) != SQLITE_OK ||
            run_once(single.get()) != SQLITE_DONE)
          break;
      }
      if (row < end) {
        err = "row " + std::to_string(row + 1) + ": " + sqlite3_errmsg(raw());
        state = sqlstate_of(raw());
      } else {
        err = "rows " + std::to_string(end - per_group + 1) + " to " + std::to_string(end) + ": " +
              group_err;
        state = group_state;
      }
      break;
    }
    if (bind_row(single.get(), arrays, nparams, 0, row, walks) != SQLITE_OK ||
        run_once(single.get()) != SQLITE_DONE) {
      err = "row " + std::to_string(row + 1) + ": " + sqlite3_errmsg(raw());
      state = sqlstate_of(raw());
      break;
    }
    ++row;
  }

  if (err.empty()) {
    if (db_->exec(own ? "COMMIT" : "RELEASE vesk_batch") == VESK_OK) return VESK_OK;
    err = errors_->text;
    state = errors_->sqlstate;
  }
  // Undo every row of the batch, keeping the first failure's text.
  if (in_transaction()) {
    if (own) {
      sqlite3_exec(raw(), "ROLLBACK", nullptr, nullptr, nullptr);
    } else {
      sqlite3_exec(raw(), "ROLLBACK TO vesk_batch", nullptr, nullptr, nullptr);
      sqlite3_exec(raw(), "RELEASE vesk_batch", nullptr, nullptr, nullptr);
    }
  }
  return fail(err, state.c_str());
}

}  // namespace sq
}  // namespace vesk
