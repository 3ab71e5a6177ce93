#include "pg_stream.h"

#include <cstring>

#include "core/column_lookup.h"
#include "core/text_util.h"

namespace vesk {
namespace pg {

void Stream::pull(size_t max) {
  if (!attached()) return;
  blocking([&] {
    for (size_t n = 0; max == 0 || n < max; ++n) {
      PgResPtr r(PQgetResult(conn));
      if (!r) {  // the end of the query's results
        conn = nullptr;
        return;
      }
      switch (PQresultStatus(r.get())) {
        case PGRES_SINGLE_TUPLE:
          rows.push_back(std::move(r));
          break;
        case PGRES_TUPLES_OK:  // the end of the rows; NULL follows
          break;
        default: {
          const char *primary = PQresultErrorField(r.get(), PG_DIAG_MESSAGE_PRIMARY);
          const char *state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
          failure = primary ? primary : trimmed_message(PQresultErrorMessage(r.get()));
          if (failure.empty()) failure = trimmed_message(PQerrorMessage(conn));
          failure_state = (state && std::strlen(state) == 5) ? state : "08006";
          while (PGresult *extra = PQgetResult(conn)) PQclear(extra);
          conn = nullptr;
          return;
        }
      }
    }
  });
}

StreamPtr open_stream(PGconn *conn, PgResPtr first) {
  auto s = std::make_shared<Stream>();
  const int n = PQnfields(first.get());
  s->cols.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) s->cols.push_back(describe_column(first.get(), i));
  s->rows.push_back(std::move(first));
  s->conn = conn;
  return s;
}

void drain(const StreamPtr &stream, bool keep) {
  if (!stream || !stream->attached()) return;
  if (keep) {
    stream->pull(0);
    return;
  }
  // Nobody reads the rows: read them off the connection and drop them.
  PGconn *conn = stream->conn;
  stream->conn = nullptr;
  blocking([&] {
    while (PGresult *r = PQgetResult(conn)) PQclear(r);
  });
  stream->rows.clear();
}

Counters PgStreamResult::counters() const {
  Counters k;
  k.rowcount = -1;
  return k;
}

int PgStreamResult::fail(const std::string &text, const char *state) {
  errors_->set(text, state);
  return VESK_ERROR;
}

int PgStreamResult::fetch_row() {
  row_.reset();
  if (stream_->rows.empty()) stream_->pull(kStreamBatchRows);
  if (stream_->rows.empty()) {
    if (!stream_->failure.empty()) {
      std::string text;
      text.swap(stream_->failure);
      return fail(text, stream_->failure_state.c_str());
    }
    return VESK_NO_DATA;
  }
  row_ = std::move(stream_->rows.front());
  stream_->rows.pop_front();
  const int n = static_cast<int>(stream_->cols.size());
  cells_.resize(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    Cell &c = cells_[static_cast<size_t>(i)];
    c.null = PQgetisnull(row_.get(), 0, i) != 0;
    c.value = PQgetvalue(row_.get(), 0, i);
    c.length = PQgetlength(row_.get(), 0, i);
  }
  return VESK_OK;
}

const PgCol *PgStreamResult::col_info(int32_t col) const {
  if (col < 1 || static_cast<size_t>(col) > stream_->cols.size()) return nullptr;
  return &stream_->cols[static_cast<size_t>(col - 1)];
}

const std::string *PgStreamResult::column_name(int32_t col) const {
  const PgCol *c = col_info(col);
  return c ? &c->name : nullptr;
}

int PgStreamResult::column_type(int32_t col, int32_t *type) {
  const PgCol *c = col_info(col);
  if (c == nullptr) return VESK_ERROR;
  const Cell *cell = row_ ? &cells_[static_cast<size_t>(col - 1)] : nullptr;
  if (cell != nullptr && !cell->null) {
    *type = cell_code(*c, cell->value, cell->length);
  } else {
    *type = c->code;
  }
  return VESK_OK;
}

int PgStreamResult::column_size(int32_t col, int32_t *size) {
  int32_t code = 0;
  if (column_type(col, &code) < 0) return VESK_ERROR;
  *size = cell_size(*col_info(col), code);
  return VESK_OK;
}

int PgStreamResult::column_index(const char *name) const {
  return column_index_by_name(stream_->cols, name);
}

int PgStreamResult::get_field(int32_t col, int32_t type, void *buf, int32_t cap, int32_t *len) {
  const PgCol *c = col_info(col);
  if (c == nullptr || !row_) {
    if (len) *len = VESK_NULL_LENGTH;
    return fail(c == nullptr ? "get_field: no such column" : "get_field: no current row",
                kStateGeneral);
  }
  std::string err;
  const Cell &cell = cells_[static_cast<size_t>(col - 1)];
  int rc = deliver(*c, cell.value, cell.length, cell.null, type, buf, cap, len, &err);
  if (rc < 0) return fail(err, kStateGeneral);
  return rc;
}

}  // namespace pg
}  // namespace vesk
