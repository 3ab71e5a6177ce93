// hooks_result.cpp -- results and their columns; answered from a table when
// the result id has one and no queued response says otherwise.
#include <cstring>
#include <string>

#include "record.h"

namespace vks {
namespace {

void put_cell(int32_t *cell, const std::optional<int32_t> &v) {
  if (cell != nullptr && v) *cell = *v;
}

ResultSet *table_of(vesk_result **r) { return current_set(read_handle(r)); }

}  // namespace

int hook_cli_result_info(vesk_result **r, int32_t *kind, int32_t *second,
                         int32_t *rowcount, int32_t *third, void *reserved) {
  Call call(OP_cli_result_info);
  const Response &resp = call.handle(r)
                             .cell(kind)
                             .cell(second)
                             .cell(rowcount)
                             .cell(third)
                             .flag(reserved)
                             .finish();
  std::optional<int32_t> k = resp.kind;
  if (!k) {
    if (const ResultSet *set = table_of(r)) k = set->kind;
  }
  put_cell(kind, k);
  put_cell(second, resp.second);
  put_cell(rowcount, resp.rowcount);
  put_cell(third, resp.third);
  return resp.ret.value_or(0);
}

int hook_cli_free_result(vesk_result **r) {
  Call call(OP_cli_free_result);
  const Response &resp = call.handle(r).finish();
  // A freed result is gone: its tables are dropped, so the id can be
  // scripted afresh.
  drop_tables(read_handle(r));
  engine().live.results.erase(read_handle(r));
  write_handle(r, resp.result.value_or(0));
  return resp.ret.value_or(0);
}

int hook_cli_next_result(vesk_result **r) {
  Call call(OP_cli_next_result);
  const Response &resp = call.handle(r).finish();
  if (resp.ret) return *resp.ret;
  return next_set(read_handle(r)) ? VESK_OK : VESK_NO_DATA;
}

int hook_cli_fetch_row(vesk_result **r) {
  Call call(OP_cli_fetch_row);
  const Response &resp = call.handle(r).finish();
  if (resp.ret) return *resp.ret;
  ResultSet *set = table_of(r);
  if (set == nullptr) return VESK_NO_DATA;
  const long nrows = static_cast<long>(set->rows.size());
  if (set->pos < nrows) ++set->pos;
  return set->pos < nrows ? VESK_OK : VESK_NO_DATA;
}

int hook_cli_open_named_cursor(vesk_conn **h, const char *name, vesk_result **r) {
  Call call(OP_cli_open_named_cursor);
  const Response &resp = call.handle(h).text(name).handle(r).finish();
  if (resp.result) {
    write_handle(r, *resp.result);
    if (*resp.result != 0) engine().live.results.insert(*resp.result);
  }
  live_named(read_handle(h), name, true);
  return resp.ret.value_or(0);
}

int hook_cli_close_named_cursor(vesk_conn **h, const char *name) {
  Call call(OP_cli_close_named_cursor);
  const int ret = call.handle(h).text(name).finish().ret.value_or(0);
  live_named(read_handle(h), name, false);
  return ret;
}

int hook_cli_column_count(vesk_result **r, int32_t *count) {
  Call call(OP_cli_column_count);
  const Response &resp = call.handle(r).cell(count).finish();
  std::optional<int32_t> n = resp.count;
  if (!n) {
    if (const ResultSet *set = table_of(r)) n = static_cast<int32_t>(set->columns.size());
  }
  put_cell(count, n);
  return resp.ret.value_or(0);
}

int hook_cli_column_name(vesk_result **r, int32_t col, char *buf) {
  Call call(OP_cli_column_name);
  const Response &resp = call.handle(r).integer(col).none().finish();
  int ret = 0;
  if (resp.name) {
    write_text(buf, VESK_COLUMN_NAME_CAP, *resp.name);
  } else if (const ResultSet *set = table_of(r)) {
    const Column *c = column_at(*set, col);
    if (c != nullptr)
      write_text(buf, VESK_COLUMN_NAME_CAP, c->name);
    else
      ret = VESK_ERROR;
  }
  return resp.ret.value_or(ret);
}

int hook_cli_column_type(vesk_result **r, int32_t col, int32_t *type) {
  Call call(OP_cli_column_type);
  const Response &resp = call.handle(r).integer(col).cell(type).finish();
  int ret = 0;
  std::optional<int32_t> t = resp.type;
  if (!t) {
    if (const ResultSet *set = table_of(r)) {
      const Column *c = column_at(*set, col);
      const Cell *cell = current_cell(*set, col);
      if (c == nullptr)
        ret = VESK_ERROR;
      else
        t = cell != nullptr && cell->type ? *cell->type : c->type;
    }
  }
  put_cell(type, t);
  return resp.ret.value_or(ret);
}

int hook_cli_column_size(vesk_result **r, int32_t col, int32_t *size) {
  Call call(OP_cli_column_size);
  const Response &resp = call.handle(r).integer(col).cell(size).finish();
  int ret = 0;
  std::optional<int32_t> s = resp.size;
  if (!s) {
    if (const ResultSet *set = table_of(r)) {
      const Column *c = column_at(*set, col);
      if (c == nullptr)
        ret = VESK_ERROR;
      else
        s = c->size;
    }
  }
  put_cell(size, s);
  return resp.ret.value_or(ret);
}

int hook_cli_column_index(vesk_result **r, const char *name) {
  Call call(OP_cli_column_index);
  const Response &resp = call.handle(r).text(name).finish();
  if (resp.ret) return *resp.ret;
  const ResultSet *set = table_of(r);
  if (set == nullptr || name == nullptr) return 0;
  const std::string wanted(name, strnlen(name, size_t(1) << 20));
  for (size_t i = 0; i < set->columns.size(); ++i)
    if (set->columns[i].name.bytes == wanted) return static_cast<int>(i + 1);
  return 0;
}

}  // namespace vks
