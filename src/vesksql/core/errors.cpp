#include "errors.h"

#include <cstring>

#include "text_util.h"
#include "vesksql.h"

namespace vesk {

namespace {
thread_local std::string t_error;
thread_local std::string t_state;
}  // namespace

void thread_error_set(std::string text, const char *state) {
  t_error = std::move(text);
  t_state = state;
}
const std::string &thread_error() { return t_error; }
const std::string &thread_sqlstate() { return t_state; }

void copy_error_text(const std::string &text, char *buf, int32_t *len) {
  // n is what was copied (below VESK_ERROR_TEXT_CAP), not text.size().
  size_t n = 0;
  if (buf != nullptr) n = copy_cut(text, buf, VESK_ERROR_TEXT_CAP);
  if (len != nullptr) *len = static_cast<int32_t>(n);
}

void copy_sqlstate(const std::string &state, char *buf) {
  if (buf == nullptr) return;
  size_t n = state.size() < VESK_SQLSTATE_CAP - 1 ? state.size() : VESK_SQLSTATE_CAP - 1;
  std::memcpy(buf, state.data(), n);
  buf[n] = '\0';
}

}  // namespace vesk
