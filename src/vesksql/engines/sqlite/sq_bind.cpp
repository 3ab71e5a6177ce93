#include "sq_bind.h"

namespace vesk {
namespace sq {

namespace {

int bind_value(sqlite3_stmt *st, int idx, const Value &v, sqlite3_destructor_type keep) {
  switch (v.kind) {
    case Value::Int: return sqlite3_bind_int64(st, idx, v.i);
    case Value::Real: return sqlite3_bind_double(st, idx, v.d);
    case Value::Text:
      return sqlite3_bind_text(st, idx, v.bytes.data(), static_cast<int>(v.bytes.size()), keep);
    case Value::Blob:
      return sqlite3_bind_blob(st, idx, v.bytes.data(), static_cast<int>(v.bytes.size()), keep);
    default: return sqlite3_bind_null(st, idx);
  }
}

int find_named(sqlite3_stmt *st, const std::string &name) {
  int idx = sqlite3_bind_parameter_index(st, name.c_str());
  if (idx > 0) return idx;
  char c = name.empty() ? '\0' : name[0];
  if (c == ':' || c == '@' || c == '$' || c == '?') return 0;
  for (const char *prefix : {":", "@", "$"}) {
    idx = sqlite3_bind_parameter_index(st, (prefix + name).c_str());
    if (idx > 0) return idx;
  }
  return 0;
}

}  // namespace

bool bind_statement(sqlite3_stmt *st, const ParamStore &ps, BindTally *tally,
                    std::string *err) {
  // A statement without rows reads its parameters only while it runs,
  // within the execution, and every placeholder is bound afresh before it
  // runs again: it may read the texts in place.  A statement with rows
  // reads them while its rows are fetched, when the connection's
  // parameters may have changed: it gets copies.
  sqlite3_destructor_type keep = sqlite3_column_count(st) == 0 ? SQLITE_STATIC : SQLITE_TRANSIENT;
  int count = sqlite3_bind_parameter_count(st);
  for (int i = 1; i <= count; ++i) {
    size_t k = static_cast<size_t>(tally->positions + i - 1);
    int rc;
    if (k < ps.positional.size() && ps.positional[k].kind != Value::Unset) {
      rc = bind_value(st, i, ps.positional[k], keep);
    } else {
      rc = sqlite3_bind_null(st, i);  // unbound placeholders are NULL
    }
    if (rc != SQLITE_OK) {
      *err = sqlite3_errmsg(sqlite3_db_handle(st));
      return false;
    }
  }
  tally->positions += count;
  if (ps.named.empty()) return true;
  tally->named_used.resize(ps.named.size(), false);
  for (size_t n = 0; n < ps.named.size(); ++n) {
    int idx = find_named(st, ps.named[n].first);
    if (idx <= 0) continue;
    tally->named_used[n] = true;
    if (bind_value(st, idx, ps.named[n].second, keep) != SQLITE_OK) {
      *err = sqlite3_errmsg(sqlite3_db_handle(st));
      return false;
    }
  }
  return true;
}

bool check_tally(const ParamStore &ps, const BindTally &tally, std::string *err) {
  for (size_t k = static_cast<size_t>(tally.positions); k < ps.positional.size(); ++k) {
    if (ps.positional[k].kind != Value::Unset) {
      *err = "parameter position " + std::to_string(k + 1) + " is out of range: the statement has " +
             std::to_string(tally.positions) + " placeholders";
      return false;
    }
  }
  for (size_t n = 0; n < ps.named.size(); ++n) {
    if (n >= tally.named_used.size() || !tally.named_used[n]) {
      *err = "no parameter named '" + ps.named[n].first + "' in the statement";
      return false;
    }
  }
  return true;
}

}  // namespace sq
}  // namespace vesk
