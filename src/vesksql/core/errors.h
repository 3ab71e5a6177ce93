// Error texts: one slot per connection (shared with the results that the
// connection hands out, so a fetch failure is readable through the
// connection) and one per thread for failures that have no connection.
#ifndef VESKSQL_CORE_ERRORS_H
#define VESKSQL_CORE_ERRORS_H

#include <cstdint>
#include <memory>
#include <string>

namespace vesk {

struct ErrorSlot {
  std::string text;
  void set(std::string t) { text = std::move(t); }
};
using ErrorSlotPtr = std::shared_ptr<ErrorSlot>;

void thread_error_set(std::string text);
const std::string &thread_error();

// Copy an error text out: at most VESK_ERROR_TEXT_CAP bytes with the zero,
// cut on a UTF-8 boundary.  *len receives the bytes copied, without the
// zero (so buf[*len] is the zero), never the length before a cut.
void copy_error_text(const std::string &text, char *buf, int32_t *len);

}  // namespace vesk

#endif
