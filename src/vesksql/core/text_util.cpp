#include "text_util.h"

#include <cstring>

namespace vesk {

size_t utf8_cut_length(const char *s, size_t n, size_t max) {
  if (n <= max) return n;
  size_t cut = max;
  // Step back over continuation bytes so the cut lands before a lead byte.
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

size_t copy_cut(const std::string &s, char *buf, size_t cap) {
  if (buf == nullptr || cap == 0) return 0;
  size_t n = utf8_cut_length(s.data(), s.size(), cap - 1);
  std::memcpy(buf, s.data(), n);
  buf[n] = '\0';
  return n;
}

static char up(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool ascii_ieq(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (up(a[i]) != up(b[i])) return false;
  return true;
}

bool ascii_icontains(const std::string &hay, const char *needle) {
  size_t m = std::strlen(needle);
  if (m == 0) return true;
  if (hay.size() < m) return false;
  for (size_t i = 0; i + m <= hay.size(); ++i)
    if (ascii_ieq(hay.data() + i, needle, m)) return true;
  return false;
}

std::string ascii_upper(const std::string &s) {
  std::string out(s);
  for (char &c : out) c = up(c);
  return out;
}

std::string quote_identifier(const std::string &name) {
  std::string q = "\"";
  for (char c : name) {
    if (c == '"') q += '"';
    q += c;
  }
  q += '"';
  return q;
}

}  // namespace vesk
