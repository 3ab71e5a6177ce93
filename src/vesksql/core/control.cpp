#include "control.h"

#include "text_util.h"

namespace vesk {

namespace {

// Lower-case words of a short text, single-spaced, without the final ";".
// A text longer than 256 characters is no control text: "" comes back.
std::string normalize(const char *sql) {
  std::string out;
  const char *p = sql;
  for (size_t i = 0; *p && i < 256; ++p, ++i) {
    char c = *p;
    if (is_blank(c)) {
      if (!out.empty() && out.back() != ' ') out += ' ';
      continue;
    }
    out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
  if (*p) return std::string();
  while (!out.empty() && (out.back() == ' ' || out.back() == ';')) out.pop_back();
  return out;
}

// "USE name;" -> name as written; false when the text is not a USE.
bool use_target(const char *sql, std::string *name) {
  const char *p = sql;
  while (is_blank(*p)) ++p;
  if (!ascii_ieq(p, "USE", 3) || !is_blank(p[3])) return false;
  p += 3;
  while (is_blank(*p)) ++p;
  std::string rest(p);
  while (!rest.empty() && is_blank(rest.back())) rest.pop_back();
  if (!rest.empty() && rest.back() == ';') rest.pop_back();
  while (!rest.empty() && is_blank(rest.back())) rest.pop_back();
  *name = rest;
  return true;
}

}  // namespace

ControlText classify_control(const char *sql) {
  ControlText out;
  const std::string cmd = normalize(sql);
  if (cmd == "begin" || cmd == "begin transaction") {
    out.kind = Control::Begin;
  } else if (cmd == "commit" || cmd == "commit transaction" || cmd == "end") {
    out.kind = Control::Commit;
  } else if (cmd == "rollback" || cmd == "rollback transaction") {
    out.kind = Control::Rollback;
  } else if (cmd == "set auto commit on") {
    out.kind = Control::AutocommitOn;
  } else if (cmd == "set auto commit off") {
    out.kind = Control::AutocommitOff;
  } else if (cmd == "select 1 from dual") {
    out.kind = Control::Ping;
  } else if (use_target(sql, &out.database)) {
    out.kind = Control::Use;
  }
  return out;
}

bool plain_database_name(const std::string &s) {
  if (s.empty() || s.size() > 128) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    if (!alpha && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return true;
}

}  // namespace vesk
