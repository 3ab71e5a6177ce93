// hooks_lob.cpp -- field reads and large-object locators.
#include <algorithm>
#include <cstring>
#include <string>

#include "record.h"

namespace vks {
namespace {

// Codes whose field read goes through a locator: BINARY, CLOB and BLOB always.
bool always_locator(int32_t type) {
  return type == VESK_TYPE_BINARY || type == VESK_TYPE_CLOB || type == VESK_TYPE_BLOB;
}

// VARBINARY and the old CLOB code may be read either way: through a locator
// when the buffer holds a live one, else straight into the buffer.
bool maybe_locator(int32_t type) {
  return type == VESK_TYPE_VARBINARY || type == VESK_TYPE_CLOB_OLD;
}

int32_t clamp_len(size_t n) { return static_cast<int32_t>(std::min<size_t>(n, INT32_MAX)); }

}  // namespace

int hook_cli_get_field(vesk_result **r, int32_t col, int32_t type, void *buf, int32_t cap,
                       int32_t *len) {
  Call call(OP_cli_get_field);
  call.handle(r).integer(col).integer(type);
  bool via_locator = false;
  uintptr_t loc = 0;
  const bool readable = buf != nullptr && (always_locator(type) ||
                                          (maybe_locator(type) && cap >= int32_t(sizeof(void *))));
  if (readable) {
    loc = read_handle(buf);
    via_locator = always_locator(type) || engine().lobs.count(loc) != 0;
    call.integer(static_cast<long long>(loc));
  } else {
    call.none();
  }
  const Response &resp = call.integer(cap).cell(len).finish();

  int ret = 0;
  bool have_data = false;
  std::string data;
  int32_t value_len = -1;
  if (const ResultSet *set = current_set(read_handle(r))) {
    const Cell *cell = current_cell(*set, col);
    if (cell == nullptr) {
      ret = VESK_ERROR;
    } else {
      have_data = !cell->null;
      if (have_data) data = cell->data;
      value_len = cell->len.value_or(have_data ? clamp_len(data.size()) : -1);
    }
  }
  if (resp.data) {
    have_data = true;
    data = *resp.data;
    value_len = clamp_len(data.size());
  }
  if (resp.len) value_len = *resp.len;

  if (have_data) {
    if (via_locator) {
      auto it = engine().lobs.find(loc);
      if (it != engine().lobs.end())
        it->second = data;
      else
        engine().problem("cli_get_field: locator " + std::to_string(loc) +
                         " was not made by cli_lob_create");
    } else if (buf != nullptr && cap > 0) {
      std::memcpy(buf, data.data(), std::min(data.size(), static_cast<size_t>(cap)));
    }
  }
  if (len != nullptr) *len = value_len;
  return resp.ret.value_or(ret);
}

int hook_cli_lob_create(vesk_lob **loc) {
  Call call(OP_cli_lob_create);
  const Response &resp = call.handle(loc).finish();
  const int ret = resp.ret.value_or(0);
  if (loc == nullptr || (ret < 0 && !resp.locator)) return ret;
  const uintptr_t id = resp.locator ? *resp.locator : engine().next_lob++;
  engine().lobs[id] = std::string();
  write_handle(loc, id);
  return ret;
}

int hook_cli_lob_read(vesk_lob **loc, void *buf, int32_t len) {
  Call call(OP_cli_lob_read);
  const Response &resp = call.handle(loc).none().integer(len).finish();
  const uintptr_t id = read_handle(loc);
  auto it = engine().lobs.find(id);
  if (it == engine().lobs.end()) {
    engine().problem("cli_lob_read: locator " + std::to_string(id) + " is not live");
    return resp.ret.value_or(VESK_ERROR);
  }
  if (buf != nullptr && len > 0)
    std::memcpy(buf, it->second.data(), std::min(it->second.size(), static_cast<size_t>(len)));
  return resp.ret.value_or(0);
}

int hook_cli_lob_free(vesk_lob **loc) {
  Call call(OP_cli_lob_free);
  const Response &resp = call.handle(loc).finish();
  const uintptr_t id = read_handle(loc);
  if (id != 0 && engine().lobs.erase(id) == 0)
    engine().problem("cli_lob_free: locator " + std::to_string(id) + " is not live");
  write_handle(loc, resp.locator.value_or(0));
  return resp.ret.value_or(0);
}

}  // namespace vks
