// Type codes for PostgreSQL values: a column's code from its type and type
// modifier, the code under which one value comes back whole, and the
// delivery of a value (in the server's text format) by a requested code.
//
// Columns by type:
//   bool 1; int2 4; int4 5; int8 and oid 6; float4 7; float8 8;
//   numeric 9 (precision << 16 | scale from the modifier);
//   text, varchar, name 2 (varchar(n): n; else unbounded); bpchar and "char" 62;
//   date 10; time 11; timestamp 23 (milliseconds); interval 28 or 31 by its
//   fields; bytea 42; refcursor 58; anything else (timestamptz, timetz, json,
//   jsonb, uuid, arrays, ...) 2, its text.
// A value that its column's code would not bring back whole comes under
// another code: a numeric with more than 15 significant digits, a
// timestamp with sub-millisecond digits or outside years 1..9999, a time
// with a fraction, a date or timestamp of "infinity", an interval with
// both months and days or time, and a text longer than its column's
// buffer, as text (2, or 41 beyond the unbounded text size).
#ifndef VESKSQL_PG_TYPES_H
#define VESKSQL_PG_TYPES_H

#include <libpq-fe.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "vesksql.h"

namespace vesk {
namespace pg {

// Text capacity the caller uses for an unbounded text column.
constexpr int32_t kUnboundedTextCap = 196608;

struct PgCol {
  std::string name;
  Oid oid = 0;
  int32_t code = 2;
  int32_t size = -1;
  int32_t text_cap = kUnboundedTextCap;
  bool fixed_code = false;  // every value comes back under `code`
};

PgCol describe_column(const PGresult *res, int col);

// The code under which the value `v` (n bytes of text) of column `c` comes
// back whole.
int32_t cell_code_of_text(const PgCol &c, const char *v, int32_t n);
inline int32_t cell_code(const PgCol &c, const char *v, int32_t n) {
  if (c.fixed_code) return c.code;
  if (c.code == VESK_TYPE_VARCHAR || c.code == VESK_TYPE_CHAR)
    return n <= c.text_cap ? c.code : VESK_TYPE_CLOB;
  return cell_code_of_text(c, v, n);
}
// The raw size that goes with a cell's code.
int32_t cell_size(const PgCol &c, int32_t code);

// Deliver the value (null, or n bytes of text) by `type` (cli_get_field).
int deliver(const PgCol &c, const char *v, int32_t n, bool null, int32_t type, void *buf,
            int32_t cap, int32_t *len, std::string *err);

}  // namespace pg
}  // namespace vesk

// ---- the plain number forms the server prints, read by hand ----
//
// "-123" (at most 18 digits, so it cannot overflow) and "-123.5" (digits
// that fit 2^53, at most 22 after the point).  A decimal of that form is
// one exact integer divided by one exact power of ten: a single correctly
// rounded operation, the same double from_chars gives.  Any other text
// (more digits, an exponent, "NaN", a sign "+", a blank) is not plain.
inline bool plain_int(const char *p, const char *end, int64_t *out) {
  const bool neg = p < end && *p == '-';
  if (neg) ++p;
  if (p == end || end - p > 18) return false;
  uint64_t x = 0;
  for (; p < end; ++p) {
    const unsigned d = static_cast<unsigned char>(*p) - unsigned{'0'};
    if (d > 9) return false;
    x = x * 10 + d;
  }
  *out = neg ? -static_cast<int64_t>(x) : static_cast<int64_t>(x);
  return true;
}

inline bool plain_double(const char *p, const char *end, double *out) {
  static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const bool neg = p < end && *p == '-';
  if (neg) ++p;
  uint64_t w = 0;
  int digits = 0, after = 0;
  const char *start = p;
  for (; p < end; ++p) {
    const unsigned d = static_cast<unsigned char>(*p) - unsigned{'0'};
    if (d > 9) break;
    w = w * 10 + d;
    if (++digits > 18) return false;
  }
  if (p == start) return false;
  if (p < end && *p == '.') {
    const char *frac = ++p;
    for (; p < end; ++p) {
      const unsigned d = static_cast<unsigned char>(*p) - unsigned{'0'};
      if (d > 9) break;
      w = w * 10 + d;
      if (++digits > 18) return false;
    }
    after = static_cast<int>(p - frac);
    if (after == 0) return false;
  }
  if (p != end || w > (uint64_t{1} << 53) || after > 22) return false;
  double x = static_cast<double>(w);
  if (after) x /= kPow10[after];
  *out = neg ? -x : x;
  return true;
}

// The deliveries deliver() makes most, done inline: a NULL, a plain
// integer or float under a numeric code, a text that fits under a text
// code.  Returns kNotQuick for anything else (deliver() then does it, with
// the same result for these).
constexpr int kNotQuick = -100;
inline int deliver_quick(const char *v, int32_t n, bool null, int32_t type, void *buf,
                         int32_t cap, int32_t *len) {
  if (len == nullptr) return kNotQuick;
  if (null) {
    *len = VESK_NULL_LENGTH;
    return VESK_OK;
  }
  if (buf == nullptr) return kNotQuick;
  int64_t i;
  double d;
  switch (type) {
    case VESK_TYPE_BIGINT:
      if (cap < 8 || !plain_int(v, v + n, &i)) return kNotQuick;
      std::memcpy(buf, &i, 8);
      *len = 8;
      return VESK_OK;
    case VESK_TYPE_INTEGER: {
      if (cap < 4 || !plain_int(v, v + n, &i)) return kNotQuick;
      const int32_t x = static_cast<int32_t>(i);
      std::memcpy(buf, &x, 4);
      *len = 4;
      return VESK_OK;
    }
    case VESK_TYPE_SMALLINT: {
      if (cap < 2 || !plain_int(v, v + n, &i)) return kNotQuick;
      const int16_t x = static_cast<int16_t>(i);
      std::memcpy(buf, &x, 2);
      *len = 2;
      return VESK_OK;
    }
    case VESK_TYPE_DOUBLE:
      if (cap < 8 || !plain_double(v, v + n, &d)) return kNotQuick;
      std::memcpy(buf, &d, 8);
      *len = 8;
      return VESK_OK;
    case VESK_TYPE_FLOAT: {
      if (cap < 4 || !plain_double(v, v + n, &d)) return kNotQuick;
      const float x = static_cast<float>(d);
      std::memcpy(buf, &x, 4);
      *len = 4;
      return VESK_OK;
    }
    case VESK_TYPE_VARCHAR:
    case VESK_TYPE_TEXT:
    case VESK_TYPE_CHAR:
      if (n <= 0 || n > cap) return kNotQuick;
      std::memcpy(buf, v, static_cast<size_t>(n));
      *len = n;
      return VESK_OK;
    default:
      return kNotQuick;
  }
}

#endif
