// Result and large-object operations.
#include <algorithm>
#include <cstring>

#include "handles.h"
#include "impl.h"
#include "text_util.h"

using namespace vesk;

namespace {
EngineResult *res(vesk_result **r) {
  return (r != nullptr && *r != nullptr) ? (*r)->impl.get() : nullptr;
}
}  // namespace

int impl_cli_result_info(vesk_result **r, int32_t *kind, int32_t *second, int32_t *rowcount,
                         int32_t *third, void *reserved) {
  EngineResult *e = res(r);
  if (e == nullptr) return VESK_ERROR;
  Counters k = e->counters();
  if (kind) *kind = e->kind();
  if (second) *second = k.second;
  if (rowcount) *rowcount = k.rowcount;
  if (third) *third = k.third;
  return VESK_OK;
}

int impl_cli_free_result(vesk_result **r) {
  if (r == nullptr) return VESK_OK;
  delete *r;
  *r = nullptr;
  return VESK_OK;
}

int impl_cli_next_result(vesk_result **r) {
  EngineResult *e = res(r);
  return e ? e->next_result() : VESK_ERROR;
}

int impl_cli_fetch_row(vesk_result **r) {
  EngineResult *e = res(r);
  return e ? e->fetch_row() : VESK_ERROR;
}

int impl_cli_column_count(vesk_result **r, int32_t *count) {
  EngineResult *e = res(r);
  if (count) *count = e ? e->column_count() : 0;
  return e ? VESK_OK : VESK_ERROR;
}

int impl_cli_column_name(vesk_result **r, int32_t col, char *buf) {
  EngineResult *e = res(r);
  const std::string *name = e ? e->column_name(col) : nullptr;
  if (name == nullptr || buf == nullptr) return VESK_ERROR;
  copy_cut(*name, buf, VESK_COLUMN_NAME_CAP);
  return VESK_OK;
}

int impl_cli_column_type(vesk_result **r, int32_t col, int32_t *type) {
  EngineResult *e = res(r);
  if (e == nullptr || type == nullptr) return VESK_ERROR;
  return e->column_type(col, type);
}

int impl_cli_column_size(vesk_result **r, int32_t col, int32_t *size) {
  EngineResult *e = res(r);
  if (e == nullptr || size == nullptr) return VESK_ERROR;
  return e->column_size(col, size);
}

int impl_cli_column_index(vesk_result **r, const char *name) {
  EngineResult *e = res(r);
  if (e == nullptr || name == nullptr) return 0;
  return e->column_index(name);
}

int impl_cli_get_field(vesk_result **r, int32_t col, int32_t type, void *buf, int32_t cap,
                       int32_t *len) {
  EngineResult *e = res(r);
  if (e == nullptr) {
    if (len) *len = VESK_NULL_LENGTH;
    return VESK_ERROR;
  }
  return e->get_field(col, type, buf, cap, len);
}

int impl_cli_lob_create(vesk_lob **loc) {
  if (loc == nullptr) return VESK_ERROR;
  *loc = new vesk_lob();
  return VESK_OK;
}

int impl_cli_lob_read(vesk_lob **loc, void *buf, int32_t len) {
  if (loc == nullptr || *loc == nullptr || (buf == nullptr && len > 0)) return VESK_ERROR;
  if (len <= 0) return 0;
  size_t n = std::min((*loc)->data.size(), static_cast<size_t>(len));
  if (n) std::memcpy(buf, (*loc)->data.data(), n);
  return static_cast<int>(n);
}

int impl_cli_lob_free(vesk_lob **loc) {
  if (loc == nullptr) return VESK_OK;
  delete *loc;
  *loc = nullptr;
  return VESK_OK;
}
