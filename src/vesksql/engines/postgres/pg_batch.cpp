// cli_exec_batch on PostgreSQL, inside a transaction (or a savepoint of the
// caller's) so the batch is applied whole or not at all: a plain INSERT of
// parameters as one COPY of all the rows; any other statement prepared once
// and run for every row in pipeline mode, synchronised once per chunk.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/sql_scan.h"

#include "pg_conn.h"
#include "pg_drain.h"
#include "vesksql.h"

namespace vesk {
namespace pg {

namespace {

constexpr Oid kByteaOid = 17;

// The values of a chunk's rows, each zero-terminated where it is text (the
// server reads text parameters up to their zero).
struct ChunkValues {
  std::string arena;
  std::vector<size_t> offset;  // per row and column; npos for NULL
  std::vector<int> length;
  std::vector<int> format;
  std::vector<const char *> value;
};

void append_value(const ArrayColumn &col, int32_t row, ChunkValues *cv) {
  const int32_t len = col.length[static_cast<size_t>(row)];
  if (len < 0) {
    cv->offset.push_back(std::string::npos);
    cv->length.push_back(0);
    cv->format.push_back(0);
    return;
  }
  cv->offset.push_back(cv->arena.size());
  switch (col.kind) {
    case ArrayColumn::Int:
    case ArrayColumn::Real: {
      append_number(col, row, &cv->arena);
      cv->arena.push_back('\0');
      cv->length.push_back(0);
      cv->format.push_back(0);
      break;
    }
    case ArrayColumn::Text:
      cv->arena.append(col.arena, col.offset[static_cast<size_t>(row)], static_cast<size_t>(len));
      cv->arena.push_back('\0');
      cv->length.push_back(0);
      cv->format.push_back(0);
      break;
    default:  // bytes, in binary form
      cv->arena.append(col.arena, col.offset[static_cast<size_t>(row)], static_cast<size_t>(len));
      cv->length.push_back(len);
      cv->format.push_back(1);
      break;
  }
}


// A plain "INSERT INTO name [(columns)] VALUES ($1, ..., $n)", each value
// its own parameter in order, as the COPY that loads the same rows:
// "COPY name [(columns)] FROM STDIN".  False for any other form (a VALUES
// expression, ON CONFLICT, RETURNING, several rows, ...).
bool copy_form(const SqlStatement &st, std::string *copy_sql) {
  const char *text = st.text.c_str();
  const char *p = skip_space(text);
  const char *e = skip_token(p);
  if (!token_is(p, e, "INSERT")) return false;
  p = skip_space(e);
  e = skip_token(p);
  if (!token_is(p, e, "INTO")) return false;
  const char *name_start = skip_space(e);
  p = name_start;
  // The table: words, quoted names and dots up to the column list (or to
  // VALUES, for all the table's columns).
  const char *name_end = nullptr;
  while (*p && *p != '(') {
    e = skip_token(p);
    if (token_is(p, e, "VALUES")) {
      name_end = p;
      break;
    }
    if (token_is(p, e, "AS") || token_is(p, e, "DEFAULT") || token_is(p, e, "SELECT"))
      return false;
    p = skip_space(e);
  }
  if (name_end == nullptr) name_end = p;
  if (*name_end == '\0' || name_end == name_start) return false;
  const char *cols_start = name_end, *cols_end = name_end;
  if (*p == '(') {
    int depth = 0;
    for (;;) {
      if (!*p) return false;
      e = skip_token(p);
      if (*p == '(') ++depth;
      else if (*p == ')' && --depth == 0) break;
      p = skip_space(e);
    }
    cols_end = e;
    p = skip_space(e);
  }
  e = skip_token(p);
  if (!token_is(p, e, "VALUES")) return false;
  p = skip_space(e);
  if (*p != '(') return false;
  p = skip_space(p + 1);
  for (size_t i = 0; i < st.params.size(); ++i) {
    const std::string want = "$" + std::to_string(i + 1);
    if (std::strncmp(p, want.c_str(), want.size()) != 0) return false;
    p = skip_space(p + want.size());
    if (*p == ',' && i + 1 < st.params.size()) {
      p = skip_space(p + 1);
    } else if (!(*p == ')' && i + 1 == st.params.size())) {
      return false;
    }
  }
  if (*p != ')') return false;
  p = skip_space(p + 1);
  while (*p == ';') p = skip_space(p + 1);
  if (*p) return false;
  copy_sql->assign("COPY ");
  copy_sql->append(name_start, static_cast<size_t>(name_end - name_start));
  copy_sql->push_back(' ');
  copy_sql->append(cols_start, static_cast<size_t>(cols_end - cols_start));
  copy_sql->append(" FROM STDIN");
  return true;
}

// One value in COPY's text form, appended to a line.
void append_copy_value(const ArrayColumn &col, int32_t row, std::string *line) {
  static const char kHex[] = "0123456789abcdef";
  const int32_t len = col.length[static_cast<size_t>(row)];
  if (len < 0) {
    line->append("\\N");
    return;
  }
  switch (col.kind) {
    case ArrayColumn::Int:
    case ArrayColumn::Real:
      append_number(col, row, line);
      break;
    case ArrayColumn::Text: {
      const char *p = col.arena.data() + col.offset[static_cast<size_t>(row)];
      for (int32_t i = 0; i < len; ++i) {
        char ch = p[i];
        switch (ch) {
          case '\\': line->append("\\\\"); break;
          case '\t': line->append("\\t"); break;
          case '\n': line->append("\\n"); break;
          case '\r': line->append("\\r"); break;
          default: line->push_back(ch); break;
        }
      }
      break;
    }
    default: {  // bytes: bytea's hex input, its backslash escaped
      const unsigned char *p = reinterpret_cast<const unsigned char *>(col.arena.data()) +
                               col.offset[static_cast<size_t>(row)];
      line->append("\\\\x");
      for (int32_t i = 0; i < len; ++i) {
        line->push_back(kHex[p[i] >> 4]);
        line->push_back(kHex[p[i] & 15]);
      }
      break;
    }
  }
}

// The row a COPY failure names ("COPY t, line 3, column b: ..."), from 0;
// -1 when it names none.
int32_t copy_failing_row(const PGresult *res) {
  const char *context = res ? PQresultErrorField(res, PG_DIAG_CONTEXT) : nullptr;
  const char *line = context ? std::strstr(context, "line ") : nullptr;
  if (line == nullptr) return -1;
  long n = std::strtol(line + 5, nullptr, 10);
  return n >= 1 && n <= INT32_MAX ? static_cast<int32_t>(n - 1) : -1;
}

}  // namespace

// The rows as one COPY: built and sent a chunk at a time.
bool PgConn::batch_by_copy(const std::string &copy_sql, const SqlStatement &batch, int32_t rows,
                           const ArrayStore &arrays, int32_t *failing_row, PgResPtr *failure) {
  constexpr size_t kChunkBytes = 1 << 16;
  return blocking([&] {
    PgResPtr started(PQexec(conn_.get(), copy_sql.c_str()));
    if (PQresultStatus(started.get()) != PGRES_COPY_IN) {
      *failure = std::move(started);
      return false;
    }
    std::string chunk;
    chunk.reserve(kChunkBytes + 4096);
    bool ok = true;
    for (int32_t r = 0; ok && r < rows; ++r) {
      for (size_t i = 0; i < batch.params.size(); ++i) {
        if (i) chunk.push_back('\t');
        append_copy_value(arrays.columns[static_cast<size_t>(batch.params[i].position)], r, &chunk);
      }
      chunk.push_back('\n');
      if (chunk.size() >= kChunkBytes || r + 1 == rows) {
        ok = PQputCopyData(conn_.get(), chunk.data(), static_cast<int>(chunk.size())) == 1;
        chunk.clear();
      }
    }
    if (PQputCopyEnd(conn_.get(), ok ? nullptr : "the batch could not be sent") != 1) ok = false;
    PgResPtr done(PQgetResult(conn_.get()));
    discard_results(conn_.get());
    if (PQresultStatus(done.get()) != PGRES_COMMAND_OK) {
      *failing_row = copy_failing_row(done.get());
      *failure = std::move(done);
      return false;
    }
    return ok;
  });
}

// The rows through the statement prepared for this batch, pipelined and
// synchronised once per chunk.
bool PgConn::batch_by_pipeline(const SqlStatement &batch, int32_t rows, const ArrayStore &arrays,
                               int32_t *failing_row, PgResPtr *failure) {
  std::vector<Oid> types(batch.params.size(), 0);
  for (size_t i = 0; i < batch.params.size(); ++i)
    if (arrays.columns[static_cast<size_t>(batch.params[i].position)].kind == ArrayColumn::Blob)
      types[i] = kByteaOid;
  drop_released_statements();
  const std::string name = next_statement_name();
  PgResPtr prepared(blocking([&] {
    return PQprepare(conn_.get(), name.c_str(), batch.text.c_str(),
                     static_cast<int>(types.size()), types.data());
  }));
  if (PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) {
    *failure = std::move(prepared);
    return false;
  }
  // Prepared for this batch alone (its parameter types are inferred from
  // the tables as they are now); given back with the next prepare.
  released_.push_back(name);
  const size_t n = batch.params.size();
  ChunkValues cv;
  return blocking([&] {
    if (!PQenterPipelineMode(conn_.get())) return false;
    bool ok = true;
    for (int32_t start = 0; ok && start < rows && *failing_row < 0; start += kPipelineChunkRows) {
      const int32_t end = rows - start < kPipelineChunkRows ? rows : start + kPipelineChunkRows;
      cv.arena.clear();
      cv.offset.clear();
      cv.length.clear();
      cv.format.clear();
      for (int32_t r = start; r < end; ++r)
        for (const ParamRef &ref : batch.params)
          append_value(arrays.columns[static_cast<size_t>(ref.position)], r, &cv);
      cv.value.resize(cv.offset.size());
      for (size_t i = 0; i < cv.offset.size(); ++i)
        cv.value[i] = cv.offset[i] == std::string::npos ? nullptr : cv.arena.data() + cv.offset[i];
      for (int32_t r = start; ok && r < end; ++r) {
        size_t at = static_cast<size_t>(r - start) * n;
        ok = PQsendQueryPrepared(conn_.get(), name.c_str(), static_cast<int>(n),
                                 cv.value.data() + at, cv.length.data() + at,
                                 cv.format.data() + at, 0) == 1;
      }
      ok = ok && PQpipelineSync(conn_.get()) == 1;
      if (!ok) break;
      // One result (then NULL) per row, then the synchronisation point.
      for (int32_t r = start; r < end; ++r) {
        PgResPtr res(PQgetResult(conn_.get()));
        if (!res) {
          ok = false;
          break;
        }
        if (PQresultStatus(res.get()) == PGRES_FATAL_ERROR && *failing_row < 0) {
          *failing_row = r;
          *failure = std::move(res);
        }
        discard_results(conn_.get());
      }
      if (!ok) break;
      PgResPtr sync(PQgetResult(conn_.get()));
      ok = sync && PQresultStatus(sync.get()) == PGRES_PIPELINE_SYNC;
    }
    PQexitPipelineMode(conn_.get());
    return ok && *failing_row < 0;
  });
}

int PgConn::exec_batch(const char *sql, int32_t rows, const ArrayStore &arrays) {
  if (int rc = settle()) return rc;
  unprepare();
  std::vector<SqlStatement> stmts;
  std::string err;
  if (!split_statements(sql, &stmts, &err)) return fail(err);
  if (stmts.size() != 1) return fail("exec_batch: the text must hold exactly one statement");
  if (int rc = refuse_client_copy(stmts)) return rc;
  const SqlStatement &batch = stmts.front();
  for (const ParamRef &r : batch.params) {
    if (r.position < 0)
      return fail("exec_batch: columns are bound by position; the statement names " + r.name,
                  kStateParamCount);
    size_t c = static_cast<size_t>(r.position);
    if (c >= arrays.columns.size() || !arrays.bound[c])
      return fail("no column is bound for parameter " + std::to_string(c + 1), kStateParamCount);
  }
  if (rows == 0) return VESK_OK;
  // Statements given back by earlier calls go now, while no transaction is
  // open: the batch's own transaction would hold them back again, and a
  // connection that runs batch after batch would keep every one of them.
  drop_released_statements();
  if (implicit_begin(batch.text) < 0) return VESK_ERROR;
  const bool own = !in_transaction();
  if (run_control(own ? "BEGIN" : "SAVEPOINT vesk_batch") < 0) return VESK_ERROR;

  int32_t failing_row = -1;
  PgResPtr failure;
  std::string copy_sql;
  bool ok;
  if (copy_form(batch, &copy_sql)) {
    ok = batch_by_copy(copy_sql, batch, rows, arrays, &failing_row, &failure);
    // A target COPY cannot load (a view, a table with rules) or whose
    // columns the statement does not list in full (COPY's "missing data
    // for column") takes the rows one statement each instead.
    const char *state = failure ? PQresultErrorField(failure.get(), PG_DIAG_SQLSTATE) : nullptr;
    if (!ok && state && (std::strcmp(state, "42809") == 0 || std::strcmp(state, "22P04") == 0) &&
        alive()) {
      failure.reset();
      failing_row = -1;
      bool restarted = run_simple(own ? "ROLLBACK" : "ROLLBACK TO SAVEPOINT vesk_batch") &&
                       (own ? run_simple("BEGIN") : true);
      ok = restarted && batch_by_pipeline(batch, rows, arrays, &failing_row, &failure);
    }
  } else {
    ok = batch_by_pipeline(batch, rows, arrays, &failing_row, &failure);
  }
  if (!ok) {
    fail_result(failure.get());
    // A row is named only when it failed; a connection that went away in
    // the middle of the rows is no row's fault.
    if (failing_row >= 0 && alive())
      errors_->text = "row " + std::to_string(failing_row + 1) + ": " + errors_->text;
    ErrorSlot kept = *errors_;
    if (alive()) {
      run_simple(own ? "ROLLBACK" : "ROLLBACK TO SAVEPOINT vesk_batch");
      if (!own) run_simple("RELEASE SAVEPOINT vesk_batch");
    }
    *errors_ = kept;
    return VESK_ERROR;
  }
  return run_control(own ? "COMMIT" : "RELEASE SAVEPOINT vesk_batch");
}

}  // namespace pg
}  // namespace vesk
