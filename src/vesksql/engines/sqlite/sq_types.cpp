#include "sq_types.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>

#include "core/datetime_text.h"
#include "core/text_util.h"
#include "vesksql.h"

namespace vesk {
namespace sq {

namespace {

constexpr int64_t kExactDoubleLimit = 9007199254740992LL;  // 2^53

// "(n)" or "(p,s)" after the type word.
void size_args(const std::string &d, long *a, long *b) {
  *a = -1;
  *b = 0;
  size_t open = d.find('(');
  if (open == std::string::npos) return;
  char *end = nullptr;
  *a = std::strtol(d.c_str() + open + 1, &end, 10);
  if (end && *end == ',') *b = std::strtol(end + 1, &end, 10);
  if (!end || (*end != ')' && *end != ' ')) {
    *a = -1;
    *b = 0;
  }
}

bool has(const std::string &u, const char *w) { return u.find(w) != std::string::npos; }



}  // namespace

bool declared_code(const char *decl, int32_t *code, int32_t *size) {
  if (decl == nullptr || *decl == '\0') return false;
  const std::string u = ascii_upper(decl);
  long a, b;
  // SQLite's affinity order: INT before CHAR/CLOB/TEXT before BLOB before
  // REAL/FLOA/DOUB; BOOL is looked at first so BOOLINT-like words stay
  // booleans; the date-time words only reach the NUMERIC group.
  if (has(u, "BOOL")) {
    *code = VESK_TYPE_BOOLEAN;
    *size = 1;
  } else if (has(u, "INT")) {
    *code = VESK_TYPE_BIGINT;
    *size = 8;
  } else if (has(u, "CHAR") || has(u, "CLOB") || has(u, "TEXT")) {
    size_args(u, &a, &b);
    *code = VESK_TYPE_VARCHAR;
    *size = (a >= 1 && a <= 32768) ? static_cast<int32_t>(a) : -1;
  } else if (has(u, "BLOB")) {
    *code = VESK_TYPE_BLOB;
    *size = -1;
  } else if (has(u, "REAL") || has(u, "FLOA") || has(u, "DOUB")) {
    *code = VESK_TYPE_DOUBLE;
    *size = 8;
  } else if (has(u, "DATETIME") || has(u, "TIMESTAMP")) {
    *code = VESK_TYPE_DATETIME_MS;
    *size = 8;
  } else if (has(u, "DATE")) {
    *code = VESK_TYPE_DATE;
    *size = 10;
  } else if (has(u, "TIME")) {
    *code = VESK_TYPE_TIME;
    *size = 8;
  } else if (has(u, "NUMERIC") || has(u, "DECIMAL")) {
    size_args(u, &a, &b);
    if (a < 0 || a > 32767) a = 0;
    if (b < 0 || b > 32767) b = 0;
    *code = VESK_TYPE_NUMERIC;
    *size = static_cast<int32_t>((a << 16) | b);
  } else {
    return false;
  }
  return true;
}

void value_code(int storage, int32_t *code, int32_t *size) {
  switch (storage) {
    case SQLITE_INTEGER: *code = VESK_TYPE_BIGINT; *size = 8; break;
    case SQLITE_FLOAT: *code = VESK_TYPE_DOUBLE; *size = 8; break;
    case SQLITE_BLOB: *code = VESK_TYPE_BLOB; *size = -1; break;
    default: *code = VESK_TYPE_VARCHAR; *size = -1; break;
  }
}

void finish_col(ColInfo *c) {
  if (c->code == VESK_TYPE_VARCHAR && c->size > 0)
    c->text_cap = 6 * c->size;
  else
    c->text_cap = kUnboundedTextCap;
}

int32_t cell_code_of(const ColInfo &c, const Cell &cell) {
  switch (cell.storage) {
    case SQLITE_INTEGER:
      switch (c.code) {
        case VESK_TYPE_BOOLEAN:
          return (cell.i == 0 || cell.i == 1) ? VESK_TYPE_BOOLEAN : VESK_TYPE_BIGINT;
        case VESK_TYPE_DOUBLE:
        case VESK_TYPE_NUMERIC:
          return (cell.i >= -kExactDoubleLimit && cell.i <= kExactDoubleLimit) ? c.code
                                                                               : VESK_TYPE_BIGINT;
        default:
          return VESK_TYPE_BIGINT;
      }
    case SQLITE_FLOAT:
      return (c.code == VESK_TYPE_NUMERIC) ? VESK_TYPE_NUMERIC : VESK_TYPE_DOUBLE;
    case SQLITE_TEXT:
      // Text is read up to its first zero byte: one holding a zero byte
      // comes back whole only as bytes.
      if (cell.n > 0 && std::memchr(cell.p, '\0', static_cast<size_t>(cell.n)) != nullptr) {
        return VESK_TYPE_BLOB;
      }
      switch (c.code) {
        case VESK_TYPE_VARCHAR:
          return cell.n <= c.text_cap ? VESK_TYPE_VARCHAR : VESK_TYPE_CLOB;
        case VESK_TYPE_DATE:
          if (cell.n <= 10) return VESK_TYPE_DATE;
          break;
        case VESK_TYPE_TIME:
          if (cell.n <= 8) return VESK_TYPE_TIME;
          break;
        case VESK_TYPE_DATETIME_MS: {
          int64_t ms;
          if (parse_datetime_ms(cell.p, cell.n, &ms)) return VESK_TYPE_DATETIME_MS;
          break;
        }
        default:
          break;
      }
      return cell.n <= kUnboundedTextCap ? VESK_TYPE_VARCHAR : VESK_TYPE_CLOB;
    case SQLITE_BLOB:
      return VESK_TYPE_BLOB;
    default:
      return c.code;
  }
}

int32_t cell_size(const ColInfo &c, int32_t code) {
  if (code == c.code) return c.size;
  switch (code) {
    case VESK_TYPE_BOOLEAN: return 1;
    case VESK_TYPE_BIGINT:
    case VESK_TYPE_DOUBLE:
    case VESK_TYPE_DATETIME_MS: return 8;
    case VESK_TYPE_DATE: return 10;
    case VESK_TYPE_TIME: return 8;
    default: return -1;
  }
}


}  // namespace sq
}  // namespace vesk
