// Routine calls on the embedded engine.  SQLite has no stored procedures; a
// function call (a return value is bound) runs the SQL function of that
// name, "SELECT name(?,...)", and its value goes to the return target.
#include <charconv>
#include <string>

#include "core/routine.h"
#include "core/text_util.h"
#include "sq_bind.h"
#include "sq_conn.h"

namespace vesk {
namespace sq {

int SqliteConn::exec_routine(const char *stmt, ParamStore &params) {
  RoutineStatement rs;
  std::string err;
  if (!parse_routine_statement(stmt, &rs, &err)) return fail(err, "42601");
  const std::string shown = routine_display_name(rs);
  const OutputTarget *ret = params.return_target();
  if (ret == nullptr)
    return fail("the embedded engine has no stored procedures: " + shown +
                    " cannot be called (a function call runs the SQL function of that name)",
                kStateNotSupported);
  if (rs.name.size() != 1)
    return fail("the embedded engine has no schemas of functions: call " + shown +
                    " by its name alone",
                kStateNotSupported);
  if (ret->pos <= rs.placeholders)
    return fail("the return value is bound at position " + std::to_string(ret->pos) +
                    ", which is one of the routine's " + std::to_string(rs.placeholders) +
                    " parameters",
                kStateParamCount);
  for (int32_t pos = rs.placeholders + 1; pos <= static_cast<int32_t>(params.positional.size());
       ++pos) {
    if (pos != ret->pos && params.value(pos) != nullptr)
      return fail("parameter position " + std::to_string(pos) +
                      " is out of range: the routine takes " + std::to_string(rs.placeholders),
                  kStateParamCount);
  }

  // Quoting keeps the name a name; SQLite resolves a quoted function name
  // like a bare one.
  std::string sql = "SELECT " + quote_identifier(rs.name.front().text) + "(";
  for (int32_t i = 0; i < rs.placeholders; ++i) sql += i ? ",?" : "?";
  sql += ")";
  sqlite3_stmt *raw_st = nullptr;
  if (sqlite3_prepare_v2(raw(), sql.c_str(), -1, &raw_st, nullptr) != SQLITE_OK) return fail();
  LocalStmt st(raw_st);
  const Value null_value = [] {
    Value v;
    v.kind = Value::Null;
    return v;
  }();
  for (int32_t pos = 1; pos <= rs.placeholders; ++pos) {
    // A position left unbound (a value the caller could not send) is NULL.
    const Value *v = params.value(pos);
    if (sqlite3_bind_parameter_count(st.get()) >= pos &&
        bind_one(st.get(), pos, v ? *v : null_value) != SQLITE_OK)
      return fail();
  }
  int rc = sqlite3_step(st.get());
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? fail("the function returned no row") : fail();

  // The value in text form (the bytes of a blob); numbers as the shortest
  // text that reads back as the same number.
  sqlite3_stmt *s = st.get();
  const int type = sqlite3_column_type(s, 0);
  char num[32];
  const char *data = nullptr;
  size_t n = 0;
  if (type == SQLITE_INTEGER) {
    auto r = std::to_chars(num, num + sizeof num, sqlite3_column_int64(s, 0));
    data = num;
    n = static_cast<size_t>(r.ptr - num);
  } else if (type == SQLITE_FLOAT) {
    auto r = std::to_chars(num, num + sizeof num, sqlite3_column_double(s, 0));
    data = num;
    n = static_cast<size_t>(r.ptr - num);
  } else if (type == SQLITE_BLOB) {
    data = static_cast<const char *>(sqlite3_column_blob(s, 0));
    n = static_cast<size_t>(sqlite3_column_bytes(s, 0));
  } else if (type == SQLITE_TEXT) {
    data = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
    n = static_cast<size_t>(sqlite3_column_bytes(s, 0));
  }
  const char *state = kStateGeneral;
  if (!write_output(*ret, data ? data : "", n, type == SQLITE_NULL, &err, &state))
    return fail(err, state);
  return VESK_OK;
}

}  // namespace sq
}  // namespace vesk
