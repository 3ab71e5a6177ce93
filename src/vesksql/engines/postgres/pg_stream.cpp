#include "pg_stream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/column_lookup.h"
#include "core/text_util.h"

namespace vesk {
namespace pg {

namespace {

// COPY's escapes undone in place; returns the new length.  The server
// writes only \\ \t \n \r \b \f \v (and \N, a whole field, for NULL); any
// other escaped byte stands for itself, as when COPY reads the text back.
int32_t unescape(char *s, int32_t n) {
  char *w = s;
  const char *r = s, *e = s + n;
  while (r < e) {
    if (*r != '\\' || r + 1 >= e) {
      *w++ = *r++;
      continue;
    }
    const char c = r[1];
    r += 2;
    switch (c) {
      case 'b': *w++ = '\b'; break;
      case 'f': *w++ = '\f'; break;
      case 'n': *w++ = '\n'; break;
      case 'r': *w++ = '\r'; break;
      case 't': *w++ = '\t'; break;
      case 'v': *w++ = '\v'; break;
      default: *w++ = c; break;
    }
  }
  return static_cast<int32_t>(w - s);
}

// The first tab or backslash in [p, end), or end: eight bytes at a time.
const char *find_tab_or_backslash(const char *p, const char *end) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  constexpr uint64_t kTabs = kOnes * '\t', kBackslashes = kOnes * '\\';
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    const uint64_t a = w ^ kTabs, b = w ^ kBackslashes;
    // The lowest marked byte is the first that matched (marks above it may
    // be false).
    const uint64_t hit = ((a - kOnes) & ~a & kHighs) | ((b - kOnes) & ~b & kHighs);
    if (hit != 0) return p + (__builtin_ctzll(hit) >> 3);
    p += 8;
  }
#endif
  while (p < end && *p != '\t' && *p != '\\') ++p;
  return p;
}

}  // namespace

bool is_copy_text(const CopyTexts &texts, const std::string &text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

void remember_copy_text(CopyTexts *texts, const std::string &text) {
  if (is_copy_text(*texts, text)) return;
  if (texts->size() >= kCopyTextsKept) texts->erase(texts->begin());
  texts->push_back(text);
}

void Stream::fail_with(PGresult *r) {
  const char *primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  const char *state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  failure = primary ? primary : r ? trimmed_message(PQresultErrorMessage(r)) : std::string();
  if (failure.empty()) failure = trimmed_message(PQerrorMessage(conn));
  failure_state = (state && std::strlen(state) == 5) ? state : "08006";
  PGconn *c = conn;
  blocking([&] {
    while (PGresult *extra = PQgetResult(c)) PQclear(extra);
  });
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
        if (copy_texts && ++count == kCopyAfterRows) remember_copy_text(copy_texts.get(), text);
        return r;
      case PGRES_TUPLES_OK:  // the end of the rows; NULL follows
        continue;
      default:
        fail_with(r.get());
        return nullptr;
    }
  }
}

void Stream::finish_copy() {
  PGconn *c = conn;
  PgResPtr r(blocking([&] { return PQgetResult(c); }));
  if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
    fail_with(r.get());
    return;
  }
  blocking([&] {
    while (PGresult *extra = PQgetResult(c)) PQclear(extra);
  });
  conn = nullptr;
}

bool Stream::read_line(CopyLine *line) {
  char *buf = nullptr;
  // A line libpq holds already is taken without a wait.
  int n = PQgetCopyData(conn, &buf, 1);
  if (n == 0) n = blocking([&] { return PQgetCopyData(conn, &buf, 0); });
  if (n > 0) {
    line->data.reset(buf);
    line->length = buf[n - 1] == '\n' ? n - 1 : n;
    return true;
  }
  finish_copy();  // the end of the lines, or a failure: the closing result tells
  return false;
}

PgResPtr Stream::next_row() {
  if (!rows.empty()) {
    PgResPtr r = std::move(rows.front());
    rows.pop_front();
    return r;
  }
  return attached() ? read_row() : nullptr;
}

bool Stream::next_line(CopyLine *line) {
  if (!lines.empty()) {
    *line = std::move(lines.front());
    lines.pop_front();
    return true;
  }
  return attached() && read_line(line);
}

void Stream::pull_all() {
  while (attached()) {
    if (copy) {
      CopyLine l;
      if (read_line(&l)) lines.push_back(std::move(l));
    } else {
      PgResPtr r = read_row();
      if (r) rows.push_back(std::move(r));
    }
  }
}

StreamPtr open_stream(PGconn *conn, PgResPtr first) {
  auto s = std::make_shared<Stream>();
  const int n = PQnfields(first.get());
  s->cols.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) s->cols.push_back(describe_column(first.get(), i));
  s->rows.push_back(std::move(first));
  s->count = 1;
  s->conn = conn;
  return s;
}

StreamPtr open_copy_stream(PGconn *conn, const PGresult *described) {
  auto s = std::make_shared<Stream>();
  const int n = PQnfields(described);
  s->cols.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) s->cols.push_back(describe_column(described, i));
  s->copy = true;
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
  blocking([&] {
    if (stream->copy) {
      char *buf = nullptr;
      while (PQgetCopyData(conn, &buf, 0) > 0) PQfreemem(buf);
    }
    while (PGresult *r = PQgetResult(conn)) PQclear(r);
  });
  stream->rows.clear();
  stream->lines.clear();
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

bool PgStreamResult::split_line() {
  char *p = line_.data.get();
  char *const end = p + line_.length;
  const size_t n = stream_->cols.size();
  cells_.resize(n);
  for (size_t i = 0; i < n; ++i) {
    char *start = p;
    bool escaped = false;
    for (;;) {
      p = const_cast<char *>(find_tab_or_backslash(p, end));
      if (p == end || *p == '\t') break;
      escaped = true;  // a backslash: the byte after it is never the tab between fields
      p += (end - p >= 2) ? 2 : 1;
    }
    int32_t len = static_cast<int32_t>(p - start);
    Cell &c = cells_[i];
    if (len == 2 && start[0] == '\\' && start[1] == 'N') {
      c.value = "";
      c.length = 0;
      c.null = true;
    } else {
      if (escaped) len = unescape(start, len);
      c.value = start;
      c.length = len;
      c.null = false;
    }
    if (i + 1 < n) {
      if (p == end) return false;
      ++p;  // the tab
    }
  }
  return p == end;
}

int PgStreamResult::fetch_row() {
  // The last row goes first: its memory serves the next.
  at_row_ = false;
  row_.reset();
  line_.data.reset();
  bool got;
  if (stream_->copy) {
    got = stream_->next_line(&line_);
  } else {
    row_ = stream_->next_row();
    got = static_cast<bool>(row_);
  }
  if (!got) {
    if (!stream_->failure.empty()) {
      std::string text;
      text.swap(stream_->failure);
      return fail(text, stream_->failure_state.c_str());
    }
    return VESK_NO_DATA;
  }
  if (stream_->copy) {
    if (!split_line()) {
      line_.data.reset();
      return fail("the server sent a row of another width than its columns", "08P01");
    }
  } else {
    const int n = static_cast<int>(stream_->cols.size());
    cells_.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      Cell &c = cells_[static_cast<size_t>(i)];
      c.value = PQgetvalue(row_.get(), 0, i);
      c.length = PQgetlength(row_.get(), 0, i);
      // A null's length is 0: only an empty value needs the question.
      c.null = c.length == 0 && PQgetisnull(row_.get(), 0, i) != 0;
    }
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
