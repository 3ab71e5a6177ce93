// Small text helpers shared by the core and the engines: bounded copies
// that never split a UTF-8 character, and ASCII case-insensitive matching.
#ifndef VESKSQL_CORE_TEXT_UTIL_H
#define VESKSQL_CORE_TEXT_UTIL_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vesk {

// The largest length <= max at which s[0..n) can be cut without splitting
// a UTF-8 sequence.
size_t utf8_cut_length(const char *s, size_t n, size_t max);

// Copy s[0..n) into buf of `cap` bytes (zero included), cut on a UTF-8
// boundary; returns the number of text bytes written (without the zero).
size_t copy_cut(const std::string &s, char *buf, size_t cap);

// A name in double quotes, an inner quote doubled: "a""b".
std::string quote_identifier(const std::string &name);

bool ascii_ieq(const char *a, const char *b, size_t n);
// Whether `hay` holds `needle` (upper-case ASCII), case-insensitively.
bool ascii_icontains(const std::string &hay, const char *needle);
std::string ascii_upper(const std::string &s);

inline bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace vesk

#endif
