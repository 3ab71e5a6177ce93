#include "deliver.h"

#include "handles.h"
#include "text_util.h"

namespace vesk {

void put_text(const char *p, int32_t n, int32_t type, char *buf, int32_t cap, int32_t *len) {
  if (n == 0) {  // the empty text: one zero byte
    if (cap >= 1) buf[0] = '\0';
    *len = 1;
    return;
  }
  bool full = type == VESK_TYPE_VARCHAR || type == VESK_TYPE_TEXT || type == VESK_TYPE_CHAR;
  int32_t room = full ? cap : cap - 1;
  if (room < 0) room = 0;
  size_t w = utf8_cut_length(p, static_cast<size_t>(n), static_cast<size_t>(room));
  std::memcpy(buf, p, w);
  *len = n;
}

int put_lob(const char *p, int32_t n, bool text_empty, void *buf, int32_t *len, std::string *err) {
  vesk_lob *loc = *static_cast<vesk_lob **>(buf);
  if (loc == nullptr) {
    *err = "get_field: no large-object locator given";
    *len = VESK_NULL_LENGTH;
    return VESK_ERROR;
  }
  if (text_empty) {
    loc->data.assign(1, '\0');  // the empty text: one zero byte
    *len = 1;
    return VESK_OK;
  }
  loc->data.assign(p ? p : "", static_cast<size_t>(n));
  *len = n;
  return VESK_OK;
}

}  // namespace vesk
