// What every engine needs to run a routine statement: the statement read
// apart ("execute name(?,...);"), and a returned value written back into
// the caller's buffer in the form its type code asks for.
#ifndef VESKSQL_CORE_ROUTINE_H
#define VESKSQL_CORE_ROUTINE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "params.h"

namespace vesk {

// One part of a routine's name ("sales" and "Totals" in sales."Totals").
struct NamePart {
  std::string text;     // as written, quotes removed ("" read as ")
  bool quoted = false;  // written in double quotes: case kept
};

struct RoutineStatement {
  std::vector<NamePart> name;  // one part, or schema and name
  int32_t placeholders = 0;    // the "?" between the parentheses
};

// Read "execute name", "execute name(?,...)" (a ";" may follow, blanks may
// stand between the parts; the word "execute" in any case).  A name part
// is a plain identifier (letters, digits, "_" and "$", not starting with a
// digit; bytes beyond ASCII count as letters) or a double-quoted one; at
// most two parts.  False with *err naming what is wrong.
bool parse_routine_statement(const char *stmt, RoutineStatement *out, std::string *err);

// The name as the statement wrote it, for messages.
std::string routine_display_name(const RoutineStatement &st);

// Write one returned value into the target: `data` holds its `n` bytes in
// text form (the bytes themselves for a binary value), or `null` is set.
//   NULL                        *len = 0
//   BOOLEAN                     1/0 ("t", "true", "1", "yes", "on" / the
//                               opposites): int32 when cap >= 4, else one byte
//   TINYINT, SMALLINT, INTEGER, BIGINT
//                               the integer at the width of the code (a
//                               decimal text with a zero fraction too)
//   FLOAT, DOUBLE               the number (NaN and the infinities included)
//   NUMERIC                     the text when it fits, else the shortest text
//                               of the nearest double
//   any other code              the bytes, then a zero byte
// *len receives the value's length in bytes (the width of a number); an
// empty text or binary value is written as one zero byte with *len 1.  A
// text longer than cap - 1 bytes is cut to fit (the zero included) and *len
// carries its whole length, so the caller sees that it did not fit.  False
// with *err (and *state a SQLSTATE) for a value that cannot be read under
// the code, or a number whose width the buffer cannot hold; nothing is
// written then.
bool write_output(const OutputTarget &t, const char *data, size_t n, bool null, std::string *err,
                  const char **state);

}  // namespace vesk

#endif
