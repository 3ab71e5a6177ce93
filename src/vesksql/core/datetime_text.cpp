#include "datetime_text.h"

namespace vesk {

namespace {

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool digits(const char *p, int n, int *out) {
  int v = 0;
  for (int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    v = v * 10 + (p[i] - '0');
  }
  *out = v;
  return true;
}

}  // namespace

bool parse_datetime_ms(const char *p, int32_t n, int64_t *ms) {
  if (p == nullptr || n < 10) return false;
  // Year: four columns, right-aligned digits (leading blanks allowed).
  int year = 0, k = 0;
  while (k < 3 && p[k] == ' ') ++k;
  if (!digits(p + k, 4 - k, &year) || year < 1) return false;
  int month, day, hour = 0, minute = 0, second = 0, milli = 0;
  if (p[4] != '-' || !digits(p + 5, 2, &month) || p[7] != '-' || !digits(p + 8, 2, &day))
    return false;
  int32_t i = 10;
  if (i < n) {
    if ((p[i] != ' ' && p[i] != 'T') || n < i + 6) return false;
    if (!digits(p + i + 1, 2, &hour) || p[i + 3] != ':' || !digits(p + i + 4, 2, &minute))
      return false;
    i += 6;
    if (i < n) {
      if (p[i] != ':' || n < i + 3 || !digits(p + i + 1, 2, &second)) return false;
      i += 3;
      if (i < n) {
        if (p[i] != '.' || i + 1 >= n) return false;
        ++i;
        int places = 0;
        for (; i < n; ++i, ++places) {
          char c = p[i];
          if (c < '0' || c > '9') return false;
          if (places < 3)
            milli = milli * 10 + (c - '0');
          else if (c != '0')
            return false;  // sub-millisecond digits would be lost
        }
        for (; places < 3; ++places) milli *= 10;
      }
    }
  }
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int dim = kDays[month - 1] + ((month == 2 && leap) ? 1 : 0);
  if (day > dim || hour > 23 || minute > 59 || second > 59) return false;
  int64_t days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  *ms = ((days * 24 + hour) * 60 + minute) * 60000LL + second * 1000LL + milli;
  return true;
}

}  // namespace vesk
