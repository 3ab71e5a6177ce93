#include "pg_params.h"

#include <charconv>
#include <cmath>
#include <cstdio>

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
  values.assign(n, nullptr);
  lengths.assign(n, 0);
  formats.assign(n, 0);
  types.assign(n, 0);
  if (texts.size() < n) texts.resize(n);
}

void ParamArrays::set(size_t i, const Value &v) {
  switch (v.kind) {
    case Value::Int:
    case Value::Real:
      texts[i].clear();
      if (v.kind == Value::Int) append_integer(v.i, &texts[i]);
      else append_double(v.d, &texts[i]);
      values[i] = texts[i].c_str();
      break;
    case Value::Text:
      if (is_temporal(v.type) && !v.bytes.empty() && v.bytes[0] == ' ') {
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

bool gather(const SqlStatement &st, const ParamStore &ps, ParamArrays *args, std::string *err) {
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
    args->set(i, *v);
  }
  return true;
}

}  // namespace pg
}  // namespace vesk
