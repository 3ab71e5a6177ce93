#include "params.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>

#include "vesksql.h"

namespace vesk {

namespace {

size_t bounded_strlen(const char *s, int32_t max) {
  if (max <= 0) return 0;
  const void *z = std::memchr(s, 0, static_cast<size_t>(max));
  return z ? static_cast<size_t>(static_cast<const char *>(z) - s) : static_cast<size_t>(max);
}

// How many bytes of a value with a length cell may be read: what the cell
// says, but never more than the buffer holds.  Without a cell, the buffer.
int32_t readable(int32_t buflen, const int32_t *len) {
  if (buflen < 0) return 0;  // a negative buffer length holds nothing
  if (len == nullptr) return buflen;
  return *len < buflen ? *len : buflen;
}

// Codes whose value is a text read up to its length or its first zero byte.
// NUMERIC carries the exact decimal text of a number ("1234.5600").
bool is_text_code(int32_t t) {
  return t == VESK_TYPE_VARCHAR || t == VESK_TYPE_CHAR || t == VESK_TYPE_NCHAR ||
         t == VESK_TYPE_TEXT || t == VESK_TYPE_CLOB || t == VESK_TYPE_CLOB_OLD ||
         t == VESK_TYPE_NUMERIC;
}
bool is_datetime_text_code(int32_t t) {
  return t == VESK_TYPE_DATE || t == VESK_TYPE_TIME || t == VESK_TYPE_TIME_TZ ||
         t == VESK_TYPE_DATETIME || t == VESK_TYPE_DATETIME_TZ;
}
bool is_binary_code(int32_t t) {
  return t == VESK_TYPE_BINARY || t == VESK_TYPE_VARBINARY || t == VESK_TYPE_BLOB;
}

bool need(int32_t buflen, int32_t width, int32_t type, std::string *err) {
  if (buflen >= width) return true;
  if (err == nullptr) return false;
  *err = "parameter of type " + std::to_string(type) + " needs a buffer of " +
         std::to_string(width) + " bytes, " + std::to_string(buflen) + " given";
  return false;
}

// Replace the bytes a slot holds, reusing its storage (a slot bound in a
// loop takes values of much the same size every time).
void assign_bytes(std::string *s, const char *p, size_t n) {
  s->clear();
  s->append(p, n);
}

}  // namespace

bool value_from_buffer(int32_t type, const void *buf, int32_t buflen, const int32_t *len,
                       Value *out, std::string *err) {
  Value &v = *out;
  v.kind = Value::Unset;
  v.type = type;
  const char *b = static_cast<const char *>(buf);
  if (type == VESK_TYPE_NULL || buf == nullptr || (len != nullptr && *len == VESK_NULL_LENGTH)) {
    v.kind = Value::Null;
    return true;
  }
  // A fixed-width number of `width` bytes read as T.
  auto number = [&](auto as, int32_t width, Value::Kind kind) {
    if (!need(buflen, width, type, err)) return false;
    decltype(as) x;
    std::memcpy(&x, b, sizeof x);
    v.kind = kind;
    if (kind == Value::Int) {
      v.i = static_cast<int64_t>(x);
    } else {
      v.d = static_cast<double>(x);
    }
    return true;
  };
  switch (type) {
    case VESK_TYPE_BOOLEAN:
      if (buflen < 4) {
        // A flag of one byte (a routine's BOOLEAN position passes 1).
        if (!need(buflen, 1, type, err)) return false;
        v.kind = Value::Int;
        v.i = b[0] != 0;
        return true;
      }
      return number(int32_t{}, 4, Value::Int);
    case VESK_TYPE_INTEGER: return number(int32_t{}, 4, Value::Int);
    case VESK_TYPE_TINYINT: return number(int8_t{}, 1, Value::Int);
    case VESK_TYPE_SMALLINT: return number(int16_t{}, 2, Value::Int);
    case VESK_TYPE_BIGINT: return number(int64_t{}, 8, Value::Int);
    case VESK_TYPE_FLOAT: return number(float{}, 4, Value::Real);
    case VESK_TYPE_DOUBLE: return number(double{}, 8, Value::Real);
    default: break;
  }
  if (is_text_code(type)) {
    v.kind = Value::Text;
    assign_bytes(&v.bytes, b, bounded_strlen(b, readable(buflen, len)));
  } else if (is_datetime_text_code(type)) {
    v.kind = Value::Text;
    assign_bytes(&v.bytes, b, bounded_strlen(b, buflen));
  } else if (is_binary_code(type)) {
    int32_t n = readable(buflen, len);
    v.kind = Value::Blob;
    if (n > 0) assign_bytes(&v.bytes, b, static_cast<size_t>(n));
    else v.bytes.clear();
  } else {
    if (err != nullptr) *err = "unsupported parameter type code " + std::to_string(type);
    return false;
  }
  return true;
}

void ParamStore::clear() {
  // Storage above this stays with a slot only until the next clear.
  constexpr size_t kKeptCapacity = 4096;
  for (Value &v : positional) {
    v.kind = Value::Unset;
    if (v.bytes.capacity() > kKeptCapacity) std::string().swap(v.bytes);
  }
  named.clear();
  named_at.clear();
  targets.clear();
  pending_error.clear();
}

bool ParamStore::empty() const {
  if (!named.empty() || !pending_error.empty() || !targets.empty()) return false;
  for (const Value &v : positional) {
    if (v.kind != Value::Unset) return false;
  }
  return true;
}

void ParamStore::bind_named(const char *name, Value v) {
  auto found = named_at.find(name);
  if (found != named_at.end()) {
    named[found->second].second = std::move(v);
    return;
  }
  named.emplace_back(name, std::move(v));
  named_at.emplace(named.back().first, named.size() - 1);
}

const Value *ParamStore::find_named(const std::string &name) const {
  auto found = named_at.find(name);
  return found == named_at.end() ? nullptr : &named[found->second].second;
}

void ParamStore::set_target(int32_t pos, const OutputTarget *t) {
  for (size_t i = 0; i < targets.size(); ++i) {
    if (targets[i].pos != pos) continue;
    if (t) {
      targets[i] = *t;
    } else {
      targets.erase(targets.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return;
  }
  if (t) targets.push_back(*t);
}

const OutputTarget *ParamStore::target(int32_t pos) const {
  for (const OutputTarget &t : targets)
    if (t.pos == pos) return &t;
  return nullptr;
}

const OutputTarget *ParamStore::return_target() const {
  for (const OutputTarget &t : targets)
    if (t.direction == VESK_PARAM_RETURN) return &t;
  return nullptr;
}

const Value *ParamStore::value(int32_t pos) const {
  if (pos < 1 || static_cast<size_t>(pos) > positional.size()) return nullptr;
  const Value &v = positional[static_cast<size_t>(pos - 1)];
  return v.kind == Value::Unset ? nullptr : &v;
}

bool array_from_buffer(int32_t type, int32_t count, const void *data, int32_t width,
                       const int32_t *lens, ArrayColumn *out, std::string *err, bool compact) {
  if (count < 0) {
    *err = "bind_array: negative element count";
    return false;
  }
  if (count > 0 && (data == nullptr || lens == nullptr)) {
    *err = "bind_array: data or length array missing";
    return false;
  }
  ArrayColumn col;
  col.count = count;
  const size_t n_elems = static_cast<size_t>(count);
  const char *d = static_cast<const char *>(data);
  auto fixed = [&](int32_t w) {
    if (width != w) {
      *err = "bind_array: type " + std::to_string(type) + " needs width " +
             std::to_string(w) + ", " + std::to_string(width) + " given";
      return false;
    }
    return true;
  };
  // The lengths of a fixed-width column: kept in the full form, and in the
  // compact one only when an element is NULL.
  auto fixed_lengths = [&](int32_t w) {
    bool any_null = false;
    for (size_t i = 0; i < n_elems && !any_null; ++i) any_null = lens[i] == 0;
    if (compact && !any_null) return;
    col.length.resize(n_elems);
    for (size_t i = 0; i < n_elems; ++i) col.length[i] = lens[i] == 0 ? -1 : w;
  };
  if (type == VESK_TYPE_BOOLEAN || type == VESK_TYPE_INTEGER) {
    if (!fixed(4)) return false;
    col.kind = ArrayColumn::Int;
    col.ints.resize(n_elems);
    for (size_t i = 0; i < n_elems; ++i) {
      int32_t x;
      std::memcpy(&x, d + 4 * i, 4);
      col.ints[i] = x;
    }
    fixed_lengths(4);
  } else if (type == VESK_TYPE_BIGINT) {
    if (!fixed(8)) return false;
    col.kind = ArrayColumn::Int;
    // The compact form keeps a column whose values all fit 32 bits (ids,
    // counts) at half the size.
    bool narrow = compact;
    for (size_t i = 0; i < n_elems && narrow; ++i) {
      int64_t x;
      std::memcpy(&x, d + 8 * i, 8);
      narrow = x >= INT32_MIN && x <= INT32_MAX;
    }
    if (narrow) {
      col.ints32.resize(n_elems);
      for (size_t i = 0; i < n_elems; ++i) {
        int64_t x;
        std::memcpy(&x, d + 8 * i, 8);
        col.ints32[i] = static_cast<int32_t>(x);
      }
    } else {
      col.ints.resize(n_elems);
      if (count) std::memcpy(col.ints.data(), d, 8 * n_elems);
    }
    fixed_lengths(8);
  } else if (type == VESK_TYPE_DOUBLE) {
    if (!fixed(8)) return false;
    col.kind = ArrayColumn::Real;
    // The compact form keeps a column whose values are all exactly floats
    // (halves, quarters, small whole numbers) at half the size.  NaN, the
    // infinities and values beyond a float's range keep it at full width.
    bool narrow = compact;
    for (size_t i = 0; i < n_elems && narrow; ++i) {
      double x;
      std::memcpy(&x, d + 8 * i, 8);
      narrow = std::fabs(x) <= FLT_MAX && static_cast<double>(static_cast<float>(x)) == x;
    }
    if (narrow) {
      col.reals32.resize(n_elems);
      for (size_t i = 0; i < n_elems; ++i) {
        double x;
        std::memcpy(&x, d + 8 * i, 8);
        col.reals32[i] = static_cast<float>(x);
      }
    } else {
      col.reals.resize(n_elems);
      if (count) std::memcpy(col.reals.data(), d, 8 * n_elems);
    }
    fixed_lengths(8);
  } else if (is_text_code(type) || is_datetime_text_code(type) || is_binary_code(type)) {
    bool text = !is_binary_code(type);
    col.kind = text ? ArrayColumn::Text : ArrayColumn::Blob;
    if (width < 0) {
      *err = "bind_array: negative width";
      return false;
    }
    // First pass: check every record and measure what is kept of it, so
    // the bytes are copied once into storage of their exact size.
    const size_t total = static_cast<size_t>(width);
    size_t off = 0, kept = 0;
    bool any_null = false;
    bool all_short = true;
    for (int32_t i = 0; i < count; ++i) {
      int32_t n;
      if (off + 4 > total) {
        *err = "bind_array: record " + std::to_string(i + 1) + " runs past the width";
        return false;
      }
      std::memcpy(&n, d + off, 4);
      off += 4;
      if (n < 0 || static_cast<size_t>(n) > total - off) {
        *err = "bind_array: record " + std::to_string(i + 1) + " runs past the width";
        return false;
      }
      // A binary record of no bytes under a non-zero element length is the
      // empty value (one zero byte would be b"\0").
      bool empty_binary = !text && n == 0 && lens[i] > 0;
      if (lens[i] != 0 && lens[i] != n && !empty_binary) {
        *err = "bind_array: element " + std::to_string(i + 1) + " has length " +
               std::to_string(lens[i]) + " but its record holds " + std::to_string(n);
        return false;
      }
      if (lens[i] == 0) {
        any_null = true;
      } else {
        // Text stops at its first zero byte: an empty text arrives as one zero byte.
        const size_t m = text ? strnlen(d + off, static_cast<size_t>(n)) : static_cast<size_t>(n);
        kept += m;
        if (m > static_cast<size_t>(ArrayColumn::kShortMax)) all_short = false;
      }
      off += static_cast<size_t>(n);
    }
    // Second pass: the bytes, the starts and (where kept) the lengths.
    if (compact && all_short) {
      // A byte per element and a start per block of elements.
      col.arena.reserve(kept);
      col.short_len.resize(n_elems);
      col.block_start.resize((n_elems + ArrayColumn::kBlockRows - 1) / ArrayColumn::kBlockRows);
      off = 0;
      for (size_t i = 0; i < n_elems; ++i) {
        int32_t n;
        std::memcpy(&n, d + off, 4);
        off += 4;
        if ((i & (ArrayColumn::kBlockRows - 1)) == 0)
          col.block_start[i >> ArrayColumn::kBlockShift] = static_cast<uint32_t>(col.arena.size());
        if (lens[i] == 0) {
          col.short_len[i] = ArrayColumn::kShortNull;
        } else {
          size_t m = text ? strnlen(d + off, static_cast<size_t>(n)) : static_cast<size_t>(n);
          col.arena.append(d + off, m);
          col.short_len[i] = static_cast<uint8_t>(m);
        }
        off += static_cast<size_t>(n);
      }
      *out = std::move(col);
      return true;
    }
    const bool with_lengths = !compact || any_null;
    col.arena.reserve(kept);
    col.offset.resize(compact ? n_elems + 1 : n_elems);
    if (with_lengths) col.length.resize(n_elems);
    off = 0;
    for (size_t i = 0; i < n_elems; ++i) {
      int32_t n;
      std::memcpy(&n, d + off, 4);
      off += 4;
      col.offset[i] = static_cast<uint32_t>(col.arena.size());
      if (lens[i] == 0) {
        if (with_lengths) col.length[i] = -1;
      } else {
        size_t m = text ? strnlen(d + off, static_cast<size_t>(n)) : static_cast<size_t>(n);
        col.arena.append(d + off, m);
        if (with_lengths) col.length[i] = static_cast<int32_t>(m);
      }
      off += static_cast<size_t>(n);
    }
    if (compact) col.offset[n_elems] = static_cast<uint32_t>(col.arena.size());
  } else {
    *err = "bind_array: unsupported type code " + std::to_string(type);
    return false;
  }
  *out = std::move(col);
  return true;
}

}  // namespace vesk
