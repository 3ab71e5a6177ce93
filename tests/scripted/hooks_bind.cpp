// hooks_bind.cpp -- binding, batches and routine calls.
#include <algorithm>
#include <cstring>
#include <string>

#include "record.h"

namespace vks {
namespace {

// Writes one scripted routine output into the buffer and length cell of the
// last positional bind of `pos`.
void write_output(int32_t pos, const Output &out) {
  auto it = engine().bound.find(pos);
  if (it == engine().bound.end()) {
    engine().problem("cli_exec_routine: an output for position " + std::to_string(pos) +
                     " that was not bound");
    return;
  }
  const Bound &b = it->second;
  if (out.data && b.buf != nullptr && b.buflen > 0) {
    const size_t n = std::min(out.data->size(), static_cast<size_t>(b.buflen));
    std::memcpy(b.buf, out.data->data(), n);
  }
  if (b.len != nullptr) {
    if (out.len)
      *b.len = *out.len;
    else if (out.data)
      *b.len = static_cast<int32_t>(std::min<size_t>(out.data->size(), INT32_MAX));
  }
}

bool is_packed(int32_t type) {
  return type == VESK_TYPE_VARCHAR || type == VESK_TYPE_BINARY || type == VESK_TYPE_NUMERIC;
}

}  // namespace

int hook_cli_exec_routine(vesk_conn **h, const char *stmt, vesk_result *result) {
  Call call(OP_cli_exec_routine);
  const Response &r = call.handle(h).text(stmt).handle_value(result).finish();
  if (r.outputs)
    for (const auto &po : *r.outputs) write_output(po.first, po.second);
  return r.ret.value_or(0);
}

int hook_cli_bind_param(vesk_conn **h, int32_t pos, int32_t direction, int32_t type,
                        void *buf, int32_t buflen, int32_t *len) {
  Call call(OP_cli_bind_param);
  const Response &r = call.handle(h)
                          .integer(pos)
                          .integer(direction)
                          .integer(type)
                          .bytes(buf, buflen)
                          .integer(buflen)
                          .cell(len)
                          .finish();
  engine().bound[pos] = Bound{buf, buflen, len};
  return r.ret.value_or(0);
}

int hook_cli_bind_param_named(vesk_conn **h, const char *name, int32_t direction,
                              int32_t type, void *buf, int32_t buflen, void *reserved,
                              int32_t *len) {
  Call call(OP_cli_bind_param_named);
  const Response &r = call.handle(h)
                          .text(name)
                          .integer(direction)
                          .integer(type)
                          .bytes(buf, buflen)
                          .integer(buflen)
                          .flag(reserved)
                          .cell(len)
                          .finish();
  return r.ret.value_or(0);
}

int hook_cli_bind_array(vesk_conn **h, int32_t pos, int32_t columns, int32_t direction,
                        int32_t type, int32_t count, const void *data, int32_t width,
                        const int32_t *lens) {
  Call call(OP_cli_bind_array);
  const long long size =
      is_packed(type) ? width : static_cast<long long>(count) * static_cast<long long>(width);
  const Response &r = call.handle(h)
                          .integer(pos)
                          .integer(columns)
                          .integer(direction)
                          .integer(type)
                          .integer(count)
                          .bytes(data, count < 0 || width < 0 ? 0 : size)
                          .integer(width)
                          .ints(lens, count)
                          .finish();
  return r.ret.value_or(0);
}

}  // namespace vks
