// Error texts and SQLSTATEs: one slot per connection (shared with the
// results that the connection hands out, so a fetch failure is readable
// through the connection) and one per thread for failures that have no
// connection.  A success leaves both as they were: they describe the last
// failure.
#ifndef VESKSQL_CORE_ERRORS_H
#define VESKSQL_CORE_ERRORS_H

#include <cstdint>
#include <memory>
#include <string>

namespace vesk {

// The SQLSTATEs the library gives for its own refusals, and the fallback.
// An engine gives finer ones for its own failures (the embedded engine's
// table is in engines/sqlite/sq_db.cpp).
//
//   08001  a connection could not be opened: connect string refused, the
//          engine refused the open, a reopen by reconnect failed
//   08003  there is no connection (reconnect of an empty handle, an engine
//          whose database is closed)
//   07002  a placeholder has no value, or a value has no placeholder
//   0A000  the engine does not support the operation
//   HY009  a required argument is missing (statement text, handle address)
//   HY000  anything else, the library's or the engine's, with no closer code
constexpr char kStateGeneral[] = "HY000";
constexpr char kStateNoArgument[] = "HY009";
constexpr char kStateConnectFailed[] = "08001";
constexpr char kStateNoConnection[] = "08003";
constexpr char kStateParamCount[] = "07002";
constexpr char kStateNotSupported[] = "0A000";

struct ErrorSlot {
  std::string text;
  std::string sqlstate;  // five characters; "" before the first failure
  void set(std::string t, const char *state = kStateGeneral) {
    text = std::move(t);
    sqlstate = state;
  }
};
using ErrorSlotPtr = std::shared_ptr<ErrorSlot>;

void thread_error_set(std::string text, const char *state = kStateGeneral);
const std::string &thread_error();
const std::string &thread_sqlstate();

// Copy an error text out: at most VESK_ERROR_TEXT_CAP bytes with the zero,
// cut on a UTF-8 boundary.  *len receives the bytes copied, without the
// zero (so buf[*len] is the zero), never the length before a cut.
void copy_error_text(const std::string &text, char *buf, int32_t *len);

// Copy a SQLSTATE out: at most VESK_SQLSTATE_CAP bytes with the zero.
void copy_sqlstate(const std::string &state, char *buf);

}  // namespace vesk

#endif
