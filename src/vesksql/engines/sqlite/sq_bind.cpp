#include "sq_bind.h"

#include "sq_db.h"
#include "sq_real_params.h"

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

bool is_name_prefix(char c) { return c == ':' || c == '@' || c == '$'; }

// The value for placeholder `idx` (from 1) whose positional slot is `k`
// (from 0), or nullptr.  A named placeholder first looks for a named value
// under its name unchanged, then under its bare name; then, like every
// placeholder, for the positional value.
inline const Value *positional_value(size_t k, const ParamStore &ps) {
  if (k < ps.positional.size() && ps.positional[k].kind != Value::Unset) return &ps.positional[k];
  return nullptr;
}

const Value *value_for(sqlite3_stmt *st, int idx, size_t k, const ParamStore &ps) {
  // Without named values (the common case, a statement run in a loop) only
  // the position counts; the name is looked up for a miss's message alone
  // (see no_value).
  if (ps.named.empty()) return positional_value(k, ps);
  const char *nm = sqlite3_bind_parameter_name(st, idx);
  if (nm != nullptr) {
    if (const Value *exact = ps.find_named(nm)) return exact;
    const char *bare = is_name_prefix(nm[0]) ? nm + 1 : nullptr;
    if (bare != nullptr && bare[0] != '\0' && !is_name_prefix(bare[0]) && bare[0] != '?') {
      if (const Value *by_bare = ps.find_named(bare)) return by_bare;
    }
  }
  return positional_value(k, ps);
}

void no_value(sqlite3_stmt *st, int idx, size_t k, std::string *err) {
  // A placeholder is named by its name when it has one (":id"), else by
  // the position the caller binds it at ("?" and "?3" alike).
  const char *name = sqlite3_bind_parameter_name(st, idx);
  if (name != nullptr && name[0] != '?')
    *err = std::string("no value is bound for parameter ") + name;
  else
    *err = "no value is bound for parameter " + std::to_string(k + 1);
}

}  // namespace

int bind_one(sqlite3_stmt *st, int idx, const Value &v) {
  return bind_value(st, idx, v, SQLITE_TRANSIENT);
}

namespace {

// The failures of bind_statement, kept out of its loop.
__attribute__((cold, noinline)) bool missing_value(sqlite3_stmt *st, int idx, size_t k,
                                                  std::string *err) {
  no_value(st, idx, k, err);
  sqlite3_clear_bindings(st);
  return false;
}

__attribute__((cold, noinline)) bool refused_value(sqlite3_stmt *st, BindTally *tally,
                                                  std::string *err) {
  *err = sqlite3_errmsg(sqlite3_db_handle(st));
  tally->state = sqlstate_of(sqlite3_db_handle(st));
  sqlite3_clear_bindings(st);
  return false;
}

}  // namespace

bool bind_statement(sqlite3_stmt *st, const ParamStore &ps, BindTally *tally,
                    std::string *err, const std::vector<uint8_t> *real_params) {
  // A statement without rows reads its parameters only while it runs,
  // within the execution, and every placeholder is bound afresh before it
  // runs again (or its bindings are cleared): it may read the texts in
  // place.  A statement with rows reads them while its rows are fetched,
  // when the connection's parameters may have changed: it gets copies.
  sqlite3_destructor_type keep = sqlite3_column_count(st) == 0 ? SQLITE_STATIC : SQLITE_TRANSIENT;
  const int count = sqlite3_bind_parameter_count(st);
  const bool named = !ps.named.empty();
  // Placeholders 1..n_real may take a text as the double it stands for.
  const uint8_t *real = real_params != nullptr ? real_params->data() : nullptr;
  const int n_real = real_params != nullptr ? static_cast<int>(real_params->size()) : 0;
  const size_t base = static_cast<size_t>(tally->positions);
  for (int i = 1; i <= count; ++i) {
    const size_t k = base + static_cast<size_t>(i - 1);
    const Value *v = named ? value_for(st, i, k, ps) : positional_value(k, ps);
    if (v == nullptr) return missing_value(st, i, k, err);
    int rc;
    double exact;
    if (v->kind == Value::Text && i <= n_real && real[i - 1] != 0 &&
        exact_decimal(v->bytes.data(), v->bytes.size(), &exact)) {
      rc = sqlite3_bind_double(st, i, exact);
    } else {
      rc = bind_value(st, i, *v, keep);
    }
    if (rc != SQLITE_OK) return refused_value(st, tally, err);
  }
  tally->positions += count;
  return true;
}

bool check_statement(sqlite3_stmt *st, const ParamStore &ps, BindTally *tally,
                     std::string *err) {
  const int count = sqlite3_bind_parameter_count(st);
  for (int i = 1; i <= count; ++i) {
    size_t k = static_cast<size_t>(tally->positions + i - 1);
    if (value_for(st, i, k, ps) == nullptr) {
      no_value(st, i, k, err);
      return false;
    }
  }
  tally->positions += count;
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
  return true;
}

bool check_text(sqlite3 *db, const char *sql, const ParamStore &ps, std::string *err) {
  BindTally tally;
  const char *p = sql;
  while (*p) {
    sqlite3_stmt *raw_st = nullptr;
    const char *tail = nullptr;
    if (sqlite3_prepare_v2(db, p, -1, &raw_st, &tail) != SQLITE_OK) return true;
    LocalStmt st(raw_st);
    if (tail == nullptr || tail == p) break;
    p = tail;
    if (st && !check_statement(st.get(), ps, &tally, err)) return false;
  }
  return check_tally(ps, tally, err);
}

}  // namespace sq
}  // namespace vesk
