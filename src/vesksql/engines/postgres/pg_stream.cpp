#include "pg_stream.h"

#include <cstring>

#include "core/column_lookup.h"
#include "core/text_util.h"
#include "pg_drain.h"

namespace vesk {
namespace pg {

void Stream::fail_with(PGresult *r) {
  const char *primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  const char *state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  failure = primary ? primary : r ? trimmed_message(PQresultErrorMessage(r)) : std::string();
  if (failure.empty()) failure = trimmed_message(PQerrorMessage(conn));
  failure_state = (state && std::strlen(state) == 5) ? state : "08006";
  PGconn *c = conn;
  blocking([&] { discard_results(c); });
  conn = nullptr;
}

PgResPtr Stream::read_row() {
  for (;;) {
    // A row libpq holds already is parsed without a wait; only a read from
    // the socket is one.
    PgResPtr r(PQisBusy(conn) ? blocking([&] { return PQgetResult(conn); }) : PQgetResult(conn));
    if (!r) {  // the end of the query's results
      conn = nullptr;
      return nullptr;
    }
    switch (PQresultStatus(r.get())) {
      case PGRES_SINGLE_TUPLE:
        return r;
      case PGRES_TUPLES_OK:  // the end of the rows; NULL follows
        continue;
      default:
        fail_with(r.get());
        return nullptr;
    }
  }
}

PgResPtr Stream::next_row() {
  if (!rows.empty()) {
    PgResPtr r = std::move(rows.front());
    rows.pop_front();
    return r;
  }
  return attached() ? read_row() : nullptr;
}

void Stream::pull_all() {
  while (attached()) {
    PgResPtr r = read_row();
    if (r) rows.push_back(std::move(r));
  }
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
    stream->pull_all();
    return;
  }
  // Nobody reads the rows: read them off the connection and drop them.
  PGconn *conn = stream->conn;
  stream->conn = nullptr;
  blocking([&] { discard_results(conn); });
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
  // The last row goes first: its memory serves the next.
  at_row_ = false;
  row_.reset();
  row_ = stream_->next_row();
  if (!row_) {
    if (!stream_->failure.empty()) {
      std::string text;
      text.swap(stream_->failure);
      return fail(text, stream_->failure_state.c_str());
    }
    return VESK_NO_DATA;
  }
  const int n = static_cast<int>(stream_->cols.size());
  cells_.resize(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    Cell &c = cells_[static_cast<size_t>(i)];
    c.value = PQgetvalue(row_.get(), 0, i);
    c.length = PQgetlength(row_.get(), 0, i);
    // A null's length is 0: only an empty value needs the question.
    c.null = c.length == 0 && PQgetisnull(row_.get(), 0, i) != 0;
  }
  at_row_ = true;
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
  const Cell *cell = at_row_ ? &cells_[static_cast<size_t>(col - 1)] : nullptr;
  *type = (cell != nullptr && !cell->null) ? cell_code(*c, cell->value, cell->length) : c->code;
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
  if (at_row_ && col >= 1 && static_cast<size_t>(col) <= cells_.size()) {
    const Cell &cell = cells_[static_cast<size_t>(col - 1)];
    const int rc = deliver_quick(cell.value, cell.length, cell.null, type, buf, cap, len);
    if (rc != kNotQuick) return rc;
  }
  const PgCol *c = col_info(col);
  if (c == nullptr || !at_row_) {
    if (len) *len = VESK_NULL_LENGTH;
    return fail(c == nullptr ? "get_field: no such column" : "get_field: no current row",
                kStateGeneral);
  }
  const Cell &cell = cells_[static_cast<size_t>(col - 1)];
  int rc = deliver(*c, cell.value, cell.length, cell.null, type, buf, cap, len, &err_);
  if (rc < 0) return fail(err_, kStateGeneral);
  return rc;
}

}  // namespace pg
}  // namespace vesk
