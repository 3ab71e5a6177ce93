// The millisecond date-time (code 23): a signed count of milliseconds since
// 1970-01-01 00:00:00.000, without time zone, split on the proleptic
// Gregorian calendar.
#include <cstring>

#include "fetch/cells.h"
#include "module/datetime_slot.h"

namespace vk {

namespace {

constexpr int64_t kMsPerDay = 86400000;

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

CivilTime civil_from_ms(int64_t ms) {
  // Day and time of day from the truncated quotient and remainder: the
  // product days * kMsPerDay would overflow for counts near the ends of the
  // 64-bit range.
  int64_t days = ms / kMsPerDay;
  int64_t in_day = ms % kMsPerDay;  // 0 .. 86 399 999 once moved below
  if (in_day < 0) {
    in_day += kMsPerDay;
    days -= 1;
  }

  // Days to civil date, counting in 400-year eras that start on 0000-03-01.
  int64_t z = days + 719468;
  int64_t era = floor_div(z, 146097);
  int64_t doe = z - era * 146097;                                      // 0 .. 146096
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // 0 .. 399
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);               // 0 .. 365
  int64_t mp = (5 * doy + 2) / 153;                                    // 0 .. 11, from March
  CivilTime t;
  t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.year = yoe + era * 400 + (t.month <= 2 ? 1 : 0);
  t.hour = static_cast<int>(in_day / 3600000);
  t.minute = static_cast<int>(in_day / 60000 % 60);
  t.second = static_cast<int>(in_day / 1000 % 60);
  t.millisecond = static_cast<int>(in_day % 1000);
  return t;
}

PyObject *datetime_from_ms(int64_t ms) {
  CivilTime t = civil_from_ms(ms);
  if (t.year < 1 || t.year > 9999) {
    PyErr_Format(PyExc_ValueError, "year %lld is out of range", static_cast<long long>(t.year));
    return nullptr;
  }
  DateTimeParts p{static_cast<int>(t.year), t.month, t.day, t.hour, t.minute, t.second,
                  t.millisecond * 1000};
  return new_datetime(p);
}

PyObject *datetime_ms_cell(CursorObject *self, int32_t col) {
  alignas(8) unsigned char buf[8] = {0};
  int32_t len = 0;
  cli_get_field(&self->result, col, VESK_TYPE_DATETIME_MS, buf, 8, &len);
  if (len != 8) Py_RETURN_NONE;
  int64_t ms;
  std::memcpy(&ms, buf, sizeof ms);
  return datetime_from_ms(ms);
}

}  // namespace vk
