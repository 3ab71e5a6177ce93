// Interval cells: a month count (code 28) and a microsecond count (code 31)
// formatted as text.
#include <cstdio>
#include <cstring>

#include "fetch/cells.h"

namespace vk {

PyObject *interval_ym_text(int32_t months) {
  int64_t a = months < 0 ? -static_cast<int64_t>(months) : months;
  char text[32];
  int n = std::snprintf(text, sizeof text, months < 0 ? "-%lld-%02lld" : "%lld-%02lld",
                        static_cast<long long>(a / 12), static_cast<long long>(a % 12));
  return PyUnicode_FromStringAndSize(text, n);
}

PyObject *interval_ds_text(int64_t micros) {
  // |INT64_MIN| does not fit a signed value; work unsigned.
  uint64_t a = micros < 0 ? uint64_t{0} - static_cast<uint64_t>(micros)
                          : static_cast<uint64_t>(micros);
  constexpr uint64_t kPerSecond = 1000000;
  constexpr uint64_t kPerDay = 86400 * kPerSecond;
  uint64_t days = a / kPerDay;
  uint64_t rest = a % kPerDay;
  unsigned hours = static_cast<unsigned>(rest / (3600 * kPerSecond));
  rest %= 3600 * kPerSecond;
  unsigned minutes = static_cast<unsigned>(rest / (60 * kPerSecond));
  rest %= 60 * kPerSecond;
  unsigned seconds = static_cast<unsigned>(rest / kPerSecond);
  unsigned fraction = static_cast<unsigned>(rest % kPerSecond);
  char text[64];
  int n = std::snprintf(text, sizeof text,
                        micros < 0 ? "-%07llu %02u:%02u:%02u.%06u" : "%07llu %02u:%02u:%02u.%06u",
                        static_cast<unsigned long long>(days), hours, minutes, seconds, fraction);
  return PyUnicode_FromStringAndSize(text, n);
}

PyObject *interval_cell(CursorObject *self, int32_t col, int32_t code) {
  const int32_t cap = code == VESK_TYPE_INTERVAL_YM ? 32 : 64;
  alignas(8) unsigned char buf[64];
  std::memset(buf, 0, 8);  // the count is read from the first bytes only
  int32_t len = 0;
  cli_get_field(&self->result, col, code, buf, cap, &len);
  if (len <= 0) Py_RETURN_NONE;
  if (code == VESK_TYPE_INTERVAL_YM) {
    int32_t months;
    std::memcpy(&months, buf, sizeof months);
    return interval_ym_text(months);
  }
  int64_t micros;
  std::memcpy(&micros, buf, sizeof micros);
  return interval_ds_text(micros);
}

}  // namespace vk
