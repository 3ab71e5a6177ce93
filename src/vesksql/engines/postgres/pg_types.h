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
#include <string>

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
};

PgCol describe_column(const PGresult *res, int col);

// The code under which the value `v` (n bytes of text) of column `c` comes
// back whole.
int32_t cell_code(const PgCol &c, const char *v, int32_t n);
// The raw size that goes with a cell's code.
int32_t cell_size(const PgCol &c, int32_t code);

// Deliver the value (null, or n bytes of text) by `type` (cli_get_field).
int deliver(const PgCol &c, const char *v, int32_t n, bool null, int32_t type, void *buf,
            int32_t cap, int32_t *len, std::string *err);

}  // namespace pg
}  // namespace vesk

#endif
