#include "errors.h"

#include "text_util.h"
#include "vesksql.h"

namespace vesk {

namespace {
thread_local std::string t_error;
}

void thread_error_set(std::string text) { t_error = std::move(text); }
const std::string &thread_error() { return t_error; }

void copy_error_text(const std::string &text, char *buf, int32_t *len) {
  // n is what was copied (below VESK_ERROR_TEXT_CAP), not text.size().
  size_t n = 0;
  if (buf != nullptr) n = copy_cut(text, buf, VESK_ERROR_TEXT_CAP);
  if (len != nullptr) *len = static_cast<int32_t>(n);
}

}  // namespace vesk
