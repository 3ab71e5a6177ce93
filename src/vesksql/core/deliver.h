// Writing one value into a caller's buffer by the cli_get_field rules,
// shared by the engines: texts, fixed-width numbers and large objects.
#ifndef VESKSQL_CORE_DELIVER_H
#define VESKSQL_CORE_DELIVER_H

#include <cstdint>
#include <cstring>
#include <string>

#include "vesksql.h"

namespace vesk {

// Text bytes: up to cap for the variable text codes (VARCHAR, CHAR, TEXT),
// whose buffers hold one more byte; up to cap - 1 for the fixed-size codes,
// so their text stays zero-terminated.  Never splits a UTF-8 character.
// *len is the whole text's length; the empty text is one zero byte, *len 1.
void put_text(const char *p, int32_t n, int32_t type, char *buf, int32_t cap, int32_t *len);

// A fixed-width number; refused (nothing written, *len NULL) when cap is
// smaller than its width.
template <typename T>
int put_fixed(T v, void *buf, int32_t cap, int32_t *len, std::string *err) {
  if (cap < static_cast<int32_t>(sizeof(T))) {
    *err = "get_field: buffer of " + std::to_string(cap) + " bytes is too small";
    *len = VESK_NULL_LENGTH;
    return VESK_ERROR;
  }
  std::memcpy(buf, &v, sizeof(T));
  *len = static_cast<int32_t>(sizeof(T));
  return VESK_OK;
}

// A large object (BINARY, CLOB, BLOB): buf is the address of a locator made
// by cli_lob_create, which receives the bytes; *len their count.  An empty
// CLOB text is one zero byte (`text_empty`: the value is an empty text, not
// empty bytes).
int put_lob(const char *p, int32_t n, bool text_empty, void *buf, int32_t *len, std::string *err);

}  // namespace vesk

#endif
