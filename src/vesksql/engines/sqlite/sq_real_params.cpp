#include "sq_real_params.h"

#include <cmath>
#include <cstring>

#include "core/sql_scan.h"
#include "core/text_util.h"
#include "sq_db.h"

namespace vesk {
namespace sq {

namespace {

// One identifier token [p, e): a plain word, or a name in double quotes
// (a doubled quote inside stands for one).  False for anything else.
bool identifier(const char *p, const char *e, std::string *out) {
  if (p >= e) return false;
  if (*p == '"') {
    if (e - p < 2 || e[-1] != '"') return false;
    out->clear();
    for (const char *q = p + 1; q < e - 1; ++q) {
      if (*q == '"') {
        if (q + 1 >= e - 1 || q[1] != '"') return false;
        ++q;
      }
      out->push_back(*q);
    }
    return !out->empty();
  }
  for (const char *q = p; q < e; ++q) {
    const unsigned char c = static_cast<unsigned char>(*q);
    if (!(c == '_' || c >= 0x80 || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')))
      return false;
  }
  if (*p >= '0' && *p <= '9') return false;
  out->assign(p, e);
  return true;
}

// A token reader over a statement text.
struct Tokens {
  const char *p;
  const char *e;
  explicit Tokens(const char *sql) : p(skip_space(sql)), e(skip_token(p)) {}
  void next() {
    p = skip_space(e);
    e = skip_token(p);
  }
  bool is(const char *kw) const { return token_is(p, e, kw); }
  bool punct(char c) const { return e == p + 1 && *p == c; }
  bool at_end() const { return *p == '\0'; }
};

// Whether the word `kw` (upper case) stands as a token anywhere in `sql`.
bool has_token(const char *sql, const char *kw) {
  for (Tokens t(sql); !t.at_end(); t.next())
    if (t.is(kw)) return true;
  return false;
}

// A prepared statement of this call alone.
LocalStmt prepare(sqlite3 *db, const std::string &sql) {
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr) != SQLITE_OK)
    return LocalStmt();
  return LocalStmt(st);
}

std::string schema_table(const std::string &schema) {
  return quote_identifier(schema) + ".sqlite_master";
}

// The type and text of the table or view called `table` in `schema`:
// false when there is none (or it cannot be read).
bool find_table(sqlite3 *db, const std::string &schema, const std::string &table,
                std::string *type, std::string *sql) {
  LocalStmt st = prepare(db, "SELECT type, sql FROM " + schema_table(schema) +
                                 " WHERE type IN ('table', 'view') AND name = ?1 COLLATE NOCASE");
  if (!st) return false;
  sqlite3_bind_text(st.get(), 1, table.data(), static_cast<int>(table.size()), SQLITE_STATIC);
  if (sqlite3_step(st.get()) != SQLITE_ROW) return false;
  const unsigned char *t = sqlite3_column_text(st.get(), 0);
  const unsigned char *s = sqlite3_column_text(st.get(), 1);
  type->assign(t ? reinterpret_cast<const char *>(t) : "");
  sql->assign(s ? reinterpret_cast<const char *>(s) : "");
  return true;
}

// Whether a trigger in `schema` is defined on `table`; true also when that
// cannot be read.
bool has_trigger(sqlite3 *db, const std::string &schema, const std::string &table) {
  LocalStmt st = prepare(db, "SELECT 1 FROM " + schema_table(schema) +
                                 " WHERE type = 'trigger' AND tbl_name = ?1 COLLATE NOCASE");
  if (!st) return true;
  sqlite3_bind_text(st.get(), 1, table.data(), static_cast<int>(table.size()), SQLITE_STATIC);
  const int rc = sqlite3_step(st.get());
  return rc != SQLITE_DONE;
}

struct Column {
  std::string name;
  std::string decl;
};

// The table's columns in order; false when one is hidden or generated, or
// they cannot be read.
bool table_columns(sqlite3 *db, const std::string &schema, const std::string &table,
                   std::vector<Column> *out) {
  LocalStmt st = prepare(db, "SELECT name, type, hidden FROM pragma_table_xinfo(?1, ?2)");
  if (!st) return false;
  sqlite3_bind_text(st.get(), 1, table.data(), static_cast<int>(table.size()), SQLITE_STATIC);
  sqlite3_bind_text(st.get(), 2, schema.data(), static_cast<int>(schema.size()), SQLITE_STATIC);
  int rc;
  while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
    if (sqlite3_column_int(st.get(), 2) != 0) return false;
    const unsigned char *n = sqlite3_column_text(st.get(), 0);
    const unsigned char *d = sqlite3_column_text(st.get(), 1);
    out->push_back(Column{n ? reinterpret_cast<const char *>(n) : "",
                          d ? reinterpret_cast<const char *>(d) : ""});
  }
  return rc == SQLITE_DONE && !out->empty();
}

bool same_name(const std::string &a, const std::string &b) {
  return a.size() == b.size() && ascii_ieq(a.data(), b.data(), a.size());
}

}  // namespace

bool insert_shape(const char *sql, InsertShape *out) {
  Tokens t(sql);
  if (t.is("REPLACE")) {
    t.next();
  } else if (t.is("INSERT")) {
    t.next();
    if (t.is("OR")) {
      t.next();  // the conflict clause's word
      if (!(t.is("ROLLBACK") || t.is("ABORT") || t.is("REPLACE") || t.is("FAIL") ||
            t.is("IGNORE")))
        return false;
      t.next();
    }
  } else {
    return false;
  }
  if (!t.is("INTO")) return false;
  t.next();
  std::string first;
  if (!identifier(t.p, t.e, &first)) return false;
  t.next();
  if (t.punct('.')) {
    t.next();
    out->schema = first;
    if (!identifier(t.p, t.e, &out->table)) return false;
    t.next();
  } else {
    out->table = first;
  }
  if (t.is("AS")) {  // an alias of the table
    t.next();
    std::string alias;
    if (!identifier(t.p, t.e, &alias)) return false;
    t.next();
  }
  if (t.punct('(')) {
    for (;;) {
      t.next();
      std::string col;
      if (!identifier(t.p, t.e, &col)) return false;
      out->columns.push_back(col);
      t.next();
      if (t.punct(')')) break;
      if (!t.punct(',')) return false;
    }
    t.next();
  }
  if (!t.is("VALUES")) return false;
  t.next();
  if (!t.punct('(')) return false;
  for (;;) {
    t.next();
    if (!t.punct('?')) return false;  // "?NNN" and named placeholders are longer tokens
    ++out->placeholders;
    t.next();
    if (t.punct(')')) break;
    if (!t.punct(',')) return false;
  }
  t.next();
  while (t.punct(';')) t.next();
  return t.at_end() && (out->columns.empty() ||
                        static_cast<int>(out->columns.size()) == out->placeholders);
}

bool real_affinity(const char *decl) {
  if (decl == nullptr || *decl == '\0') return false;
  const std::string u = ascii_upper(decl);
  auto has = [&](const char *w) { return u.find(w) != std::string::npos; };
  // SQLite's order: INT, then CHAR/CLOB/TEXT, then BLOB, then REAL/FLOA/DOUB.
  if (has("INT") || has("CHAR") || has("CLOB") || has("TEXT") || has("BLOB")) return false;
  return has("REAL") || has("FLOA") || has("DOUB");
}

std::vector<uint8_t> real_params_of(sqlite3 *db, const char *sql) {
  InsertShape shape;
  if (!insert_shape(sql, &shape) || shape.placeholders == 0) return {};
  // An unqualified name is looked for in temp, then main; one that only an
  // attached database holds is left alone (another connection could make
  // a table of that name in main meanwhile).
  std::string schema = shape.schema, type, create;
  if (schema.empty()) {
    for (const char *s : {"temp", "main"}) {
      if (find_table(db, s, shape.table, &type, &create)) {
        schema = s;
        break;
      }
    }
    if (schema.empty()) return {};
  } else if (!find_table(db, schema, shape.table, &type, &create)) {
    return {};
  }
  if (type != "table" || has_token(create.c_str(), "VIRTUAL") ||
      has_token(create.c_str(), "CHECK") || has_token(create.c_str(), "AS") ||
      has_token(create.c_str(), "GENERATED"))
    return {};
  // Triggers on the table: its own schema's, and temporary ones.
  if (has_trigger(db, schema, shape.table) || (!same_name(schema, "temp") &&
                                               has_trigger(db, "temp", shape.table)))
    return {};
  std::vector<Column> cols;
  if (!table_columns(db, schema, shape.table, &cols)) return {};

  std::vector<uint8_t> flags(static_cast<size_t>(shape.placeholders), 0);
  bool any = false;
  for (int i = 0; i < shape.placeholders; ++i) {
    const Column *col = nullptr;
    if (shape.columns.empty()) {
      if (static_cast<size_t>(i) < cols.size()) col = &cols[static_cast<size_t>(i)];
    } else {
      for (const Column &c : cols)
        if (same_name(c.name, shape.columns[static_cast<size_t>(i)])) {
          col = &c;
          break;
        }
    }
    if (col != nullptr && real_affinity(col->decl.c_str())) {
      flags[static_cast<size_t>(i)] = 1;
      any = true;
    }
  }
  if (!any) return {};
  return flags;
}

namespace {

// Eight bytes as one word, the first byte lowest.
uint64_t load8(const char *p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Whether the eight bytes of w are all ASCII digits.
bool eight_digits(uint64_t w) {
  return (w & 0xF0F0F0F0F0F0F0F0ULL) == 0x3030303030303030ULL &&
         ((w + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) == 0x3030303030303030ULL;
}

// The number eight ASCII digits (first byte lowest) stand for.
uint64_t eight_digit_value(uint64_t w) {
  w = ((w & 0x0F0F0F0F0F0F0F0FULL) * 2561) >> 8;
  w = ((w & 0x00FF00FF00FF00FFULL) * 6553601) >> 16;
  return ((w & 0x0000FFFF0000FFFFULL) * 42949672960001ULL) >> 32;
}

constexpr uint64_t kTwo53 = uint64_t{1} << 53;

// Append the digits [p, e) to *digits; false for a byte that is no digit
// or a value that reaches 2^53.
bool take_digits(const char *p, const char *e, uint64_t *digits) {
  uint64_t v = *digits;
  if (kLittleEndian) {
    for (; e - p >= 8; p += 8) {
      const uint64_t w = load8(p);
      if (!eight_digits(w) || v >= kTwo53 / 100000000) return false;
      v = v * 100000000 + eight_digit_value(w);
    }
  }
  for (; p < e; ++p) {
    const unsigned d = static_cast<unsigned>(*p - '0');
    if (d >= 10 || v >= kTwo53) return false;
    v = v * 10 + d;
  }
  *digits = v;
  return v < kTwo53;
}

// The thirteen-decimal form "[-]digits.ddddddddddddd" that numbers usually
// come as: the fraction's thirteen digits are read as two words, and the
// answer is exact_decimal's (see there): the value is whole + f / 10^13,
// which a double holds exactly when 5^13 divides f, as (whole * 2^13 +
// f / 5^13) / 2^13.  -1 when the text has another form.
int thirteen_decimals(const char *p, const char *point, const char *end, double *out) {
  constexpr uint64_t kFivePow13 = 1220703125ULL;
  // 5^n, and the largest whole part that 10^n can scale below 2^53.
  static constexpr uint64_t kPow5[] = {1ULL, 5ULL, 25ULL, 125ULL, 625ULL, 3125ULL, 15625ULL,
                                       78125ULL, 390625ULL, 1953125ULL, 9765625ULL,
                                       48828125ULL, 244140625ULL, 1220703125ULL};
  static constexpr uint64_t kPow10[] = {1ULL, 10ULL, 100ULL, 1000ULL, 10000ULL, 100000ULL,
                                        1000000ULL, 10000000ULL, 100000000ULL,
                                        1000000000ULL, 10000000000ULL, 100000000000ULL,
                                        1000000000000ULL, 10000000000000ULL};
  // (2^53 - 1) / 10^n: a whole part no larger keeps whole * 10^n below 2^53.
  static constexpr uint64_t kWholeLimit[] = {
      (kTwo53 - 1) / kPow10[0],  (kTwo53 - 1) / kPow10[1],  (kTwo53 - 1) / kPow10[2],
      (kTwo53 - 1) / kPow10[3],  (kTwo53 - 1) / kPow10[4],  (kTwo53 - 1) / kPow10[5],
      (kTwo53 - 1) / kPow10[6],  (kTwo53 - 1) / kPow10[7],  (kTwo53 - 1) / kPow10[8],
      (kTwo53 - 1) / kPow10[9],  (kTwo53 - 1) / kPow10[10], (kTwo53 - 1) / kPow10[11],
      (kTwo53 - 1) / kPow10[12], (kTwo53 - 1) / kPow10[13]};
  if (!kLittleEndian || end - point != 14 || point == p || point - p > 16) return -1;
  const uint64_t first = load8(point + 1), last = load8(point + 6);  // digits 0-7 and 5-12
  if (!eight_digits(first) || !eight_digits(last)) return -1;
  uint64_t whole = 0;
  for (const char *q = p; q < point; ++q) {
    const unsigned d = static_cast<unsigned>(*q - '0');
    if (d >= 10) return -1;
    whole = whole * 10 + d;
  }
  // The last five digits: the last word with its first three bytes (digits
  // 5 to 7, already in `first`) made zeros.
  const uint64_t last_five = eight_digit_value((last & ~0xFFFFFFULL) | 0x303030ULL);
  const uint64_t f = eight_digit_value(first) * 100000 + last_five;  // below 10^13
  // f / 5^13 when 5^13 divides f, by a multiplication with 2^64 / 5^13
  // rounded up: for f = j * 5^13 (j below 2^13) the error it adds stays
  // below 1; any other f fails the product check.
  constexpr uint64_t kInverse =
      static_cast<uint64_t>((static_cast<unsigned __int128>(1) << 64) / kFivePow13) + 1;
  const uint64_t j =
      static_cast<uint64_t>((static_cast<unsigned __int128>(f) * kInverse) >> 64);
  if (j * kFivePow13 != f) return 0;  // j below 2^13
  if (whole == 0 && j == 0) return 0;
  // Digits kept once the zeros ending the fraction are dropped: 13 - t,
  // where 10^t is the largest power of ten dividing f (t = the 2s in j);
  // the kept digits stand for whole * 10^kept + f / 10^t, and
  // f / 10^t = (j / 2^t) * 5^kept.
  const int t = j == 0 ? 13 : __builtin_ctzll(j);
  const int kept = 13 - t;
  const uint64_t odd = j >> t;
  const uint64_t fraction_digits = odd * kPow5[kept];
  if (whole > kWholeLimit[kept] || whole * kPow10[kept] + fraction_digits >= kTwo53)
    return 0;
  const uint64_t scaled = (whole << kept) + odd;  // value * 2^kept, below 2^53
  // Division by 2^kept (at most 2^13) is exact: scaled is below 2^53 and
  // the result stays far from the smallest normal double.
  static constexpr double kInvPow2[] = {1.0,          0.5,           0.25,         0.125,
                                        0.0625,       0.03125,       0.015625,     0.0078125,
                                        0.00390625,   0.001953125,   0.0009765625, 0.00048828125,
                                        0.000244140625, 0.0001220703125};
  *out = static_cast<double>(scaled) * kInvPow2[kept];
  return 1;
}

}  // namespace

bool exact_decimal(const char *p, size_t n, double *out) {
  constexpr size_t kLongest = 40;
  if (n == 0 || n > kLongest) return false;
  const char *const end = p + n;
  const bool negative = *p == '-';
  if (negative) ++p;
  const char *const point = static_cast<const char *>(std::memchr(p, '.', static_cast<size_t>(end - p)));
  if (point != nullptr) {
    const int answer = thirteen_decimals(p, point, end, out);
    if (answer >= 0) {
      if (answer == 1 && negative) *out = -*out;
      return answer == 1;
    }
  }
  const char *const whole_end = point ? point : end;
  if (whole_end == p) return false;
  // The fraction without the zeros that end it (they change nothing).
  const char *frac = whole_end, *frac_end = whole_end;
  if (point != nullptr) {
    frac = point + 1;
    frac_end = end;
    if (frac_end == frac) return false;
    while (frac_end - frac >= 8 && load8(frac_end - 8) == 0x3030303030303030ULL) frac_end -= 8;
    while (frac_end > frac && frac_end[-1] == '0') --frac_end;
  }
  // Every digit left, the point left out, as one integer below 2^53.
  uint64_t digits = 0;
  if (!take_digits(p, whole_end, &digits) || !take_digits(frac, frac_end, &digits)) return false;
  if (digits == 0) return false;
  // digits / 10^k = digits / 5^k / 2^k (k fraction digits kept): a double
  // holds it exactly when 5^k divides the digits.
  const int fraction = static_cast<int>(frac_end - frac);
  uint64_t odd_part = digits;
  for (int i = 0; i < fraction; ++i) {
    if (odd_part % 5 != 0) return false;
    odd_part /= 5;
  }
  double v = static_cast<double>(odd_part);  // below 2^53: exact
  if (fraction > 0) v = std::ldexp(v, -fraction);  // exact: a power of two, far from underflow
  *out = negative ? -v : v;
  return true;
}

}  // namespace sq
}  // namespace vesk
