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

// One cell of the statement's current row.  sqlite3_column_value gives the
// value once; the type and content calls then read it without going
// through the statement again.
Cell stmt_cell(sqlite3_stmt *st, int i) {
  sqlite3_value *v = sqlite3_column_value(st, i);
  Cell c;
  c.storage = sqlite3_value_type(v);
  switch (c.storage) {
    case SQLITE_INTEGER: c.i = sqlite3_value_int64(v); break;
    case SQLITE_FLOAT: c.d = sqlite3_value_double(v); break;
    case SQLITE_TEXT:
      c.p = reinterpret_cast<const char *>(sqlite3_value_text(v));
      c.n = sqlite3_value_bytes(v);
      break;
    case SQLITE_BLOB:
      c.p = static_cast<const char *>(sqlite3_value_blob(v));
      c.n = sqlite3_value_bytes(v);
      break;
    default: break;
  }
  return c;
}

class StreamSet final : public RowSet {
 public:
  StreamSet(StmtPtr box, bool has_row)
      : owner_(std::move(box)), pending_(has_row), done_(!has_row) {
    box_ = owner_.get();
    generation_ = owner_->generation;
    cols = columns_of(owner_->raw, has_row);
  }
  int advance(std::string *err) override {
    if (owner_->raw == nullptr || !owner_->db->open()) {
      *err = "the connection of this result is closed";
      failure_state = kStateNoConnection;
      return VESK_ERROR;
    }
    if (owner_->generation != generation_) {
      *err = "the statement of this result has been run again";
      failure_state = kStateGeneral;
      return VESK_ERROR;
    }
    if (pending_) {
      pending_ = false;
      return VESK_OK;
    }
    if (done_) return VESK_NO_DATA;
    int rc = owner_->step();
    if (rc == SQLITE_ROW) return VESK_OK;
    done_ = true;
    if (rc == SQLITE_DONE) {
      owner_->reset();  // ends the read as soon as the rows are read
      return VESK_NO_DATA;
    }
    *err = sqlite3_errmsg(owner_->db->db);
    failure_state = sqlstate_of(owner_->db->db);
    owner_->reset();
    return VESK_ERROR;
  }
  void read_row(Cell *cells) const override {
    sqlite3_stmt *st = owner_->raw;
    const int n = static_cast<int>(cols.size());
    for (int i = 0; i < n; ++i) cells[i] = stmt_cell(st, i);
  }

 private:
  StmtPtr owner_;
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

class BufferedSet final : public RowSet {
 public:
  int advance(std::string *) override {
    if (next_ >= rows_) return VESK_NO_DATA;
    row_ = next_++;
    return VESK_OK;
  }
  void read_row(Cell *cells) const override {
    const size_t n = cols.size();
    const StoredCell *stored = cells_.data() + row_ * n;
    for (size_t i = 0; i < n; ++i) {
      const StoredCell &s = stored[i];
      Cell &c = cells[i];
      c.storage = s.storage;
      c.i = s.i;
      c.d = s.d;
      c.n = s.n;
      c.p = (s.storage == SQLITE_TEXT || s.storage == SQLITE_BLOB) ? arena_.data() + s.off : nullptr;
    }
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
    : db_(std::move(db)), errors_(db_->errors), sets_(std::move(sets)), counters_(k) {
  enter_set();
}

int SqResult::fail(const std::string &text, const char *state) {
  errors_->set(text, state);
  if (!db_->open()) thread_error_set(text, state);  // nobody can read the connection's text
  return VESK_ERROR;
}

void SqResult::enter_set() {
  leave_row();
  set_ = cur_ < sets_.size() ? sets_[cur_].get() : nullptr;
  ncols_ = set_ ? static_cast<uint32_t>(set_->cols.size()) : 0;
  row_.resize(ncols_);
}

int SqResult::fetch_row() {
  leave_row();
  if (set_ == nullptr) return VESK_NO_DATA;
  if (!db_->open()) return fail("the connection of this result is closed", kStateNoConnection);
  std::string err;
  int rc = set_->advance(&err);
  if (rc == VESK_OK) {
    set_->read_row(row_.data());
    at_row_ = true;
    const uint64_t *stamp = set_->stamp();
    stamp_ = stamp ? stamp : &db_->epoch;
    stamp_value_ = *stamp_;
  }
  if (rc < 0) return fail(err, set_->failure_state);
  return rc;
}

int SqResult::next_result() {
  if (cur_ + 1 >= sets_.size()) return VESK_NO_DATA;
  ++cur_;
  enter_set();
  return VESK_OK;
}

const std::string *SqResult::column_name(int32_t col) const {
  const ColInfo *c = col_info(col);
  return c ? &c->name : nullptr;
}

// Before the first row (and once the row cannot be read) a column reports
// what it was declared as; at a row, the code and size of that row's value.
int SqResult::column_type(int32_t col, int32_t *type) {
  const ColInfo *c = col_info(col);
  if (c == nullptr) return VESK_ERROR;
  *type = row_readable() ? cell_code(*c, row_[static_cast<size_t>(col - 1)]) : c->code;
  return VESK_OK;
}

int SqResult::column_size(int32_t col, int32_t *size) {
  const ColInfo *c = col_info(col);
  if (c == nullptr) return VESK_ERROR;
  *size = row_readable() ? cell_size(*c, cell_code(*c, row_[static_cast<size_t>(col - 1)]))
                         : c->size;
  return VESK_OK;
}

int SqResult::column_index(const char *name) const {
  return set_ ? column_index_by_name(set_->cols, name) : 0;
}

int SqResult::get_field(int32_t col, int32_t type, void *buf, int32_t cap, int32_t *len) {
  // A readable row's cell read the common ways: a number at its own width,
  // a text as text.  Each gives what get_field_checked gives for it.
  if (static_cast<uint32_t>(col - 1) < ncols_ && row_readable() && buf != nullptr &&
      len != nullptr) {
    const Cell &cell = row_[static_cast<size_t>(col - 1)];
    switch (type) {
      case VESK_TYPE_BIGINT:
        if (cell.storage == SQLITE_INTEGER && cap >= 8) {
          std::memcpy(buf, &cell.i, sizeof cell.i);
          *len = 8;
          return VESK_OK;
        }
        break;
      case VESK_TYPE_DOUBLE:
        if (cell.storage == SQLITE_FLOAT && cap >= 8) {
          std::memcpy(buf, &cell.d, sizeof cell.d);
          *len = 8;
          return VESK_OK;
        }
        break;
      case VESK_TYPE_VARCHAR:
      case VESK_TYPE_CHAR:
      case VESK_TYPE_TEXT:
        if (cell.storage == SQLITE_TEXT) {
          put_text(cell.p ? cell.p : "", cell.n, type, static_cast<char *>(buf), cap, len);
          return VESK_OK;
        }
        break;
      default:
        break;
    }
  }
  return get_field_checked(col, type, buf, cap, len);
}

int SqResult::get_field_checked(int32_t col, int32_t type, void *buf, int32_t cap,
                                int32_t *len) {
  const ColInfo *c = col_info(col);
  if (c == nullptr || !at_row_ || !db_->open()) {
    if (len) *len = VESK_NULL_LENGTH;
    return fail(c == nullptr ? "get_field: no such column"
                             : !db_->open() ? "the connection of this result is closed"
                                            : "get_field: no current row");
  }
  static const Cell kNullCell;
  const Cell &cell = set_->stale() ? kNullCell : row_[static_cast<size_t>(col - 1)];
  std::string err;
  int rc = deliver(cell, type, buf, cap, len, &err);
  if (rc < 0) return fail(err, set_->failure_state);
  return rc;
}

}  // namespace sq
}  // namespace vesk
