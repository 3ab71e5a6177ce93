#include "connstr.h"

#include <cstdlib>
#include <cstring>

#include "text_util.h"

namespace vesk {

namespace {

const char *const kKeys[] = {"IP", "DB", "USER", "PWD", "PORT", "CHAR_SET", "USESSL"};
const size_t kKeyCount = sizeof(kKeys) / sizeof(kKeys[0]);

bool is_sep_blank(char c) { return c == ' ' || c == '\t'; }

// Whether text at p (after blanks) starts with `key` and "=".  Sets *after
// to the first byte of the value.
bool key_at(const std::string &s, size_t p, const char *key, size_t *after) {
  while (p < s.size() && is_sep_blank(s[p])) ++p;
  size_t n = std::strlen(key);
  if (p + n >= s.size() || !ascii_ieq(s.data() + p, key, n) || s[p + n] != '=') return false;
  if (after) *after = p + n + 1;
  return true;
}

// Whether the value holds ";" followed by blanks and any known key "=".
const char *holds_key(const std::string &v) {
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] != ';') continue;
    for (const char *k : kKeys) {
      size_t p = i + 1;
      while (p < v.size() && is_sep_blank(v[p])) ++p;
      size_t n = std::strlen(k);
      if (p + n < v.size() && ascii_ieq(v.data() + p, k, n) && v[p + n] == '=') return k;
    }
  }
  return nullptr;
}

std::string trim(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && is_blank(s[b])) ++b;
  while (e > b && is_blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

}  // namespace

bool charset_supported(const std::string &cs) {
  std::string u = ascii_upper(cs);
  return u == "UTF8" || u == "UTF-8";
}

bool parse_connect_string(const char *text, ConnectParams *out, std::string *err) {
  if (text == nullptr) {
    *err = "connect string is missing";
    return false;
  }
  const std::string s(text);
  size_t pos = 0;
  if (!key_at(s, 0, kKeys[0], &pos)) {
    *err = "connect string is malformed: it must begin with 'IP='";
    return false;
  }
  std::string values[kKeyCount];
  for (size_t k = 0; k < kKeyCount; ++k) {
    size_t end = std::string::npos, next = 0;
    if (k + 1 < kKeyCount) {
      for (size_t i = s.find(';', pos); i != std::string::npos; i = s.find(';', i + 1)) {
        if (key_at(s, i + 1, kKeys[k + 1], &next)) {
          end = i;
          break;
        }
      }
      if (end == std::string::npos) {
        *err = std::string("connect string is malformed: field '") + kKeys[k + 1] +
               "=' is missing";
        return false;
      }
    } else {
      // The last value runs to the final ";" (blanks after it are allowed).
      size_t e = s.size();
      while (e > pos && is_blank(s[e - 1])) --e;
      if (e == pos || s[e - 1] != ';') {
        *err = "connect string is malformed: it must end with ';'";
        return false;
      }
      end = e - 1;
    }
    values[k] = s.substr(pos, end - pos);
    if (const char *inner = holds_key(values[k])) {
      *err = std::string("connect string is ambiguous: the value of ") + kKeys[k] +
             " holds \";" + inner + "=\"";
      return false;
    }
    pos = next;
  }

  ConnectParams p;
  p.host = trim(values[0]);
  p.database = values[1];
  p.user = values[2];
  p.password = values[3];
  p.charset = values[5];
  p.usessl = values[6];

  const std::string port = trim(values[4]);
  char *stop = nullptr;
  long v = port.empty() ? -1 : std::strtol(port.c_str(), &stop, 10);
  if (port.empty() || stop == nullptr || *stop != '\0' || v < 0 || v > 65535) {
    *err = "invalid PORT '" + values[4] + "': it must be a number from 0 to 65535";
    return false;
  }
  p.port = static_cast<int>(v);
  *out = std::move(p);
  return true;
}

}  // namespace vesk
