// Routine statements on the PostgreSQL engine.
//
// "execute name(?,...)" calls the procedure or function that the catalog
// holds under that name with that many arguments (IN, OUT and INOUT
// counted, in declared order), looked up once per connection:
//   a procedure   CALL s.name($1,...,$n): every argument, NULL for OUT
//                 ones; the row that comes back holds the OUT and INOUT
//                 arguments in order
//   a function    SELECT s.name(args) when it has no OUT or INOUT
//                 arguments (its value is the return value), else
//                 SELECT * FROM s.name(args) (one column per OUT or INOUT
//                 argument; the first is also the return value); only the
//                 IN, INOUT and VARIADIC arguments are sent
// A refcursor that comes back names a portal, which lives until its
// transaction ends: in autocommit mode outside a transaction the call runs
// inside a transaction of the library's own, kept open (a "held"
// transaction, with a savepoint right after the call) until the last such
// portal is closed or anything else runs on the connection.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/text_util.h"
#include "pg_conn.h"
#include "vesksql.h"

namespace vesk {
namespace pg {

namespace {

constexpr Oid kByteaOid = 17;
constexpr Oid kRefcursorOid = 1790;
constexpr Oid kAnyOid = 2276;  // "any": a VARIADIC "any" argument takes single values
// The server's longest identifier, in bytes; longer ones it cuts.
constexpr size_t kMaxIdentifierBytes = 63;

constexpr char kStateSyntax[] = "42601";
constexpr char kStateUndefinedFunction[] = "42883";
constexpr char kStateAmbiguousFunction[] = "42725";
constexpr char kStateWrongObjectType[] = "42809";
constexpr char kStateInvalidSchema[] = "3F000";

// The savepoint set right after a call whose transaction is held.
constexpr char kHeldSavepoint[] = "vesk_held";

// Every routine of a name: its kind, its arguments as "type:mode:class"
// (class: 'a' polymorphic, 'p' another pseudo type, 'c' refcursor or a
// domain over it, '-' anything else) and what its identity looks like.
// $1 is the schema (NULL: any routine visible on the search_path), $2 the
// name.  Aggregates and window functions come too, to be named when they
// are all that matches.
constexpr char kLookupSql[] =
    "SELECT n.nspname, p.proname, p.prokind, p.proretset, "
    "p.prorettype = 'pg_catalog.void'::pg_catalog.regtype, "
    "coalesce(rt.typtype = 'p' AND rt.typname IN ('anyelement', 'anynonarray', "
    "'anycompatible', 'anycompatiblenonarray') OR coalesce(nullif(rt.typbasetype, 0), "
    "p.prorettype) = 'pg_catalog.refcursor'::pg_catalog.regtype, false), "
    "coalesce((SELECT pg_catalog.string_agg(a.t::text || ':' || "
    "coalesce(p.proargmodes[a.i]::text, 'i') || ':' || CASE "
    "WHEN ty.typtype = 'p' AND ty.typname IN ('anyelement', 'anynonarray', "
    "'anycompatible', 'anycompatiblenonarray') THEN 'a' "
    "WHEN ty.typtype = 'p' THEN 'p' "
    "WHEN coalesce(nullif(ty.typbasetype, 0), a.t) = 'pg_catalog.refcursor'::pg_catalog.regtype "
    "THEN 'c' ELSE '-' END, ' ' ORDER BY a.i) "
    "FROM pg_catalog.unnest(coalesce(p.proallargtypes, p.proargtypes::pg_catalog.oid[])) "
    "WITH ORDINALITY AS a(t, i) LEFT JOIN pg_catalog.pg_type ty ON ty.oid = a.t), ''), "
    "pg_catalog.quote_ident(n.nspname) || '.' || pg_catalog.quote_ident(p.proname) || '(' || "
    "pg_catalog.pg_get_function_identity_arguments(p.oid) || ')' "
    "FROM pg_catalog.pg_proc p JOIN pg_catalog.pg_namespace n ON n.oid = p.pronamespace "
    "LEFT JOIN pg_catalog.pg_type rt ON rt.oid = p.prorettype "
    "WHERE p.proname = $2::text AND CASE WHEN $1::text IS NULL "
    "THEN pg_catalog.pg_function_is_visible(p.oid) ELSE n.nspname = $1::text END "
    "ORDER BY n.nspname, p.oid";

// The type a value bound under `code` is sent as where the argument names
// none (a polymorphic or "any" argument, which a value of unknown type
// cannot resolve); 0 leaves it to the server.
Oid type_of_code(const Value &v) {
  if (v.kind == Value::Null || v.kind == Value::Unset) return 0;
  switch (v.type) {
    case VESK_TYPE_BOOLEAN: return 16;
    case VESK_TYPE_TINYINT:
    case VESK_TYPE_SMALLINT: return 21;
    case VESK_TYPE_INTEGER: return 23;
    case VESK_TYPE_BIGINT: return 20;
    case VESK_TYPE_FLOAT: return 700;
    case VESK_TYPE_DOUBLE: return 701;
    case VESK_TYPE_NUMERIC: return 1700;
    case VESK_TYPE_DATE: return 1082;
    case VESK_TYPE_TIME: return 1083;
    case VESK_TYPE_TIME_TZ: return 1266;
    case VESK_TYPE_DATETIME:
    case VESK_TYPE_DATETIME_MS: return 1114;
    case VESK_TYPE_DATETIME_TZ: return 1184;
    case VESK_TYPE_VARCHAR:
    case VESK_TYPE_CHAR:
    case VESK_TYPE_NCHAR:
    case VESK_TYPE_TEXT:
    case VESK_TYPE_CLOB:
    case VESK_TYPE_CLOB_OLD: return 25;
    default: return 0;
  }
}

// The type a literal of the value would have in a statement, for a call the
// server resolves among overloads: an integer int4 when it fits, else int8;
// a real number numeric; a text unknown (the server prefers text for it).
Oid literal_type(const Value &v) {
  if (v.kind == Value::Int && v.type != VESK_TYPE_BOOLEAN)
    return v.i >= INT32_MIN && v.i <= INT32_MAX ? 23 : 20;
  if (v.kind == Value::Real) return 1700;
  if (v.kind == Value::Text && v.type != VESK_TYPE_NUMERIC && type_of_code(v) == 25) return 0;
  return type_of_code(v);
}

bool succeeded(const PGresult *res) {
  if (res == nullptr) return false;
  ExecStatusType st = PQresultStatus(res);
  return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
}

// A name part as the catalog keeps it: an unquoted part folded to lower
// case (ASCII letters, as the server folds them), either cut to the
// server's identifier length.
std::string catalog_name(const NamePart &part) {
  std::string s = part.text;
  if (!part.quoted)
    for (char &c : s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (s.size() > kMaxIdentifierBytes)
    s.resize(utf8_cut_length(s.data(), s.size(), kMaxIdentifierBytes));
  return s;
}

// The cache key of a statement: its name parts as written and its count.
std::string cache_key(const RoutineStatement &rs) {
  std::string key = std::to_string(rs.placeholders);
  for (const NamePart &part : rs.name) {
    key += part.quoted ? "\x01Q" : "\x01U";
    key += part.text;
  }
  return key;
}

// "1", "1 or 2", "0, 1 or 3".
std::string counts_text(std::vector<int> counts) {
  std::sort(counts.begin(), counts.end());
  counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
  std::string s;
  for (size_t i = 0; i < counts.size(); ++i) {
    if (i) s += i + 1 == counts.size() ? " or " : ", ";
    s += std::to_string(counts[i]);
  }
  return s;
}

// The arguments column of the lookup: "23:i:- 25:o:c".
bool read_args(const char *text, std::vector<RoutineArg> *args) {
  args->clear();
  const char *p = text;
  while (*p) {
    RoutineArg a;
    char *end = nullptr;
    unsigned long oid = std::strtoul(p, &end, 10);
    if (end == p || end[0] != ':' || end[1] == '\0' || end[2] != ':' || end[3] == '\0')
      return false;
    a.type = static_cast<Oid>(oid);
    a.mode = end[1];
    a.untyped = end[3] == 'a' || end[3] == 'p';
    a.may_be_cursor = end[3] == 'a' || end[3] == 'c';
    args->push_back(a);
    p = end + 4;
    if (*p == ' ') ++p;
  }
  return true;
}

// Functions returning one value, every argument an input.
bool all_plain_functions(const std::vector<RoutineInfo> &found) {
  for (const RoutineInfo &f : found) {
    if (f.procedure() || f.returns_set) return false;
    for (const RoutineArg &a : f.args)
      if (a.mode != 'i') return false;
  }
  return true;
}

bool truth(const PGresult *res, int row, int col) { return PQgetvalue(res, row, col)[0] == 't'; }

// Errors after which the routine the cache holds may no longer be there or
// no longer be what it was.
bool routine_gone(const PGresult *res) {
  const char *state = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
  if (state == nullptr) return false;
  return std::strcmp(state, kStateUndefinedFunction) == 0 ||
         std::strcmp(state, kStateWrongObjectType) == 0 ||
         std::strcmp(state, kStateInvalidSchema) == 0 ||
         std::strcmp(state, kStateAmbiguousFunction) == 0;
}

}  // namespace

bool RoutineInfo::may_return_cursor() const {
  if (!procedure() && outputs() == 0 && result_may_be_cursor) return true;
  for (const RoutineArg &a : args)
    if (a.returned() && a.may_be_cursor) return true;
  return false;
}

int RoutineInfo::outputs() const {
  int n = 0;
  for (const RoutineArg &a : args) n += a.returned() ? 1 : 0;
  return n;
}

const RoutineInfo *RoutineCache::find(const std::string &key) const {
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : &it->second;
}

void RoutineCache::put(const std::string &key, RoutineInfo info) {
  if (entries_.size() >= kMaxEntries && entries_.find(key) == entries_.end()) entries_.clear();
  entries_[key] = std::move(info);
}

bool HeldCursors::holds(const char *name) const {
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool HeldCursors::release(const char *name) {
  auto it = std::find(names.begin(), names.end(), name);
  if (it == names.end()) return false;
  names.erase(it);
  return true;
}

int PgConn::find_routine(const RoutineStatement &rs, const std::string &key, RoutineInfo *out) {
  if (const RoutineInfo *known = routines_.find(key)) {
    *out = *known;
    return VESK_OK;
  }
  const std::string shown = routine_display_name(rs);
  const bool qualified = rs.name.size() == 2;
  const std::string schema = qualified ? catalog_name(rs.name.front()) : std::string();
  const std::string name = catalog_name(rs.name.back());
  const char *values[2] = {qualified ? schema.c_str() : nullptr, name.c_str()};
  const Oid types[2] = {25, 25};
  PgResPtr res(blocking([&] {
    return PQexecParams(conn_.get(), kLookupSql, 2, types, values, nullptr, nullptr, 0);
  }));
  if (!succeeded(res.get())) return fail_result(res.get());

  const PGresult *r = res.get();
  std::vector<int> other_counts;  // of the routines of that name
  std::vector<RoutineInfo> found;
  bool aggregate = false;
  for (int row = 0; row < PQntuples(r); ++row) {
    RoutineInfo info;
    if (!read_args(PQgetvalue(r, row, 6), &info.args))
      return fail("routine " + shown + ": the catalog's argument list could not be read");
    const char kind = PQgetvalue(r, row, 2)[0];
    const int count = static_cast<int>(info.args.size());
    if (count != rs.placeholders) {
      if (kind == 'f' || kind == 'p') other_counts.push_back(count);
      continue;
    }
    if (kind != 'f' && kind != 'p') {
      aggregate = true;
      continue;
    }
    info.schema = PQgetvalue(r, row, 0);
    info.name = PQgetvalue(r, row, 1);
    info.kind = kind;
    info.returns_set = truth(r, row, 3);
    info.returns_void = truth(r, row, 4);
    info.result_may_be_cursor = truth(r, row, 5);
    info.signature = PQgetvalue(r, row, 7);
    found.push_back(std::move(info));
  }
  const std::string with = std::to_string(rs.placeholders) +
                           (rs.placeholders == 1 ? " argument" : " arguments");
  if (found.size() > 1 && all_plain_functions(found)) {
    // Overloads that differ only in their input types (upper(text) and
    // upper(anyrange); abs(int4) and abs(int8)): every one maps the
    // positions the same way, so the server picks by the values' types, as
    // it would for "select name(?)".
    RoutineInfo any = found.front();
    if (!qualified) any.schema.clear();  // resolved on the search_path
    for (RoutineArg &a : any.args) a.literal = true;
    for (const RoutineInfo &f : found) {
      any.result_may_be_cursor = any.result_may_be_cursor || f.result_may_be_cursor;
      any.returns_void = any.returns_void && f.returns_void;
    }
    found.assign(1, std::move(any));
  }
  if (found.size() == 1) {
    *out = found.front();
    routines_.put(key, std::move(found.front()));
    return VESK_OK;
  }
  if (found.size() > 1) {
    std::string list;
    for (size_t i = 0; i < found.size(); ++i) {
      if (i) list += i + 1 == found.size() ? " or " : ", ";
      list += found[i].signature;
    }
    return fail("routine " + shown + " with " + with + " is ambiguous: it may be " + list,
                kStateAmbiguousFunction);
  }
  if (aggregate)
    return fail(shown + " with " + with +
                    " is an aggregate or window function; a routine statement calls "
                    "procedures and functions",
                kStateWrongObjectType);
  if (other_counts.empty())
    return fail("routine " + shown + " does not exist" +
                    (qualified ? std::string() : std::string(" (on the search_path)")),
                kStateUndefinedFunction);
  return fail("routine " + shown + " does not take " + with + ": it takes " +
                  counts_text(other_counts),
              kStateUndefinedFunction);
}

int PgConn::end_held() {
  if (!held_.open) return VESK_OK;
  held_ = HeldCursors();
  if (PQtransactionStatus(conn_.get()) == PQTRANS_INERROR) {
    // Back to the state right after the call; a failed transaction would
    // answer COMMIT by rolling back without a word.
    ErrorSlot kept = *errors_;
    run_simple((std::string("ROLLBACK TO SAVEPOINT ") + kHeldSavepoint).c_str());
    *errors_ = kept;
    if (PQtransactionStatus(conn_.get()) == PQTRANS_INERROR) {
      run_simple("ROLLBACK");
      return fail("the transaction kept open for a routine's refcursors failed and was "
                  "rolled back",
                  "25P02");
    }
  }
  if (PQtransactionStatus(conn_.get()) == PQTRANS_IDLE) return VESK_OK;
  const int rc = run_control("COMMIT");
  if (rc < 0)
    errors_->text = "the transaction kept open for a routine's refcursors could not be "
                    "committed: " + errors_->text;
  return rc;
}

void PgConn::abandon_held() {
  ErrorSlot kept = *errors_;
  // end_held goes back to the savepoint first.  A commit that fails too is
  // told after the read's own failure.
  if (alive() && end_held() < 0) kept.text += "; " + errors_->text;
  held_ = HeldCursors();
  *errors_ = kept;
}

int PgConn::exec_routine(const char *stmt, ParamStore &params) {
  if (int rc = settle()) return rc;
  unprepare();  // only a prepare right after a run of the same text reuses it
  RoutineStatement rs;
  std::string err;
  if (!parse_routine_statement(stmt, &rs, &err)) return fail(err, kStateSyntax);
  const std::string shown = routine_display_name(rs);

  // The return value's place is after the arguments; no other value may
  // stand there.
  const OutputTarget *ret = params.return_target();
  if (ret != nullptr && ret->pos <= rs.placeholders)
    return fail("the return value is bound at position " + std::to_string(ret->pos) +
                    ", which is one of the routine's " + std::to_string(rs.placeholders) +
                    " arguments",
                kStateParamCount);
  for (int32_t pos = rs.placeholders + 1; pos <= static_cast<int32_t>(params.positional.size());
       ++pos) {
    if ((ret == nullptr || pos != ret->pos) && params.value(pos) != nullptr)
      return fail("parameter position " + std::to_string(pos) +
                      " is out of range: the statement has " + std::to_string(rs.placeholders) +
                      " placeholders",
                  kStateParamCount);
  }

  const std::string key = cache_key(rs);
  RoutineInfo r;
  if (int rc = find_routine(rs, key, &r)) return rc;
  if (r.returns_set)
    return fail("routine " + shown + " returns a set of rows, which a routine statement "
                    "cannot take: run it as a query with execute (\"select * from " +
                    shown + "(...)\")",
                kStateNotSupported);

  // The call, built from the catalog's names; the caller's text is never
  // part of it.
  const bool proc = r.procedure();
  const int outputs = r.outputs();
  std::string sql = proc ? "CALL " : outputs > 0 ? "SELECT * FROM " : "SELECT ";
  if (!r.schema.empty()) sql += quote_identifier(r.schema) + ".";
  sql += quote_identifier(r.name) + "(";
  std::vector<int> sent;  // the argument (from 0) of each value sent
  for (size_t k = 0; k < r.args.size(); ++k) {
    if (!proc && !r.args[k].sent_to_function()) continue;
    if (!sent.empty()) sql += ", ";
    // A VARIADIC array argument takes the array whole.
    if (r.args[k].mode == 'v' && r.args[k].type != kAnyOid) sql += "VARIADIC ";
    sent.push_back(static_cast<int>(k));
    sql += "$" + std::to_string(sent.size());
  }
  sql += ")";

  Value null_value;
  null_value.kind = Value::Null;
  args_.resize(sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    const RoutineArg &a = r.args[static_cast<size_t>(sent[i])];
    // An OUT argument of a procedure is not read: NULL stands for it.  A
    // position left unbound sends NULL too.
    const Value *v = a.mode == 'o' ? nullptr : params.value(sent[i] + 1);
    args_.set(i, v ? *v : null_value);
    // Texts go under the argument's declared type (so the call resolves to
    // this routine), or where it names none under the type of the bound
    // code; bytes stay bytea in binary form.
    if (args_.formats[i] == 0)
      args_.types[i] = a.literal ? (v ? literal_type(*v) : 0)
                       : !a.untyped ? a.type : v ? type_of_code(*v) : 0;
  }

  // In autocommit mode a refcursor's portal would be gone with the call's
  // own transaction: the call runs in one the library holds.
  const bool own = autocommit_ && !in_transaction() && r.may_return_cursor();
  if (own) {
    if (run_control("BEGIN") < 0) return VESK_ERROR;
  } else if (implicit_begin(sql) < 0) {
    return VESK_ERROR;
  }
  auto undo_own = [&] {
    if (!own || !alive() || PQtransactionStatus(conn_.get()) == PQTRANS_IDLE) return;
    ErrorSlot kept = *errors_;
    run_simple("ROLLBACK");
    *errors_ = kept;
  };

  PgResPtr res(blocking([&] {
    return PQexecParams(conn_.get(), sql.c_str(), args_.count(), args_.types.data(),
                        args_.values.data(), args_.lengths.data(), args_.formats.data(), 0);
  }));
  if (!succeeded(res.get())) {
    if (routine_gone(res.get())) routines_.drop(key);
    fail_result(res.get());
    undo_own();
    return VESK_ERROR;
  }
  const PGresult *out = res.get();
  const int expected = proc ? outputs : std::max(outputs, 1);
  if (PQnfields(out) != expected) {
    routines_.drop(key);
    fail("routine " + shown + " changed since this connection looked it up (" +
             std::to_string(PQnfields(out)) + " values came back, not " +
             std::to_string(expected) + "); call it again",
         kStateWrongObjectType);
    undo_own();
    return VESK_ERROR;
  }
  const bool row = PQntuples(out) > 0;

  // Write each value into its target: bytea as its bytes, all else as the
  // text the server sent.
  const char *state = kStateGeneral;
  auto write_cell = [&](const OutputTarget &t, int col) {
    if (col < 0 || !row || PQgetisnull(out, 0, col))
      return write_output(t, "", 0, true, &err, &state);
    const char *v = PQgetvalue(out, 0, col);
    const size_t n = static_cast<size_t>(PQgetlength(out, 0, col));
    if (PQftype(out, col) != kByteaOid) return write_output(t, v, n, false, &err, &state);
    size_t bn = 0;
    unsigned char *bytes = PQunescapeBytea(reinterpret_cast<const unsigned char *>(v), &bn);
    if (bytes == nullptr) {
      err = "parameter " + std::to_string(t.pos) + ": the returned bytea value could not be read";
      return false;
    }
    const bool ok = write_output(t, reinterpret_cast<const char *>(bytes), bn, false, &err, &state);
    PQfreemem(bytes);
    return ok;
  };
  bool written = true;
  int col = 0;
  for (size_t k = 0; k < r.args.size() && written; ++k) {
    const RoutineArg &a = r.args[k];
    const int at = a.returned() ? col++ : -1;
    const OutputTarget *t = params.target(static_cast<int32_t>(k) + 1);
    if (t == nullptr) continue;  // nobody takes it: dropped
    if (at >= 0) {
      written = write_cell(*t, at);
    } else if (t->direction == VESK_PARAM_OUT) {
      // An output bound at an argument that returns nothing gets NULL; an
      // input-output one keeps the value it sent.
      written = write_cell(*t, -1);
    }
  }
  if (written && ret != nullptr)
    written = write_cell(*ret, proc || r.returns_void ? -1 : 0);
  if (!written) {
    fail(err, state);
    undo_own();
    return VESK_ERROR;
  }

  if (!own) return VESK_OK;
  std::vector<std::string> cursors;
  for (int c = 0; row && c < PQnfields(out); ++c) {
    if (PQftype(out, c) != kRefcursorOid || PQgetisnull(out, 0, c)) continue;
    std::string name(PQgetvalue(out, 0, c), static_cast<size_t>(PQgetlength(out, 0, c)));
    if (std::find(cursors.begin(), cursors.end(), name) == cursors.end())
      cursors.push_back(std::move(name));
  }
  if (cursors.empty()) {
    const int rc = run_control("COMMIT");
    if (rc < 0) undo_own();
    return rc;
  }
  // Held until its portals are read: a failed read later goes back to
  // this savepoint, and the routine's own work still commits.
  if (!run_simple((std::string("SAVEPOINT ") + kHeldSavepoint).c_str())) {
    undo_own();
    return VESK_ERROR;
  }
  held_.open = true;
  held_.names = std::move(cursors);
  return VESK_OK;
}

}  // namespace pg
}  // namespace vesk
