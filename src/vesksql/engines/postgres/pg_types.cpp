#include "pg_types.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "core/datetime_text.h"
#include "core/deliver.h"
#include "core/handles.h"
#include "vesksql.h"

namespace vesk {
namespace pg {

namespace {

// Type OIDs of the server's built-in types (stable across versions).
constexpr Oid kBool = 16, kBytea = 17, kChar = 18, kName = 19, kInt8 = 20, kInt2 = 21,
              kInt4 = 23, kText = 25, kOid = 26, kFloat4 = 700, kFloat8 = 701,
              kBpchar = 1042, kVarchar = 1043, kDate = 1082, kTime = 1083,
              kTimestamp = 1114, kInterval = 1186, kNumeric = 1700, kRefcursor = 1790;

// A double holds every decimal of up to 15 significant digits so that it
// prints back the same.
constexpr int kExactDigits = 15;

constexpr int64_t kMicrosPerDay = 86400000000LL;

int32_t text_cap_for(int32_t size) { return size > 0 ? 6 * size : kUnboundedTextCap; }

// Significant digits of a numeric text (no leading or trailing zeros).
int significant_digits(const char *v, int32_t n) {
  int first = -1, last = -1, count = 0;
  for (int32_t i = 0; i < n; ++i) {
    char ch = v[i];
    if (ch == 'e' || ch == 'E') break;
    if (ch < '0' || ch > '9') continue;
    if (first < 0 && ch == '0') continue;
    if (first < 0) first = count;
    if (ch != '0') last = count;
    ++count;
  }
  return first < 0 ? 0 : last - first + 1;
}

// An interval in the ISO 8601 form the connection asks the server for
// ("P1Y2M3DT4H5M6.789S", signs per field): months, days, microseconds.
bool parse_interval(const char *v, int32_t n, int64_t *months, int64_t *days, int64_t *micros) {
  *months = *days = *micros = 0;
  int32_t i = 0;
  if (i >= n || v[i] != 'P') return false;
  ++i;
  bool time_part = false;
  while (i < n) {
    if (v[i] == 'T') {
      time_part = true;
      ++i;
      continue;
    }
    bool neg = false;
    if (v[i] == '-' || v[i] == '+') neg = v[i++] == '-';
    int64_t whole = 0;
    int64_t frac = 0;  // microseconds of the fraction
    int32_t start = i;
    while (i < n && v[i] >= '0' && v[i] <= '9') {
      if (whole > (INT64_MAX - 9) / 10) return false;
      whole = whole * 10 + (v[i++] - '0');
    }
    if (i < n && v[i] == '.') {
      ++i;
      int64_t scale = 100000;
      while (i < n && v[i] >= '0' && v[i] <= '9') {
        frac += (v[i++] - '0') * scale;
        scale /= 10;
      }
    }
    if (i == start || i >= n) return false;
    char unit = v[i++];
    if (neg) {
      whole = -whole;
      frac = -frac;
    }
    if (!time_part) {
      if (frac != 0) return false;
      if (unit == 'Y') *months += whole * 12;
      else if (unit == 'M') *months += whole;
      else if (unit == 'W') *days += whole * 7;
      else if (unit == 'D') *days += whole;
      else return false;
    } else {
      if (unit == 'H') *micros += whole * 3600000000LL + frac * 3600;
      else if (unit == 'M') *micros += whole * 60000000LL + frac * 60;
      else if (unit == 'S') *micros += whole * 1000000LL + frac;
      else return false;
    }
  }
  return true;
}

// The server's texts of numbers, read without copying: "42", "-7",
// "1.5e+20", "Infinity", "NaN"; the plain forms by plain_int and
// plain_double (pg_types.h), every other one through from_chars.
int64_t text_int(const char *v, int32_t n) {
  int64_t x = 0;
  const char *p = v, *end = v + n;
  if (plain_int(p, end, &x)) return x;
  if (n > 0 && (v[0] == 't' || v[0] == 'f')) return v[0] == 't';  // a boolean
  x = 0;
  if (p < end && *p == '+') ++p;
  std::from_chars(p, end, x);
  return x;
}

double text_double(const char *v, int32_t n) {
  double x = 0;
  const char *p = v, *end = v + n;
  if (plain_double(p, end, &x)) return x;
  x = 0;
  if (p < end && *p == '+') ++p;
  std::from_chars(p, end, x);
  return x;
}

int hex_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// bytea in the server's hex text form ("\x0a0b...") into `out`.
bool decode_bytea(const char *v, int32_t n, std::string *out) {
  out->clear();
  if (n < 2 || v[0] != '\\' || v[1] != 'x') return false;
  out->reserve(static_cast<size_t>((n - 2) / 2));
  for (int32_t i = 2; i + 1 < n; i += 2) {
    int hi = hex_value(v[i]), lo = hex_value(v[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi << 4 | lo));
  }
  return true;
}

int refuse(std::string *err, int32_t *len, const char *text) {
  *err = text;
  *len = VESK_NULL_LENGTH;
  return VESK_ERROR;
}

}  // namespace

PgCol describe_column(const PGresult *res, int col) {
  PgCol c;
  const char *name = PQfname(res, col);
  c.name = name ? name : "";
  c.oid = PQftype(res, col);
  const int mod = PQfmod(res, col);
  switch (c.oid) {
    case kBool: c.code = VESK_TYPE_BOOLEAN; c.size = 1; break;
    case kInt2: c.code = VESK_TYPE_SMALLINT; c.size = 2; break;
    case kInt4: c.code = VESK_TYPE_INTEGER; c.size = 4; break;
    case kInt8:
    case kOid: c.code = VESK_TYPE_BIGINT; c.size = 8; break;
    case kFloat4: c.code = VESK_TYPE_FLOAT; c.size = 4; break;
    case kFloat8: c.code = VESK_TYPE_DOUBLE; c.size = 8; break;
    case kNumeric:
      c.code = VESK_TYPE_NUMERIC;
      c.size = mod >= 4 ? (((mod - 4) >> 16) & 0xffff) << 16 | ((mod - 4) & 0xffff) : 0;
      break;
    case kVarchar:
      c.code = VESK_TYPE_VARCHAR;
      c.size = (mod >= 5 && mod - 4 <= 32768) ? mod - 4 : -1;
      break;
    case kBpchar:
      c.code = VESK_TYPE_CHAR;
      c.size = (mod >= 5 && mod - 4 <= 32768) ? mod - 4 : -1;
      break;
    case kChar: c.code = VESK_TYPE_CHAR; c.size = 1; break;
    case kDate: c.code = VESK_TYPE_DATE; c.size = 10; break;
    case kTime: c.code = VESK_TYPE_TIME; c.size = 8; break;
    case kTimestamp: c.code = VESK_TYPE_DATETIME_MS; c.size = 8; break;
    case kInterval: {
      // The modifier's range bits: YEAR (1 << 2) and MONTH (1 << 1) alone
      // make a year-month interval.
      const int range = mod >= 0 ? (mod >> 16) & 0x7fff : 0x7fff;
      const bool year_month = range != 0x7fff && (range & ~((1 << 2) | (1 << 1))) == 0;
      c.code = year_month ? VESK_TYPE_INTERVAL_YM : VESK_TYPE_INTERVAL_DS;
      c.size = year_month ? 4 : 8;
      break;
    }
    case kBytea: c.code = VESK_TYPE_BLOB; c.size = -1; break;
    case kRefcursor: c.code = VESK_TYPE_REFCURSOR; c.size = -1; break;
    case kText:
    case kName:
    default: c.code = VESK_TYPE_VARCHAR; c.size = -1; break;
  }
  if (c.code == VESK_TYPE_VARCHAR || c.code == VESK_TYPE_CHAR) c.text_cap = text_cap_for(c.size);
  switch (c.code) {
    case VESK_TYPE_NUMERIC:
    case VESK_TYPE_DATE:
    case VESK_TYPE_TIME:
    case VESK_TYPE_DATETIME_MS:
    case VESK_TYPE_INTERVAL_YM:
    case VESK_TYPE_INTERVAL_DS:
    case VESK_TYPE_VARCHAR:
    case VESK_TYPE_CHAR: c.fixed_code = false; break;
    default: c.fixed_code = true; break;
  }
  return c;
}

int32_t cell_code_of_text(const PgCol &c, const char *v, int32_t n) {
  auto as_text = [&]() { return n <= kUnboundedTextCap ? VESK_TYPE_VARCHAR : VESK_TYPE_CLOB; };
  switch (c.code) {
    case VESK_TYPE_NUMERIC:
      return significant_digits(v, n) <= kExactDigits ? c.code : as_text();
    case VESK_TYPE_DATE:
      return (n == 10 && v[4] == '-') ? c.code : as_text();
    case VESK_TYPE_TIME:
      return n == 8 ? c.code : as_text();
    case VESK_TYPE_DATETIME_MS: {
      int64_t ms;
      return parse_datetime_ms(v, n, &ms) ? c.code : as_text();
    }
    case VESK_TYPE_INTERVAL_YM:
    case VESK_TYPE_INTERVAL_DS: {
      int64_t months, days, micros;
      if (!parse_interval(v, n, &months, &days, &micros)) return as_text();
      if (months == 0) return VESK_TYPE_INTERVAL_DS;
      if (days == 0 && micros == 0 && months >= INT32_MIN && months <= INT32_MAX)
        return VESK_TYPE_INTERVAL_YM;
      return as_text();
    }
    case VESK_TYPE_VARCHAR:
    case VESK_TYPE_CHAR:
      return n <= c.text_cap ? c.code : VESK_TYPE_CLOB;
    default:
      return c.code;
  }
}

int32_t cell_size(const PgCol &c, int32_t code) {
  if (code == c.code) return c.size;
  switch (code) {
    case VESK_TYPE_INTERVAL_YM: return 4;
    case VESK_TYPE_INTERVAL_DS: return 8;
    default: return -1;
  }
}

int deliver(const PgCol &c, const char *v, int32_t n, bool null, int32_t type, void *buf,
            int32_t cap, int32_t *len, std::string *err) {
  int32_t dummy;
  if (len == nullptr) len = &dummy;
  if (null || type == VESK_TYPE_NULL) {
    *len = VESK_NULL_LENGTH;
    return VESK_OK;
  }
  if (buf == nullptr) return refuse(err, len, "get_field: no buffer given");
  switch (type) {
    case VESK_TYPE_BOOLEAN: {
      if (cap < 1) return put_fixed<int8_t>(0, buf, cap, len, err);
      const bool t = n > 0 && (v[0] == 't' || v[0] == 'T' || v[0] == '1' || v[0] == 'y');
      static_cast<char *>(buf)[0] = t ? 'T' : 'F';
      *len = 1;
      return VESK_OK;
    }
    case VESK_TYPE_TINYINT: return put_fixed(static_cast<int8_t>(text_int(v, n)), buf, cap, len, err);
    case VESK_TYPE_SMALLINT:
      return put_fixed(static_cast<int16_t>(text_int(v, n)), buf, cap, len, err);
    case VESK_TYPE_INTEGER: return put_fixed(static_cast<int32_t>(text_int(v, n)), buf, cap, len, err);
    case VESK_TYPE_BIGINT: return put_fixed(static_cast<int64_t>(text_int(v, n)), buf, cap, len, err);
    case VESK_TYPE_FLOAT: return put_fixed(static_cast<float>(text_double(v, n)), buf, cap, len, err);
    case VESK_TYPE_DOUBLE: return put_fixed(text_double(v, n), buf, cap, len, err);
    case VESK_TYPE_INTERVAL_YM:
    case VESK_TYPE_INTERVAL_DS: {
      int64_t months, days, micros;
      if (!parse_interval(v, n, &months, &days, &micros))
        return refuse(err, len, "get_field: the value is not an interval");
      if (type == VESK_TYPE_INTERVAL_YM) {
        if (days != 0 || micros != 0 || months < INT32_MIN || months > INT32_MAX)
          return refuse(err, len, "get_field: the interval is not a count of months");
        return put_fixed(static_cast<int32_t>(months), buf, cap, len, err);
      }
      if (months != 0) return refuse(err, len, "get_field: the interval holds months");
      return put_fixed(days * kMicrosPerDay + micros, buf, cap, len, err);
    }
    case VESK_TYPE_DATETIME_MS: {
      int64_t ms;
      if (!parse_datetime_ms(v, n, &ms))
        return refuse(err, len, "get_field: the value is not a date-time text");
      return put_fixed(ms, buf, cap, len, err);
    }
    case VESK_TYPE_BINARY:
    case VESK_TYPE_VARBINARY:
    case VESK_TYPE_CLOB:
    case VESK_TYPE_BLOB: {
      if (c.oid == kBytea) {
        vesk_lob *loc = *static_cast<vesk_lob **>(buf);
        if (loc == nullptr) return refuse(err, len, "get_field: no large-object locator given");
        if (!decode_bytea(v, n, &loc->data))
          return refuse(err, len, "get_field: the bytea value is not in hex form");
        *len = static_cast<int32_t>(loc->data.size());
        return VESK_OK;
      }
      return put_lob(v, n, type == VESK_TYPE_CLOB && n == 0, buf, len, err);
    }
    default:
      put_text(v, n, type, static_cast<char *>(buf), cap, len);
      return VESK_OK;
  }
}

}  // namespace pg
}  // namespace vesk
