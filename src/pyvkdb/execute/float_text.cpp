// Exact decimal rounding of a double to thirteen places with 128-bit
// integers: value = m * 2^e, so value * 10^13 = m * 10^13 * 2^e, whose
// integer part and remainder are exact.  The remainder also tells whether
// the rounded decimal lies within half a unit in the last place of the
// double, i.e. whether it reads back as the same double.
#include "execute/float_text.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace vk {

namespace {

using u128 = unsigned __int128;

constexpr uint64_t kScale = 10000000000000ULL;  // 10^13
constexpr uint64_t kFivePow13 = 1220703125ULL;    // 5^13
constexpr int kMaxShift = 96;  // beyond this the value rounds to 0.0000000000000

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The lowest n bits set (n below 64).
constexpr uint64_t low_bits(int n) { return (1ULL << n) - 1; }

// Digits of v (at least `min_digits`, zero-padded) written backwards from
// `end`, two at a time.
char *put_digits(char *end, uint64_t v, int min_digits) {
  int n = 0;
  while (v >= 100) {
    const unsigned pair = static_cast<unsigned>(v % 100) * 2;
    v /= 100;
    *--end = kDigitPairs[pair + 1];
    *--end = kDigitPairs[pair];
    n += 2;
  }
  do {
    *--end = static_cast<char>('0' + v % 10);
    v /= 10;
    ++n;
  } while (v != 0);
  while (n < min_digits) {
    *--end = '0';
    ++n;
  }
  return end;
}

// Exactly four digits of v (below 10^4) at out.
void put4(char *out, unsigned v) {
  std::memcpy(out, &kDigitPairs[(v / 100) * 2], 2);
  std::memcpy(out + 2, &kDigitPairs[(v % 100) * 2], 2);
}

// Exactly thirteen digits of v (below 10^13), zero-padded, at out.
void put13(char *out, uint64_t v) {
  const unsigned high = static_cast<unsigned>(v / 100000000);  // five digits
  const unsigned low = static_cast<unsigned>(v % 100000000);   // eight digits
  out[0] = static_cast<char>('0' + high / 10000);
  put4(out + 1, high % 10000);
  put4(out + 5, low / 10000);
  put4(out + 9, low % 10000);
}

}  // namespace

FixedText format_fixed13(double value, char *out, size_t cap) {
  if (!std::isfinite(value) || std::fabs(value) >= 9007199254740992.0 /* 2^53 */) {
    return FixedText::NotHandled;
  }
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const bool negative = (bits >> 63) != 0;
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  uint64_t m = bits & ((1ULL << 52) - 1);
  int e;
  if (biased == 0) {
    e = -1074;  // subnormal (or zero)
  } else {
    m |= 1ULL << 52;
    e = biased - 1075;
  }

  // value = whole + m_frac * 2^e with both parts exact; only the fraction
  // needs rounding, and the wide arithmetic is multiplications and shifts.
  uint64_t whole = 0;
  uint64_t frac = 0;  // the fraction * 10^13, rounded
  bool round_trips = true;
  if (e >= 0) {
    whole = m << e;  // an integer below 2^53: exact
  } else if (-e < 64 && (m & low_bits(-e > 13 ? -e - 13 : 0)) == 0) {
    // At most thirteen bits after the point: fraction * 10^13 is the whole
    // number (m_frac / 2^(s - 13)) * 5^13, below 2^44, so the text is
    // exact and reads back as the value.
    const int s = -e;
    const uint64_t m_frac = m & low_bits(s);
    whole = m >> s;
    frac = s >= 13 ? (m_frac >> (s - 13)) * kFivePow13 : (m_frac * kFivePow13) << (13 - s);
  } else if (m != 0) {
    const int s = -e;
    if (s > kMaxShift) return FixedText::NotHandled;
    const uint64_t m_frac = s >= 64 ? m : (m & ((1ULL << s) - 1));
    whole = s >= 64 ? 0 : (m >> s);
    const u128 n = static_cast<u128>(m_frac) * kScale;
    u128 q = n >> s;
    const u128 rem = n - (q << s);
    const u128 half = static_cast<u128>(1) << (s - 1);
    if (rem > half || (rem == half && (q & 1) != 0)) ++q;
    // Distance of the decimal from the value, in units of 2^-s / 10^13.
    const u128 qs = q << s;
    const u128 diff = qs > n ? qs - n : n - qs;
    // The neighbours of the value lie 2^e away (below a power of two, the
    // lower one only half that); the decimal reads back as the value when
    // it is nearer than half of that gap.  A tie is left to the caller's
    // general formatter, which checks by parsing.
    const bool below = qs < n;
    const bool narrow_below = m == (1ULL << 52) && biased > 1;
    const u128 limit = (narrow_below && below) ? kScale / 2 : kScale;  // compare 2*diff
    if (2 * diff == limit) return FixedText::NotHandled;
    round_trips = 2 * diff < limit;
    if (q == kScale) {  // rounded up into the next whole number
      q = 0;
      ++whole;
    }
    frac = static_cast<uint64_t>(q);
  }

  char tmp[48];
  char *end = tmp + sizeof tmp;
  *--end = '\0';
  char *p = end - 13;
  put13(p, frac);
  *--p = '.';
  p = put_digits(p, whole, 1);
  if (negative) *--p = '-';
  const size_t len = static_cast<size_t>(end - p) + 1;  // with the zero
  if (len > cap) return FixedText::NotHandled;
  std::memcpy(out, p, len);
  return round_trips ? FixedText::RoundTrips : FixedText::Inexact;
}

}  // namespace vk
