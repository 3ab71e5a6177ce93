// Date-time texts shared by the engines.
#ifndef VESKSQL_CORE_DATETIME_TEXT_H
#define VESKSQL_CORE_DATETIME_TEXT_H

#include <cstdint>

namespace vesk {

// "YYYY-MM-DD[ |T]HH:MM[:SS[.fff]]" (or a date alone) to milliseconds since
// 1970-01-01.  Fraction digits beyond the third must be zeros (a value
// with microseconds does not fit a millisecond count).
bool parse_datetime_ms(const char *p, int32_t n, int64_t *ms);

}  // namespace vesk

#endif
