// cli_exec_batch on PostgreSQL: the statement prepared once, every row sent
// in pipeline mode and synchronised once per chunk of rows, inside a
// transaction (or a savepoint of the caller's) so the batch is applied
// whole or not at all.
#include <cstdio>
#include <cstring>

#include "pg_conn.h"
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
      Value v;
      v.kind = col.kind == ArrayColumn::Int ? Value::Int : Value::Real;
      if (col.kind == ArrayColumn::Int) v.i = col.ints[static_cast<size_t>(row)];
      else v.d = col.reals[static_cast<size_t>(row)];
      std::string text;
      number_text(v, &text);
      cv->arena.append(text);
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

}  // namespace

int PgConn::exec_batch(const char *sql, int32_t rows, const ArrayStore &arrays) {
  unprepare();
  std::vector<SqlStatement> stmts;
  std::string err;
  if (!split_statements(sql, &stmts, &err)) return fail(err);
  if (stmts.size() != 1) return fail("exec_batch: the text must hold exactly one statement");
  const SqlStatement &batch = stmts.front();
  std::vector<Oid> types(batch.params.size(), 0);
  for (size_t i = 0; i < batch.params.size(); ++i) {
    const ParamRef &r = batch.params[i];
    if (r.position < 0)
      return fail("exec_batch: columns are bound by position; the statement names " + r.name,
                  kStateParamCount);
    size_t c = static_cast<size_t>(r.position);
    if (c >= arrays.columns.size() || !arrays.bound[c])
      return fail("no column is bound for parameter " + std::to_string(c + 1), kStateParamCount);
    if (arrays.columns[c].kind == ArrayColumn::Blob) types[i] = kByteaOid;
  }
  if (rows == 0) return VESK_OK;
  if (implicit_begin(batch.text) < 0) return VESK_ERROR;
  const bool own = !in_transaction();
  if (run_control(own ? "BEGIN" : "SAVEPOINT vesk_batch") < 0) return VESK_ERROR;
  // Prepared for this batch alone (its parameter types are inferred from
  // the tables as they are now) and given back with the next prepare.
  drop_released_statements();
  const std::string name = next_statement_name();
  PgResPtr prepared(blocking([&] {
    return PQprepare(conn_.get(), name.c_str(), batch.text.c_str(),
                     static_cast<int>(types.size()), types.data());
  }));
  if (PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) {
    fail_result(prepared.get());
    ErrorSlot kept = *errors_;
    run_simple(own ? "ROLLBACK" : "ROLLBACK TO SAVEPOINT vesk_batch");
    if (!own) run_simple("RELEASE SAVEPOINT vesk_batch");
    *errors_ = kept;
    return VESK_ERROR;
  }
  released_.push_back(name);

  const size_t n = batch.params.size();
  ChunkValues cv;
  int32_t failing_row = -1;
  PgResPtr failure;
  bool sent = blocking([&] {
    if (!PQenterPipelineMode(conn_.get())) return false;
    bool ok = true;
    for (int32_t start = 0; ok && start < rows && failing_row < 0; start += kPipelineChunkRows) {
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
        if (PQresultStatus(res.get()) == PGRES_FATAL_ERROR && failing_row < 0) {
          failing_row = r;
          failure = std::move(res);
        }
        while (PGresult *extra = PQgetResult(conn_.get())) PQclear(extra);
      }
      if (!ok) break;
      PgResPtr sync(PQgetResult(conn_.get()));
      ok = sync && PQresultStatus(sync.get()) == PGRES_PIPELINE_SYNC;
    }
    PQexitPipelineMode(conn_.get());
    return ok;
  });
  if (!sent || failing_row >= 0) {
    ErrorSlot kept;
    if (failing_row >= 0) {
      fail_result(failure.get());
      errors_->text = "row " + std::to_string(failing_row + 1) + ": " + errors_->text;
    } else {
      fail_result(nullptr);
    }
    kept = *errors_;
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
