// hooks_conn.cpp -- connections and statements.
#include "record.h"

namespace vks {
namespace {

void put_cell(int32_t *cell, const std::optional<int32_t> &v) {
  if (cell != nullptr && v) *cell = *v;
}

}  // namespace

int hook_cli_connect(const char *connstr, vesk_conn **h) {
  Call call(OP_cli_connect);
  const Response &r = call.text(connstr).handle(h).finish();
  const int ret = r.ret.value_or(0);
  if (r.handle)
    write_handle(h, *r.handle);
  else if (ret >= 0 && h != nullptr)
    write_handle(h, engine().next_conn++);
  if (ret >= 0) live_conn_opened(read_handle(h));
  return ret;
}

int hook_cli_connect_multi(const char *connstr, int flag, vesk_addr_attrs **attrs,
                           vesk_conn **h) {
  Call call(OP_cli_connect_multi);
  const Response &r = call.text(connstr).integer(flag).handle(attrs).handle(h).finish();
  const int ret = r.ret.value_or(0);
  if (r.attrs)
    write_handle(attrs, *r.attrs);
  else if (ret >= 0 && attrs != nullptr)
    write_handle(attrs, engine().next_attrs++);
  if (r.handle)
    write_handle(h, *r.handle);
  else if (ret >= 0 && h != nullptr)
    write_handle(h, engine().next_conn++);
  if (ret >= 0) {
    live_conn_opened(read_handle(h));
    if (read_handle(attrs) != 0) engine().live.attrs.insert(read_handle(attrs));
  }
  return ret;
}

int hook_cli_disconnect(vesk_conn **h) {
  Call call(OP_cli_disconnect);
  const Response &r = call.handle(h).finish();
  live_conn_closed(read_handle(h));
  write_handle(h, r.handle.value_or(0));
  return r.ret.value_or(h == nullptr ? -1 : 0);
}

int hook_cli_free_addr_attrs(vesk_addr_attrs **attrs) {
  Call call(OP_cli_free_addr_attrs);
  const Response &r = call.handle(attrs).finish();
  engine().live.attrs.erase(read_handle(attrs));
  write_handle(attrs, r.attrs.value_or(0));
  return r.ret.value_or(attrs == nullptr ? -1 : 0);
}

int hook_cli_reconnect(vesk_conn **h) {
  Call call(OP_cli_reconnect);
  const Response &r = call.handle(h).finish();
  if (r.handle) {
    live_conn_closed(read_handle(h));
    write_handle(h, *r.handle);
    live_conn_opened(*r.handle);
  }
  return r.ret.value_or(0);
}

int hook_cli_exec_command(vesk_conn **h, const char *sql) {
  Call call(OP_cli_exec_command);
  return call.handle(h).text(sql).finish().ret.value_or(0);
}

int hook_cli_error_text(vesk_conn **h, char *buf, int32_t *len) {
  Call call(OP_cli_error_text);
  const Response &r = call.handle(h).none().cell(len).finish();
  const size_t written = write_text(buf, VESK_ERROR_TEXT_CAP, r.text.value_or(Text()));
  if (len != nullptr) *len = r.len.value_or(static_cast<int32_t>(written));
  return r.ret.value_or(0);
}

int hook_cli_sqlstate(vesk_conn **h, char *buf) {
  Call call(OP_cli_sqlstate);
  const Response &r = call.handle(h).none().finish();
  write_text(buf, VESK_SQLSTATE_CAP, r.text.value_or(Text()));
  return r.ret.value_or(0);
}

int hook_cli_reset_params(vesk_conn **h) {
  Call call(OP_cli_reset_params);
  const Response &r = call.handle(h).finish();
  // The positional binds are dropped: no later routine call may write into
  // buffers bound before the reset.
  engine().bound.clear();
  return r.ret.value_or(0);
}

int hook_cli_sql_kind(const char *sql) {
  Call call(OP_cli_sql_kind);
  return call.text(sql).finish().ret.value_or(1);
}

int hook_cli_exec_direct(vesk_conn **h, const char *sql, vesk_result **r,
                         int32_t *second, int32_t *rowcount, int32_t *third) {
  Call call(OP_cli_exec_direct);
  const Response &resp =
      call.handle(h).text(sql).handle(r).cell(second).cell(rowcount).cell(third).finish();
  if (resp.result) {
    write_handle(r, *resp.result);
    if (*resp.result != 0) engine().live.results.insert(*resp.result);
  }
  put_cell(second, resp.second);
  put_cell(rowcount, resp.rowcount);
  put_cell(third, resp.third);
  return resp.ret.value_or(0);
}

int hook_cli_prepare(vesk_conn **h, const char *sql, int zero) {
  Call call(OP_cli_prepare);
  const int ret = call.handle(h).text(sql).integer(zero).finish().ret.value_or(0);
  if (ret >= 0 && read_handle(h) != 0) engine().live.prepared.insert(read_handle(h));
  return ret;
}

int hook_cli_exec_flush(vesk_conn **h) {
  Call call(OP_cli_exec_flush);
  return call.handle(h).finish().ret.value_or(0);
}

int hook_cli_exec_prepared(vesk_conn **h, int zero1, int zero2, vesk_result **r) {
  Call call(OP_cli_exec_prepared);
  const Response &resp = call.handle(h).integer(zero1).integer(zero2).handle(r).finish();
  if (resp.result) {
    write_handle(r, *resp.result);
    if (*resp.result != 0) engine().live.results.insert(*resp.result);
  }
  return resp.ret.value_or(0);
}

int hook_cli_unprepare(vesk_conn **h, void *reserved) {
  Call call(OP_cli_unprepare);
  const Response &resp = call.handle(h).flag(reserved).finish();
  engine().live.prepared.erase(read_handle(h));
  return resp.ret.value_or(0);
}

int hook_cli_exec_batch(vesk_conn **h, const char *sql, int32_t rows) {
  Call call(OP_cli_exec_batch);
  return call.handle(h).text(sql).integer(rows).finish().ret.value_or(0);
}

int hook_cli_get_rowid(vesk_conn **h, char *buf) {
  Call call(OP_cli_get_rowid);
  const Response &r = call.handle(h).none().finish();
  if (r.rowid) write_text(buf, VESK_ROWID_CAP, *r.rowid);
  return r.ret.value_or(0);
}

}  // namespace vks
