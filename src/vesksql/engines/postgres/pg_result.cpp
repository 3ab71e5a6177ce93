#include "pg_result.h"

#include <cstring>

#include "core/column_lookup.h"
#include "core/text_util.h"
#include "vesksql.h"

namespace vesk {
namespace pg {

RowSet make_row_set(PgResPtr res) {
  RowSet set;
  const int n = PQnfields(res.get());
  set.cols.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) set.cols.push_back(describe_column(res.get(), i));
  set.rows = PQntuples(res.get());
  set.res = std::move(res);
  return set;
}

int PgResult::fail(const std::string &text) {
  errors_->set(text, kStateGeneral);
  return VESK_ERROR;
}

int PgResult::fetch_row() {
  if (cur_ >= sets_.size()) return VESK_NO_DATA;
  if (row_ + 1 >= sets_[cur_].rows) {
    row_ = sets_[cur_].rows;
    return VESK_NO_DATA;
  }
  ++row_;
  return VESK_OK;
}

int PgResult::next_result() {
  if (cur_ + 1 >= sets_.size()) return VESK_NO_DATA;
  ++cur_;
  row_ = -1;
  return VESK_OK;
}

int PgResult::column_count() const {
  return cur_ < sets_.size() ? static_cast<int>(sets_[cur_].cols.size()) : 0;
}

const PgCol *PgResult::col_info(int32_t col) const {
  if (cur_ >= sets_.size() || col < 1) return nullptr;
  const auto &cols = sets_[cur_].cols;
  return static_cast<size_t>(col) <= cols.size() ? &cols[static_cast<size_t>(col - 1)] : nullptr;
}

const std::string *PgResult::column_name(int32_t col) const {
  const PgCol *c = col_info(col);
  return c ? &c->name : nullptr;
}

namespace {
bool at_row(int row, const RowSet &set) { return row >= 0 && row < set.rows; }
}  // namespace

int PgResult::column_type(int32_t col, int32_t *type) {
  const PgCol *c = col_info(col);
  if (c == nullptr) return VESK_ERROR;
  const RowSet &set = sets_[cur_];
  if (at_row(row_, set) && !PQgetisnull(set.res.get(), row_, col - 1)) {
    *type = c->fixed_code ? c->code
                          : cell_code(*c, PQgetvalue(set.res.get(), row_, col - 1),
                                      PQgetlength(set.res.get(), row_, col - 1));
  } else {
    *type = c->code;
  }
  return VESK_OK;
}

int PgResult::column_size(int32_t col, int32_t *size) {
  int32_t code = 0;
  if (column_type(col, &code) < 0) return VESK_ERROR;
  *size = cell_size(*col_info(col), code);
  return VESK_OK;
}

int PgResult::column_index(const char *name) const {
  return cur_ < sets_.size() ? column_index_by_name(sets_[cur_].cols, name) : 0;
}

int PgResult::get_field(int32_t col, int32_t type, void *buf, int32_t cap, int32_t *len) {
  const PgCol *c = col_info(col);
  if (c == nullptr || !at_row(row_, sets_[cur_])) {
    if (len) *len = VESK_NULL_LENGTH;
    return fail(c == nullptr ? "get_field: no such column" : "get_field: no current row");
  }
  const PGresult *res = sets_[cur_].res.get();
  const char *v = PQgetvalue(res, row_, col - 1);
  const int32_t n = PQgetlength(res, row_, col - 1);
  const bool null = n == 0 && PQgetisnull(res, row_, col - 1) != 0;  // a null's length is 0
  const int quick = deliver_quick(v, n, null, type, buf, cap, len);
  if (quick != kNotQuick) return quick;
  std::string err;
  int rc = deliver(*c, v, n, null, type, buf, cap, len, &err);
  if (rc < 0) return fail(err);
  return rc;
}

}  // namespace pg
}  // namespace vesk
