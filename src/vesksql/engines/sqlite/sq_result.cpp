#include "sq_result.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/datetime_text.h"
#include "core/column_lookup.h"
#include "core/deliver.h"
#include "core/handles.h"
#include "core/text_util.h"

namespace vesk {
namespace sq {

namespace {

Cell stmt_cell(sqlite3_stmt *st, int i) {
  Cell c;
  c.storage = sqlite3_column_type(st, i);
  switch (c.storage) {
    case SQLITE_INTEGER: c.i = sqlite3_column_int64(st, i); break;
    case SQLITE_FLOAT: c.d = sqlite3_column_double(st, i); break;
    case SQLITE_TEXT:
      c.p = reinterpret_cast<const char *>(sqlite3_column_text(st, i));
      c.n = sqlite3_column_bytes(st, i);
      break;
    case SQLITE_BLOB:
      c.p = static_cast<const char *>(sqlite3_column_blob(st, i));
      c.n = sqlite3_column_bytes(st, i);
      break;
    default: break;
  }
  return c;
}

class StreamSet : public RowSet {
 public:
  StreamSet(StmtPtr box, bool has_row)
      : box_(std::move(box)), generation_(box_->generation), pending_(has_row), done_(!has_row) {
    cols = columns_of(box_->raw, has_row);
  }
  int advance(std::string *err) override {
    if (box_->raw == nullptr || !box_->db->open()) {
      *err = "the connection of this result is closed";
      failure_state = kStateNoConnection;
      return VESK_ERROR;
    }
    if (box_->generation != generation_) {
      *err = "the statement of this result has been run again";
      failure_state = kStateGeneral;
      return VESK_ERROR;
    }
    if (pending_) {
      pending_ = false;
      return VESK_OK;
    }
    if (done_) return VESK_NO_DATA;
    int rc = sqlite3_step(box_->raw);
    if (rc == SQLITE_ROW) return VESK_OK;
    done_ = true;
    if (rc == SQLITE_DONE) {
      sqlite3_reset(box_->raw);  // ends the read as soon as the rows are read
      return VESK_NO_DATA;
    }
    *err = sqlite3_errmsg(box_->db->db);
    failure_state = sqlstate_of(box_->db->db);
    sqlite3_reset(box_->raw);
    return VESK_ERROR;
  }
  Cell cell(int idx) const override { return stmt_cell(box_->raw, idx); }
  bool stale() const override {
    return box_->raw == nullptr || !box_->db->open() || box_->generation != generation_;
  }

 private:
  StmtPtr box_;
  uint64_t generation_;
  bool pending_;
  bool done_;
};

struct StoredCell {
  int storage;
  int64_t i;
  double d;
  size_t off;
  int32_t n;
};

class BufferedSet : public RowSet {
 public:
  int advance(std::string *) override {
    if (next_ >= rows_) return VESK_NO_DATA;
    row_ = next_++;
    return VESK_OK;
  }
  Cell cell(int idx) const override {
    const StoredCell &s = cells_[row_ * cols.size() + static_cast<size_t>(idx)];
    Cell c;
    c.storage = s.storage;
    c.i = s.i;
    c.d = s.d;
    c.n = s.n;
    if (s.storage == SQLITE_TEXT || s.storage == SQLITE_BLOB) c.p = arena_.data() + s.off;
    return c;
  }
  void add_row(sqlite3_stmt *st) {
    for (size_t i = 0; i < cols.size(); ++i) {
      Cell c = stmt_cell(st, static_cast<int>(i));
      StoredCell s{c.storage, c.i, c.d, arena_.size(), c.n};
      if (c.p && c.n > 0) arena_.append(c.p, static_cast<size_t>(c.n));
      cells_.push_back(s);
    }
    ++rows_;
  }

 private:
  std::vector<StoredCell> cells_;
  std::string arena_;
  size_t rows_ = 0, next_ = 0, row_ = 0;
};

// The text form of a numeric cell, into a caller's small buffer.
int32_t number_text(const Cell &c, char *tmp, size_t cap) {
  int r = (c.storage == SQLITE_INTEGER) ? std::snprintf(tmp, cap, "%lld", static_cast<long long>(c.i))
                                        : std::snprintf(tmp, cap, "%.17g", c.d);
  return r < 0 ? 0 : static_cast<int32_t>(r);
}

int64_t as_int(const Cell &c) {
  switch (c.storage) {
    case SQLITE_INTEGER: return c.i;
    case SQLITE_FLOAT: return static_cast<int64_t>(c.d);
    default: {
      char tmp[32];
      size_t n = c.n < 31 ? static_cast<size_t>(c.n) : 31;
      if (c.p) std::memcpy(tmp, c.p, n);
      tmp[n] = '\0';
      return std::strtoll(tmp, nullptr, 10);
    }
  }
}

double as_double(const Cell &c) {
  switch (c.storage) {
    case SQLITE_INTEGER: return static_cast<double>(c.i);
    case SQLITE_FLOAT: return c.d;
    default: {
      char tmp[64];
      size_t n = c.n < 63 ? static_cast<size_t>(c.n) : 63;
      if (c.p) std::memcpy(tmp, c.p, n);
      tmp[n] = '\0';
      return std::strtod(tmp, nullptr);
    }
  }
}

}  // namespace

std::vector<ColInfo> columns_of(sqlite3_stmt *st, bool has_row) {
  int n = sqlite3_column_count(st);
  std::vector<ColInfo> cols(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    ColInfo &c = cols[static_cast<size_t>(i)];
    const char *name = sqlite3_column_name(st, i);
    c.name = name ? name : "";
    if (!declared_code(sqlite3_column_decltype(st, i), &c.code, &c.size))
      value_code(has_row ? sqlite3_column_type(st, i) : SQLITE_NULL, &c.code, &c.size);
    finish_col(&c);
  }
  return cols;
}

std::unique_ptr<RowSet> make_stream(StmtPtr box, bool has_row) {
  return std::make_unique<StreamSet>(std::move(box), has_row);
}

std::unique_ptr<RowSet> make_buffered(sqlite3_stmt *st, int first_rc, std::string *err) {
  auto set = std::make_unique<BufferedSet>();
  set->cols = columns_of(st, first_rc == SQLITE_ROW);
  int rc = first_rc;
  while (rc == SQLITE_ROW) {
    set->add_row(st);
    rc = sqlite3_step(st);
  }
  if (rc != SQLITE_DONE) {
    *err = sqlite3_errmsg(sqlite3_db_handle(st));
    return nullptr;
  }
  return set;
}

int deliver(const Cell &cell, int32_t type, void *buf, int32_t cap, int32_t *len,
            std::string *err) {
  int32_t dummy;
  if (len == nullptr) len = &dummy;
  if (cell.storage == SQLITE_NULL || type == VESK_TYPE_NULL) {
    *len = VESK_NULL_LENGTH;
    return VESK_OK;
  }
  if (buf == nullptr) {
    *err = "get_field: no buffer given";
    *len = VESK_NULL_LENGTH;
    return VESK_ERROR;
  }
  // The value as text, for the codes that deliver text; numbers are
  // written out only there.
  char num[40];
  const char *text = cell.p;
  int32_t text_n = cell.n;
  auto as_text = [&]() {
    if (cell.storage == SQLITE_INTEGER || cell.storage == SQLITE_FLOAT) {
      text_n = number_text(cell, num, sizeof num);
      text = num;
    }
  };
  switch (type) {
    case VESK_TYPE_BOOLEAN: {
      bool t;
      if (cell.storage == SQLITE_TEXT)
        t = text_n > 0 && (text[0] == 'T' || text[0] == 't' || text[0] == '1');
      else
        t = as_double(cell) != 0;
      if (cap < 1) return put_fixed<int8_t>(0, buf, cap, len, err);
      static_cast<char *>(buf)[0] = t ? 'T' : 'F';
      *len = 1;
      return VESK_OK;
    }
    case VESK_TYPE_TINYINT: return put_fixed(static_cast<int8_t>(as_int(cell)), buf, cap, len, err);
    case VESK_TYPE_SMALLINT: return put_fixed(static_cast<int16_t>(as_int(cell)), buf, cap, len, err);
    case VESK_TYPE_INTEGER:
    case VESK_TYPE_INTERVAL_YM:
      return put_fixed(static_cast<int32_t>(as_int(cell)), buf, cap, len, err);
    case VESK_TYPE_BIGINT:
    case VESK_TYPE_INTERVAL_DS:
      return put_fixed(as_int(cell), buf, cap, len, err);
    case VESK_TYPE_FLOAT: return put_fixed(static_cast<float>(as_double(cell)), buf, cap, len, err);
    case VESK_TYPE_DOUBLE: return put_fixed(as_double(cell), buf, cap, len, err);
    case VESK_TYPE_DATETIME_MS: {
      int64_t ms;
      if (cell.storage != SQLITE_TEXT || !parse_datetime_ms(cell.p, cell.n, &ms)) {
        *err = "get_field: the value is not a date-time text";
        *len = VESK_NULL_LENGTH;
        return VESK_ERROR;
      }
      return put_fixed(ms, buf, cap, len, err);
    }
    case VESK_TYPE_BINARY:
    case VESK_TYPE_VARBINARY:
    case VESK_TYPE_CLOB:
    case VESK_TYPE_BLOB: {
      as_text();
      return put_lob(text, text_n,
                     type == VESK_TYPE_CLOB && text_n == 0 && cell.storage != SQLITE_BLOB, buf,
                     len, err);
    }
    default:
      as_text();
      put_text(text ? text : "", text_n, type, static_cast<char *>(buf), cap, len);
      return VESK_OK;
  }
}

SqResult::SqResult(DbPtr db, std::vector<std::unique_ptr<RowSet>> sets, Counters k)
    : db_(std::move(db)), errors_(db_->errors), sets_(std::move(sets)), counters_(k) {}

int SqResult::fail(const std::string &text, const char *state) {
  errors_->set(text, state);
  if (!db_->open()) thread_error_set(text, state);  // nobody can read the connection's text
  return VESK_ERROR;
}

// The current row's cell of column `col` (from 1), read from SQLite once
// per row: the type, size and value calls of one cell share it.
const Cell &SqResult::cell_at(int32_t col) {
  static const Cell kNullCell;
  size_t i = static_cast<size_t>(col - 1);
  if (sets_[cur_]->stale()) return kNullCell;
  if (!row_cell_read_[i]) {
    row_cells_[i] = sets_[cur_]->cell(col - 1);
    row_cell_read_[i] = 1;
  }
  return row_cells_[i];
}

int SqResult::fetch_row() {
  at_row_ = false;
  if (cur_ >= sets_.size()) return VESK_NO_DATA;
  if (!db_->open()) return fail("the connection of this result is closed", kStateNoConnection);
  std::string err;
  int rc = sets_[cur_]->advance(&err);
  if (rc == VESK_OK) {
    at_row_ = true;
    row_cell_read_.assign(sets_[cur_]->cols.size(), 0);
    row_cells_.resize(row_cell_read_.size());
  }
  if (rc < 0) return fail(err, sets_[cur_]->failure_state);
  return rc;
}

int SqResult::next_result() {
  if (cur_ + 1 >= sets_.size()) return VESK_NO_DATA;
  ++cur_;
  at_row_ = false;
  return VESK_OK;
}

int SqResult::column_count() const {
  return cur_ < sets_.size() ? static_cast<int>(sets_[cur_]->cols.size()) : 0;
}

const ColInfo *SqResult::col_info(int32_t col) const {
  if (cur_ >= sets_.size() || col < 1) return nullptr;
  const auto &cols = sets_[cur_]->cols;
  return static_cast<size_t>(col) <= cols.size() ? &cols[static_cast<size_t>(col - 1)] : nullptr;
}

const std::string *SqResult::column_name(int32_t col) const {
  const ColInfo *c = col_info(col);
  return c ? &c->name : nullptr;
}

int SqResult::column_type(int32_t col, int32_t *type) {
  const ColInfo *c = col_info(col);
  if (c == nullptr) return VESK_ERROR;
  *type = (at_row_ && db_->open()) ? cell_code(*c, cell_at(col)) : c->code;
  return VESK_OK;
}

int SqResult::column_size(int32_t col, int32_t *size) {
  const ColInfo *c = col_info(col);
  if (c == nullptr) return VESK_ERROR;
  *size = (at_row_ && db_->open()) ? cell_size(*c, cell_code(*c, cell_at(col))) : c->size;
  return VESK_OK;
}

int SqResult::column_index(const char *name) const {
  return cur_ < sets_.size() ? column_index_by_name(sets_[cur_]->cols, name) : 0;
}

int SqResult::get_field(int32_t col, int32_t type, void *buf, int32_t cap, int32_t *len) {
  const ColInfo *c = col_info(col);
  if (c == nullptr || !at_row_ || !db_->open()) {
    if (len) *len = VESK_NULL_LENGTH;
    return fail(c == nullptr ? "get_field: no such column"
                             : !db_->open() ? "the connection of this result is closed"
                                            : "get_field: no current row");
  }
  std::string err;
  int rc = deliver(cell_at(col), type, buf, cap, len, &err);
  if (rc < 0) return fail(err, sets_[cur_]->failure_state);
  return rc;
}

}  // namespace sq
}  // namespace vesk
