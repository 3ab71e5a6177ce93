#include "routine.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "errors.h"
#include "text_util.h"
#include "vesksql.h"

namespace vesk {

namespace {

constexpr char kStateCast[] = "22018";      // a value that cannot be read as the type
constexpr char kStateRange[] = "22003";     // a number outside the type's range

const char *skip_blanks(const char *p) {
  while (is_blank(*p)) ++p;
  return p;
}

bool ident_start(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}
bool ident_char(unsigned char c) {
  return ident_start(c) || (c >= '0' && c <= '9') || c == '$';
}

// One name part at *p; advances past it.
bool read_part(const char **p, NamePart *part) {
  const char *s = *p;
  if (*s == '"') {
    std::string text;
    for (++s;; ++s) {
      if (*s == '\0') return false;
      if (*s == '"') {
        if (s[1] != '"') break;
        ++s;
      }
      text += *s;
    }
    if (text.empty()) return false;
    part->text = std::move(text);
    part->quoted = true;
    *p = s + 1;
    return true;
  }
  if (!ident_start(static_cast<unsigned char>(*s))) return false;
  const char *b = s;
  while (ident_char(static_cast<unsigned char>(*s))) ++s;
  part->text.assign(b, static_cast<size_t>(s - b));
  part->quoted = false;
  *p = s;
  return true;
}

bool refuse(std::string *err, const std::string &why) {
  *err = "routine statement: " + why;
  return false;
}

// A value as an integer: decimal digits, possibly with a zero fraction
// ("12.000"), possibly in exponent-free form only.  *too_big (when given)
// tells an integer beyond 64 bits from a text that is no integer.
bool parse_integer(const char *s, size_t n, int64_t *out, bool *too_big = nullptr) {
  if (too_big) *too_big = false;
  const char *end = s + n;
  while (s < end && is_blank(*s)) ++s;
  while (end > s && is_blank(end[-1])) --end;
  if (s < end && *s == '+') ++s;
  auto r = std::from_chars(s, end, *out);
  if (r.ptr == s) return false;
  const char *q = r.ptr;
  if (q < end && *q == '.') {
    ++q;
    while (q < end && *q == '0') ++q;
  }
  if (q != end) return false;
  if (r.ec == std::errc::result_out_of_range && too_big) *too_big = true;
  return r.ec == std::errc();
}

// Whether a decimal number too far from 1 for a double ("1e400",
// "0.000...1") is too large rather than too small: the place of its first
// significant digit, moved by its exponent.
bool beyond_double_range(const char *s, const char *end) {
  const char *p = s;
  if (p < end && (*p == '-' || *p == '+')) ++p;
  int64_t lead = 0;   // digits before the point, from the first significant one
  int64_t zeros = 0;  // zeros after the point before the first significant digit
  bool significant = false, fraction = false;
  for (; p < end; ++p) {
    if (*p == '.') {
      fraction = true;
      continue;
    }
    if (*p < '0' || *p > '9') break;
    significant = significant || *p != '0';
    if (!fraction && significant) ++lead;
    if (fraction && !significant) ++zeros;
  }
  int64_t place = lead > 0 ? lead - 1 : -(zeros + 1);
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    int64_t e = 0;
    auto r = std::from_chars(p, end, e);
    if (r.ec == std::errc::result_out_of_range) return !negative;
    place += negative ? -e : e;
  }
  return place > 0;
}

bool parse_double(const char *s, size_t n, double *out) {
  const char *end = s + n;
  while (s < end && is_blank(*s)) ++s;
  while (end > s && is_blank(end[-1])) --end;
  if (s < end && *s == '+') ++s;
  double v = 0;
  auto r = std::from_chars(s, end, v);
  if (r.ptr == s || r.ptr != end) return false;
  if (r.ec == std::errc::result_out_of_range) {
    // Out of range leaves nothing read: an overflow reads as the infinity
    // of that sign, an underflow as the zero of that sign (the nearest
    // values).
    const bool negative = *s == '-';
    v = beyond_double_range(s, end) ? (negative ? -HUGE_VAL : HUGE_VAL) : (negative ? -0.0 : 0.0);
  } else if (r.ec != std::errc()) {
    return false;
  }
  *out = v;
  return true;
}

// 1, 0 or -1 (not a truth value).
int parse_bool(const char *s, size_t n) {
  std::string t(s, n);
  while (!t.empty() && is_blank(t.back())) t.pop_back();
  size_t b = 0;
  while (b < t.size() && is_blank(t[b])) ++b;
  t = ascii_upper(t.substr(b));
  for (const char *yes : {"T", "TRUE", "1", "Y", "YES", "ON"})
    if (t == yes) return 1;
  for (const char *no : {"F", "FALSE", "0", "N", "NO", "OFF"})
    if (t == no) return 0;
  int64_t i;
  if (parse_integer(s, n, &i)) return i != 0;
  return -1;
}

bool is_binary(int32_t type) {
  return type == VESK_TYPE_BINARY || type == VESK_TYPE_VARBINARY || type == VESK_TYPE_BLOB;
}

std::string shown(const char *data, size_t n) {
  constexpr size_t kShown = 40;
  size_t cut = utf8_cut_length(data, n, kShown);
  std::string s(data, cut);
  if (cut < n) s += "...";
  return "'" + s + "'";
}

}  // namespace

bool parse_routine_statement(const char *stmt, RoutineStatement *out, std::string *err) {
  *out = RoutineStatement();
  const char *p = skip_blanks(stmt);
  if (!ascii_ieq(p, "EXECUTE", 7) || !is_blank(p[7]))
    return refuse(err, "it does not begin with \"execute \"");
  p = skip_blanks(p + 8);
  for (;;) {
    NamePart part;
    if (!read_part(&p, &part)) return refuse(err, "the routine name is missing or not a valid name");
    out->name.push_back(std::move(part));
    p = skip_blanks(p);
    if (*p != '.') break;
    p = skip_blanks(p + 1);
  }
  if (out->name.size() > 2)
    return refuse(err, "the routine name has more than two parts (schema and name)");
  if (*p == '(') {
    p = skip_blanks(p + 1);
    if (*p != ')') {
      for (;;) {
        if (*p != '?') return refuse(err, "only \"?\" placeholders may stand between the parentheses");
        ++out->placeholders;
        p = skip_blanks(p + 1);
        if (*p == ',') {
          p = skip_blanks(p + 1);
          continue;
        }
        if (*p == ')') break;
        return refuse(err, "the placeholders are not separated by \",\"");
      }
    }
    p = skip_blanks(p + 1);
  }
  if (*p == ';') p = skip_blanks(p + 1);
  if (*p != '\0') return refuse(err, "unexpected text after the routine call");
  return true;
}

std::string routine_display_name(const RoutineStatement &st) {
  std::string s;
  for (size_t i = 0; i < st.name.size(); ++i) {
    if (i) s += '.';
    if (st.name[i].quoted) {
      s += '"';
      for (char c : st.name[i].text) {
        if (c == '"') s += '"';
        s += c;
      }
      s += '"';
    } else {
      s += st.name[i].text;
    }
  }
  return s;
}

bool write_output(const OutputTarget &t, const char *data, size_t n, bool null, std::string *err,
                  const char **state) {
  const std::string where = "parameter " + std::to_string(t.pos) + ": ";
  auto cannot = [&](const char *as, const char *st) {
    *err = where + "the returned value " + shown(data, n) + " cannot be read as " + as;
    *state = st;
    return false;
  };
  auto too_small = [&](int32_t width) {
    *err = where + "its buffer of " + std::to_string(t.cap) + " bytes cannot hold a value of " +
           std::to_string(width) + " bytes";
    *state = kStateGeneral;
    return false;
  };
  if (t.len == nullptr && !null && (t.buf == nullptr || t.cap <= 0)) return true;  // nowhere to go
  if (null) {
    if (t.len) *t.len = 0;
    return true;
  }
  char *b = static_cast<char *>(t.buf);
  auto put = [&](const void *v, int32_t width) {
    if (b == nullptr || t.cap < width) return too_small(width);
    std::memcpy(b, v, static_cast<size_t>(width));
    if (t.len) *t.len = width;
    return true;
  };
  switch (t.type) {
    case VESK_TYPE_BOOLEAN: {
      int v = parse_bool(data, n);
      if (v < 0) return cannot("BOOLEAN", kStateCast);
      if (t.cap >= 4) {
        int32_t x = v;
        return put(&x, 4);
      }
      int8_t x = static_cast<int8_t>(v);
      return put(&x, 1);
    }
    case VESK_TYPE_TINYINT:
    case VESK_TYPE_SMALLINT:
    case VESK_TYPE_INTEGER:
    case VESK_TYPE_BIGINT: {
      int64_t v;
      int tv = -1;
      bool too_big = false;
      if (!parse_integer(data, n, &v, &too_big)) {
        const char *names[] = {"TINYINT", "SMALLINT", "INTEGER", "BIGINT"};
        const char *ranged[] = {"TINYINT (out of range)", "SMALLINT (out of range)",
                                "INTEGER (out of range)", "BIGINT (out of range)"};
        int k = t.type == VESK_TYPE_TINYINT ? 0 : t.type == VESK_TYPE_SMALLINT ? 1
              : t.type == VESK_TYPE_INTEGER ? 2 : 3;
        if (too_big) return cannot(ranged[k], kStateRange);
        tv = parse_bool(data, n);  // a flag read as 1 or 0
        if (tv < 0) return cannot(names[k], kStateCast);
        v = tv;
      }
      if (t.type == VESK_TYPE_BIGINT) return put(&v, 8);
      if (t.type == VESK_TYPE_INTEGER) {
        if (v < INT32_MIN || v > INT32_MAX) return cannot("INTEGER (out of range)", kStateRange);
        int32_t x = static_cast<int32_t>(v);
        return put(&x, 4);
      }
      if (t.type == VESK_TYPE_SMALLINT) {
        if (v < INT16_MIN || v > INT16_MAX) return cannot("SMALLINT (out of range)", kStateRange);
        int16_t x = static_cast<int16_t>(v);
        return put(&x, 2);
      }
      if (v < INT8_MIN || v > INT8_MAX) return cannot("TINYINT (out of range)", kStateRange);
      int8_t x = static_cast<int8_t>(v);
      return put(&x, 1);
    }
    case VESK_TYPE_FLOAT:
    case VESK_TYPE_DOUBLE: {
      double v;
      if (!parse_double(data, n, &v)) {
        int64_t i;
        if (!parse_integer(data, n, &i))
          return cannot(t.type == VESK_TYPE_FLOAT ? "FLOAT" : "DOUBLE", kStateCast);
        v = static_cast<double>(i);
      }
      if (t.type == VESK_TYPE_DOUBLE) return put(&v, 8);
      float f = static_cast<float>(v);
      if (std::isinf(f) && !std::isinf(v)) return cannot("FLOAT (out of range)", kStateRange);
      return put(&f, 4);
    }
    default:
      break;
  }
  // Texts, date-time texts, binary values and every other code.
  std::string numeric;
  if (t.type == VESK_TYPE_NUMERIC && t.cap > 0 && n >= static_cast<size_t>(t.cap)) {
    double v;
    // A number beyond a double keeps its own text (cut), not "inf".
    if (parse_double(data, n, &v) && std::isfinite(v)) {
      char tmp[40];
      auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
      if (r.ec == std::errc()) {
        numeric.assign(tmp, static_cast<size_t>(r.ptr - tmp));
        data = numeric.data();
        n = numeric.size();
      }
    }
  }
  if (n == 0) {  // the empty value: one zero byte, length 1
    if (b && t.cap >= 1) b[0] = '\0';
    if (t.len) *t.len = 1;
    return true;
  }
  if (b && t.cap >= 1) {
    size_t room = static_cast<size_t>(t.cap) - 1;
    size_t k = n <= room ? n : is_binary(t.type) ? room : utf8_cut_length(data, n, room);
    std::memcpy(b, data, k);
    b[k] = '\0';
  }
  if (t.len) *t.len = n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(n);
  return true;
}

}  // namespace vesk
