#include "sql_scan.h"

#include <cstring>

#include "text_util.h"
#include "vesksql.h"

namespace vesk {

namespace {

bool word_char(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '$' || u >= 0x80;
}

const char *skip_quoted(const char *p, char close) {
  ++p;
  while (*p) {
    if (*p == close) {
      if (close != ']' && p[1] == close) {  // doubled quote inside
        p += 2;
        continue;
      }
      return p + 1;
    }
    ++p;
  }
  return p;
}

struct VerbName {
  const char *word;
  Verb verb;
};
const VerbName kVerbs[] = {
    {"SELECT", Verb::Select},   {"VALUES", Verb::Values},   {"WITH", Verb::With},
    {"INSERT", Verb::Insert},   {"UPDATE", Verb::Update},   {"DELETE", Verb::Delete},
    {"REPLACE", Verb::Replace}, {"PRAGMA", Verb::Pragma},   {"EXPLAIN", Verb::Explain},
    {"BEGIN", Verb::Begin},     {"COMMIT", Verb::Commit},   {"END", Verb::End},
    {"ROLLBACK", Verb::Rollback}, {"SAVEPOINT", Verb::Savepoint},
    {"RELEASE", Verb::Release}, {"CREATE", Verb::Create},   {"ATTACH", Verb::Attach},
    {"DETACH", Verb::Detach},   {"VACUUM", Verb::Vacuum},
};

Verb verb_of(const char *p, const char *e) {
  for (const VerbName &v : kVerbs)
    if (token_is(p, e, v.word)) return v.verb;
  return Verb::Other;
}

}  // namespace

const char *skip_space(const char *p) {
  for (;;) {
    while (is_blank(*p)) ++p;
    if (p[0] == '-' && p[1] == '-') {
      while (*p && *p != '\n') ++p;
    } else if (p[0] == '/' && p[1] == '*') {
      const char *c = std::strstr(p + 2, "*/");
      p = c ? c + 2 : p + std::strlen(p);
    } else {
      return p;
    }
  }
}

const char *skip_token(const char *p) {
  switch (*p) {
    case '\0': return p;
    case '\'': return skip_quoted(p, '\'');
    case '"': return skip_quoted(p, '"');
    case '`': return skip_quoted(p, '`');
    case '[': return skip_quoted(p, ']');
    default: break;
  }
  if (word_char(*p)) {
    while (word_char(*p)) ++p;
    return p;
  }
  return p + 1;
}

bool token_is(const char *p, const char *e, const char *kw) {
  size_t n = std::strlen(kw);
  return static_cast<size_t>(e - p) == n && ascii_ieq(p, kw, n);
}

StatementInfo scan_statement(const char *p) {
  StatementInfo si;
  int depth = 0;
  bool first = true, in_trigger = false, seen_create = false;
  int tokens = 0;
  // The last two significant tokens, for the trigger end "; END ;".
  bool prev_end = false, prev_prev_semi = false, prev_semi = false;
  for (p = skip_space(p); *p; p = skip_space(p)) {
    const char *e = skip_token(p);
    bool is_word = word_char(*p);
    if (*p == ';' && depth <= 0) {
      if (!in_trigger || (prev_end && prev_prev_semi)) {
        si.end = p;
        return si;
      }
    }
    if (*p == '(') {
      ++depth;
    } else if (*p == ')') {
      --depth;
    } else if (is_word) {
      if (first) {
        si.verb = verb_of(p, e);
        first = false;
        seen_create = si.verb == Verb::Create;
      } else if (seen_create && tokens <= 2 && token_is(p, e, "TRIGGER")) {
        in_trigger = true;
      } else if (si.verb == Verb::With && si.main == Verb::None && depth == 0) {
        Verb v = verb_of(p, e);
        if (v == Verb::Select || v == Verb::Values || v == Verb::Insert ||
            v == Verb::Update || v == Verb::Delete || v == Verb::Replace)
          si.main = v;
      }
      if (depth == 0 && !in_trigger && token_is(p, e, "RETURNING")) si.returning = true;
    } else if (*p == '=' && si.verb == Verb::Pragma && depth == 0) {
      si.pragma_assign = true;
    }
    prev_prev_semi = prev_semi;
    prev_semi = (*p == ';');
    prev_end = is_word && token_is(p, e, "END");
    ++tokens;
    p = e;
  }
  si.end = p;
  return si;
}

bool statement_has_rows(const StatementInfo &si) {
  switch (si.verb) {
    case Verb::Select:
    case Verb::Values:
    case Verb::Explain:
      return true;
    case Verb::Pragma:
      return !si.pragma_assign;
    case Verb::With:
      return si.main == Verb::Select || si.main == Verb::Values || si.returning;
    default:
      return si.returning;
  }
}

int classify_sql(const char *sql) {
  if (sql == nullptr) return VESK_KIND_NO_ROWS;
  const char *p = skip_space(sql);
  while (*p == ';') p = skip_space(p + 1);  // empty statements before the first
  while (*p == '(') p = skip_space(p + 1);  // "(select 1)"
  StatementInfo si = scan_statement(p);
  if (*si.end == ';') {
    const char *q = si.end;
    while (*q == ';') q = skip_space(q + 1);
    if (*q) return VESK_KIND_MULTI;
  }
  return statement_has_rows(si) ? VESK_KIND_ROWS : VESK_KIND_NO_ROWS;
}

}  // namespace vesk
