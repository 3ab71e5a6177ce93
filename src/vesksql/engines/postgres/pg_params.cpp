#include "pg_params.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "pg_types.h"
#include "vesksql.h"

namespace vesk {
namespace pg {

namespace {

constexpr Oid kByteaOid = 17;

bool is_temporal(int32_t type) {
  return type == VESK_TYPE_DATE || type == VESK_TYPE_DATETIME || type == VESK_TYPE_DATETIME_TZ;
}

// The value bound under the placeholder's name as written (":id"), else
// under the name without its prefix ("id").
const Value *named_value(const ParamStore &ps, const std::string &name) {
  const Value *bare = nullptr;
  for (const auto &nv : ps.named) {
    if (nv.first == name) return &nv.second;
    if (bare == nullptr && nv.first.size() + 1 == name.size() &&
        name.compare(1, std::string::npos, nv.first) == 0)
      bare = &nv.second;
  }
  return bare;
}

}  // namespace

void append_integer(int64_t v, std::string *out) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out->append(buf, static_cast<size_t>(r.ptr - buf));
}

void append_double(double v, std::string *out) {
  if (std::isnan(v)) {
    out->append("NaN");
  } else if (std::isinf(v)) {
    out->append(v > 0 ? "Infinity" : "-Infinity");
  } else {
    // The shortest text that reads back as the same double.
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out->append(buf, static_cast<size_t>(r.ptr - buf));
  }
}

void append_number(const ArrayColumn &col, int32_t row, std::string *out) {
  if (col.kind == ArrayColumn::Int)
    append_integer(col.ints[static_cast<size_t>(row)], out);
  else
    append_double(col.reals[static_cast<size_t>(row)], out);
}

void ParamArrays::resize(size_t n) {
  // Every slot is written whole by set(): the arrays only change size.
  if (values.size() != n) {
    values.resize(n);
    lengths.resize(n);
    formats.resize(n);
    types.resize(n);
  }
  if (texts.size() < n) texts.resize(n);
}

namespace {

constexpr Oid kInt2Oid = 21, kInt4Oid = 23, kInt8Oid = 20, kFloat8Oid = 701;

void put_be(uint64_t v, int bytes, std::string *out) {
  char b[8];
  for (int k = bytes - 1; k >= 0; --k) {
    b[k] = static_cast<char>(v & 0xff);
    v >>= 8;
  }
  out->assign(b, static_cast<size_t>(bytes));
}

// A text of the form -?D+(.D+)?([eE][+-]?D+)? (the form numbers bound as
// text take) read as the double the server reads from it: both round
// correctly, so they agree.  Only normal values and a zero written as
// zeros: a text the server would refuse as out of range, or read as a
// subnormal, stays text.
bool plain_decimal(const std::string &t, double *out) {
  const char *p = t.data(), *end = p + t.size();
  const char *q = p;
  if (q < end && *q == '-') ++q;
  const char *digits = q;
  bool nonzero = false;
  for (; q < end && *q >= '0' && *q <= '9'; ++q) nonzero = nonzero || *q != '0';
  if (q == digits) return false;
  const bool point = q < end && *q == '.';
  if (point) {
    const char *frac = ++q;
    for (; q < end && *q >= '0' && *q <= '9'; ++q) nonzero = nonzero || *q != '0';
    if (q == frac) return false;
  }
  const bool exponent = q < end && (*q == 'e' || *q == 'E');
  if (exponent) {
    ++q;
    if (q < end && (*q == '+' || *q == '-')) ++q;
    const char *exp = q;
    while (q < end && *q >= '0' && *q <= '9') ++q;
    if (q == exp) return false;
  }
  if (q != end) return false;
  // The quick way first: without an exponent, zeros that end the fraction
  // (and then a bare point) do not change the value, and dropping them
  // often brings the digits within what plain_double reads exactly.
  const char *trimmed = end;
  if (point && !exponent) {
    while (trimmed[-1] == '0') --trimmed;
    if (trimmed[-1] == '.') --trimmed;
  }
  double d = 0;
  if (!plain_double(p, trimmed, &d)) {
    const auto r = std::from_chars(p, end, d);
    if (r.ec != std::errc() || r.ptr != end) return false;
  }
  if (!(std::isnormal(d) || (d == 0 && !nonzero))) return false;
  *out = d;
  return true;
}

// A number in the binary form of the parameter's type, where that form
// holds exactly the value the server would read from its text: an integer
// for int2, int4 and int8 within their ranges (beyond them the text goes,
// and the server refuses it as before), a normal or zero double for
// float8 (its text is the shortest one that reads back as the same
// double), an integer of at most 2^53 for float8, a plain decimal text for
// float8.  False: the text form goes.
bool binary_number(const Value &v, Oid type, std::string *out) {
  if (v.kind == Value::Int) {
    switch (type) {
      case kInt8Oid: put_be(static_cast<uint64_t>(v.i), 8, out); return true;
      case kInt4Oid:
        if (v.i < INT32_MIN || v.i > INT32_MAX) return false;
        put_be(static_cast<uint64_t>(v.i), 4, out);
        return true;
      case kInt2Oid:
        if (v.i < INT16_MIN || v.i > INT16_MAX) return false;
        put_be(static_cast<uint64_t>(v.i), 2, out);
        return true;
      case kFloat8Oid: {
        constexpr int64_t kExact = int64_t{1} << 53;
        if (v.i < -kExact || v.i > kExact) return false;
        const double d = static_cast<double>(v.i);
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        put_be(bits, 8, out);
        return true;
      }
      default: return false;
    }
  }
  double d;
  if (type != kFloat8Oid) return false;
  if (v.kind == Value::Real) {
    if (!std::isnormal(v.d) && v.d != 0) return false;  // as for a text below
    d = v.d;
  } else if (v.kind != Value::Text || !plain_decimal(v.bytes, &d)) {
    return false;
  }
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  put_be(bits, 8, out);
  return true;
}

}  // namespace

void ParamArrays::set(size_t i, const Value &v, Oid server_type) {
  lengths[i] = 0;
  formats[i] = 0;
  types[i] = 0;
  switch (v.kind) {
    case Value::Int:
    case Value::Real:
      if (server_type != 0 && binary_number(v, server_type, &texts[i])) {
        values[i] = texts[i].data();
        lengths[i] = static_cast<int>(texts[i].size());
        formats[i] = 1;
        break;
      }
      texts[i].clear();
      if (v.kind == Value::Int) append_integer(v.i, &texts[i]);
      else append_double(v.d, &texts[i]);
      values[i] = texts[i].c_str();
      break;
    case Value::Text:
      if (server_type == kFloat8Oid && binary_number(v, server_type, &texts[i])) {
        values[i] = texts[i].data();  // a float bound as its text
        lengths[i] = 8;
        formats[i] = 1;
      } else if (is_temporal(v.type) && !v.bytes.empty() && v.bytes[0] == ' ') {
        // A year written in four columns (" 987-06-05") would be read by
        // the server as a two-digit year: its blanks become zeros.
        texts[i] = v.bytes;
        for (size_t k = 0; k < texts[i].size() && texts[i][k] == ' '; ++k) texts[i][k] = '0';
        values[i] = texts[i].c_str();
      } else {
        values[i] = v.bytes.c_str();
      }
      break;
    case Value::Blob:
      values[i] = v.bytes.data();
      lengths[i] = static_cast<int>(v.bytes.size());
      formats[i] = 1;
      types[i] = kByteaOid;
      break;
    default:  // NULL
      values[i] = nullptr;
      break;
  }
}

bool gather(const SqlStatement &st, const ParamStore &ps, ParamArrays *args, std::string *err,
            const std::vector<Oid> *server_types) {
  args->resize(st.params.size());
  for (size_t i = 0; i < st.params.size(); ++i) {
    const ParamRef &ref = st.params[i];
    const Value *v = nullptr;
    if (ref.position >= 0) {
      size_t k = static_cast<size_t>(ref.position);
      if (k < ps.positional.size() && ps.positional[k].kind != Value::Unset) v = &ps.positional[k];
      if (v == nullptr) {
        *err = "no value is bound for parameter " + std::to_string(k + 1);
        return false;
      }
    } else {
      v = named_value(ps, ref.name);
      if (v == nullptr) {
        *err = "no value is bound for parameter " + ref.name;
        return false;
      }
    }
    args->set(i, *v, server_types != nullptr && i < server_types->size() ? (*server_types)[i] : 0);
  }
  return true;
}

}  // namespace pg
}  // namespace vesk
