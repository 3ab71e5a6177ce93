// Control statements of the embedded engine: transactions, autocommit,
// the liveness check and the database switch.
#include <string>

#include "core/text_util.h"
#include "sq_conn.h"

namespace vesk {
namespace sq {

namespace {

// Lower-case words of a short text, single-spaced, without the final ";".
std::string normalize(const char *sql) {
  std::string out;
  const char *p = sql;
  for (size_t i = 0; *p && i < 256; ++p, ++i) {
    char c = *p;
    if (is_blank(c)) {
      if (!out.empty() && out.back() != ' ') out += ' ';
      continue;
    }
    out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
  if (*p) return std::string();  // too long to be a control statement
  while (!out.empty() && (out.back() == ' ' || out.back() == ';')) out.pop_back();
  return out;
}

bool plain_identifier(const std::string &s) {
  if (s.empty() || s.size() > 128) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    if (!alpha && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return true;
}

// "USE name;" -> name as written (or empty when the text is not a USE).
bool use_target(const char *sql, std::string *name) {
  const char *p = sql;
  while (is_blank(*p)) ++p;
  if (!ascii_ieq(p, "USE", 3) || !is_blank(p[3])) return false;
  p += 3;
  while (is_blank(*p)) ++p;
  std::string rest(p);
  while (!rest.empty() && (is_blank(rest.back()))) rest.pop_back();
  if (!rest.empty() && rest.back() == ';') rest.pop_back();
  while (!rest.empty() && (is_blank(rest.back()))) rest.pop_back();
  *name = rest;
  return true;
}

}  // namespace

int SqliteConn::exec_command(const char *sql) {
  const std::string cmd = normalize(sql);
  if (cmd == "begin" || cmd == "begin transaction") {
    return in_transaction() ? VESK_OK : db_->exec("BEGIN");
  }
  if (cmd == "commit" || cmd == "commit transaction" || cmd == "end") {
    return in_transaction() ? db_->exec("COMMIT") : VESK_OK;
  }
  if (cmd == "rollback" || cmd == "rollback transaction") {
    return in_transaction() ? db_->exec("ROLLBACK") : VESK_OK;
  }
  if (cmd == "set auto commit off") {
    autocommit_ = false;
    return VESK_OK;
  }
  if (cmd == "set auto commit on") {
    // Switching autocommit on commits the transaction that is open.
    if (in_transaction() && db_->exec("COMMIT") < 0) return VESK_ERROR;
    autocommit_ = true;
    return VESK_OK;
  }
  if (cmd == "select 1 from dual") return run_plain("SELECT 1 FROM dual", false);
  std::string name;
  if (use_target(sql, &name)) return use_database(name);
  return run_plain(sql, true);
}

int SqliteConn::use_database(const std::string &name) {
  if (!plain_identifier(name))
    return fail("USE: '" + name +
                "' is not a plain database name (letters, digits and '_', not starting "
                "with a digit, at most 128 characters)");
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
