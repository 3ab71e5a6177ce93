// pg_sql.cpp -- statement splitting and placeholder rewriting for the
// PostgreSQL engine (see pg_sql.h for the rules).
//
// One pass over the text, left to right.  Quoted constructs and comments are
// skipped as a whole and copied unchanged; every other byte is looked at once.
#include "engines/postgres/pg_sql.h"

#include <cstring>
#include <string_view>
#include <unordered_map>

namespace vesk {
namespace pg {

namespace {

constexpr int32_t kMaxParams = 65535;  // the protocol's limit per statement
constexpr size_t npos = std::string::npos;

inline bool is_blank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
// Start of a name (and of an identifier or dollar-quote tag).
inline bool is_name_start(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}
// Rest of a placeholder name or dollar-quote tag.
inline bool is_name_char(unsigned char c) { return is_name_start(c) || is_digit(c); }
// Rest of an unquoted identifier: the server also allows "$" there.
inline bool is_ident_char(unsigned char c) { return is_name_char(c) || c == '$'; }

// Scanner over s[0..n) (s[n] is the terminating zero, so s[i + 1] is always
// readable for i < n).
class Scanner {
 public:
  Scanner(const char *s, size_t n, std::vector<SqlStatement> *out, std::string *err)
      : s_(s), n_(n), out_(out), err_(err) {}

  bool run();

 private:
  // Skippers: `i` is just past the opening delimiter; the result is just past
  // the closing one, or n_ when the construct is unterminated.
  size_t skip_quoted(size_t i, char q) const;
  size_t skip_escape_string(size_t i) const;
  size_t skip_line_comment(size_t i) const;
  size_t skip_block_comment(size_t i, bool *terminated) const;
  size_t skip_dollar_body(size_t i, std::string_view tag) const;
  size_t string_continuation(size_t i) const;

  void copy(size_t from, size_t to) { cur_.text.append(s_ + from, to - from); }
  bool add_positional(size_t next);
  bool add_named(size_t from, size_t to);
  bool add_native(size_t from, size_t to);
  void emit_ref(int32_t n, size_t next);
  bool fail(const std::string &what);
  bool finish_statement();

  const char *s_;
  size_t n_;
  std::vector<SqlStatement> *out_;
  std::string *err_;

  int64_t positional_seen_ = 0;  // "?" of the whole text so far
  // The statement being built.
  SqlStatement cur_;
  bool has_content_ = false;     // anything beside blanks and finished comments
  bool has_rewritten_ = false;   // "?" or a named placeholder seen
  int32_t native_max_ = -1;      // highest $k seen, -1 for none
  std::unordered_map<std::string_view, int32_t> names_;  // name -> $n
};

size_t Scanner::skip_quoted(size_t i, char q) const {
  // '...' and "...": the quote doubled stands for itself.
  while (i < n_) {
    const char *p = static_cast<const char *>(std::memchr(s_ + i, q, n_ - i));
    if (!p) return n_;
    i = static_cast<size_t>(p - s_) + 1;
    if (i < n_ && s_[i] == q) {
      ++i;
      continue;
    }
    return i;
  }
  return n_;
}

size_t Scanner::skip_escape_string(size_t i) const {
  // E'...': a backslash escapes the byte after it, '' is a quote too, and the
  // constant goes on in a '...' segment after blanks holding a newline.
  for (;;) {
    while (i < n_) {
      char c = s_[i];
      if (c == '\\') {
        i += 2;
      } else if (c == '\'') {
        if (s_[i + 1] == '\'') {
          i += 2;
        } else {
          break;
        }
      } else {
        ++i;
      }
    }
    if (i >= n_) return n_;
    ++i;  // the closing quote
    size_t next = string_continuation(i);
    if (next == npos) return i;
    i = next;
  }
}

size_t Scanner::string_continuation(size_t i) const {
  // Blanks and -- comments with at least one newline, then a quote: the
  // result is just past that quote, else npos.
  bool newline = false;
  while (i < n_) {
    unsigned char c = static_cast<unsigned char>(s_[i]);
    if (c == '\n' || c == '\r') {
      newline = true;
      ++i;
    } else if (is_blank(c)) {
      ++i;
    } else if (c == '-' && s_[i + 1] == '-') {
      i = skip_line_comment(i + 2);
    } else {
      break;
    }
  }
  if (newline && i < n_ && s_[i] == '\'') return i + 1;
  return npos;
}

size_t Scanner::skip_line_comment(size_t i) const {
  // Up to, not including, the end of the line.
  while (i < n_ && s_[i] != '\n' && s_[i] != '\r') ++i;
  return i;
}

size_t Scanner::skip_block_comment(size_t i, bool *terminated) const {
  // /* */ comments nest.
  size_t depth = 1;
  while (i < n_) {
    if (s_[i] == '*' && s_[i + 1] == '/') {
      i += 2;
      if (--depth == 0) {
        *terminated = true;
        return i;
      }
    } else if (s_[i] == '/' && s_[i + 1] == '*') {
      i += 2;
      ++depth;
    } else {
      ++i;
    }
  }
  *terminated = false;
  return n_;
}

size_t Scanner::skip_dollar_body(size_t i, std::string_view tag) const {
  // Up to the first "$tag$".  The tag holds no "$", so a comparison started
  // at one "$" never runs past the next one: linear in the body.
  while (i < n_) {
    const char *p = static_cast<const char *>(std::memchr(s_ + i, '$', n_ - i));
    if (!p) return n_;
    size_t d = static_cast<size_t>(p - s_);
    size_t k = 0;
    while (k < tag.size() && d + 1 + k < n_ && s_[d + 1 + k] == tag[k]) ++k;
    if (k == tag.size() && d + 1 + k < n_ && s_[d + 1 + k] == '$') return d + 2 + k;
    i = d + 1 + k;
  }
  return n_;
}

bool Scanner::fail(const std::string &what) {
  if (err_) *err_ = what;
  out_->clear();
  return false;
}

void Scanner::emit_ref(int32_t n, size_t next) {
  // "$n", kept apart from a neighbour that would fuse with it into one token
  // ("a$1" is an identifier, "$1and" is junk after a parameter).
  if (!cur_.text.empty() && is_ident_char(static_cast<unsigned char>(cur_.text.back())))
    cur_.text.push_back(' ');
  char buf[16];
  int len = 0;
  char digits[12];
  int nd = 0;
  do {
    digits[nd++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n > 0);
  buf[len++] = '$';
  while (nd > 0) buf[len++] = digits[--nd];
  cur_.text.append(buf, static_cast<size_t>(len));
  if (next < n_ && is_ident_char(static_cast<unsigned char>(s_[next]))) cur_.text.push_back(' ');
}

bool Scanner::add_positional(size_t next) {
  if (native_max_ >= 0)
    return fail("statement " + std::to_string(out_->size() + 1) +
                " mixes numbered $n parameters with ? or named placeholders");
  if (cur_.params.size() >= static_cast<size_t>(kMaxParams))
    return fail("statement " + std::to_string(out_->size() + 1) + " has more than " +
                std::to_string(kMaxParams) + " parameters");
  if (positional_seen_ >= INT32_MAX)
    return fail("the text has too many ? placeholders");
  has_rewritten_ = true;
  ParamRef ref;
  ref.position = static_cast<int32_t>(positional_seen_++);
  cur_.params.push_back(std::move(ref));
  emit_ref(static_cast<int32_t>(cur_.params.size()), next);
  return true;
}

bool Scanner::add_named(size_t from, size_t to) {
  if (native_max_ >= 0)
    return fail("statement " + std::to_string(out_->size() + 1) +
                " mixes numbered $n parameters with ? or named placeholders");
  has_rewritten_ = true;
  std::string_view key(s_ + from, to - from);
  auto it = names_.find(key);
  if (it != names_.end()) {
    emit_ref(it->second, to);
    return true;
  }
  if (cur_.params.size() >= static_cast<size_t>(kMaxParams))
    return fail("statement " + std::to_string(out_->size() + 1) + " has more than " +
                std::to_string(kMaxParams) + " parameters");
  ParamRef ref;
  ref.name.assign(key.data(), key.size());
  cur_.params.push_back(std::move(ref));
  int32_t n = static_cast<int32_t>(cur_.params.size());
  names_.emplace(key, n);
  emit_ref(n, to);
  return true;
}

bool Scanner::add_native(size_t from, size_t to) {
  // s_[from..to) are the digits after "$"; the text is copied unchanged.
  if (has_rewritten_)
    return fail("statement " + std::to_string(out_->size() + 1) +
                " mixes numbered $n parameters with ? or named placeholders");
  int64_t k = 0;
  for (size_t i = from; i < to && k <= kMaxParams; ++i) k = k * 10 + (s_[i] - '0');
  if (k > kMaxParams)
    return fail("statement " + std::to_string(out_->size() + 1) + " uses $" +
                std::string(s_ + from, to - from) + ": more than " +
                std::to_string(kMaxParams) + " parameters");
  if (static_cast<int32_t>(k) > native_max_) native_max_ = static_cast<int32_t>(k);
  copy(from - 1, to);
  return true;
}

bool Scanner::finish_statement() {
  if (has_content_) {
    if (native_max_ >= 0) {
      cur_.params.resize(static_cast<size_t>(native_max_));
      for (int32_t k = 0; k < native_max_; ++k) cur_.params[static_cast<size_t>(k)].position = k;
    }
    out_->push_back(std::move(cur_));
  }
  cur_.text.clear();
  cur_.params.clear();
  has_content_ = false;
  has_rewritten_ = false;
  native_max_ = -1;
  names_.clear();
  return true;
}

bool Scanner::run() {
  size_t i = 0;
  while (i < n_) {
    const unsigned char c = static_cast<unsigned char>(s_[i]);
    const unsigned char c1 = static_cast<unsigned char>(s_[i + 1]);
    if (c == ';') {
      finish_statement();
      ++i;
      continue;
    }
    if (is_blank(c)) {
      cur_.text.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    if (c == '-' && c1 == '-') {
      size_t j = skip_line_comment(i + 2);
      copy(i, j);
      i = j;
      continue;
    }
    if (c == '/' && c1 == '*') {
      bool terminated = false;
      size_t j = skip_block_comment(i + 2, &terminated);
      if (!terminated) has_content_ = true;  // left for the server to report
      copy(i, j);
      i = j;
      continue;
    }
    has_content_ = true;
    size_t j;
    if (c == '\'' || c == '"') {
      j = skip_quoted(i + 1, static_cast<char>(c));
    } else if (is_name_start(c)) {
      // A keyword or identifier; "E" alone right before a quote opens an
      // escape string.
      j = i + 1;
      while (j < n_ && is_ident_char(static_cast<unsigned char>(s_[j]))) ++j;
      if (j == i + 1 && (c == 'E' || c == 'e') && s_[j] == '\'') j = skip_escape_string(j + 1);
    } else if (is_digit(c)) {
      j = i + 1;
      while (j < n_ && is_name_char(static_cast<unsigned char>(s_[j]))) ++j;
    } else if (c == '?') {
      if (!add_positional(i + 1)) return false;
      ++i;
      continue;
    } else if ((c == ':' || c == '@') && is_name_start(c1) &&
               !(i > 0 && static_cast<unsigned char>(s_[i - 1]) == c)) {
      j = i + 2;
      while (j < n_ && is_name_char(static_cast<unsigned char>(s_[j]))) ++j;
      if (!add_named(i, j)) return false;
      i = j;
      continue;
    } else if (c == '$' && c1 == '$') {
      j = skip_dollar_body(i + 2, std::string_view());
    } else if (c == '$' && is_digit(c1)) {
      j = i + 2;
      while (j < n_ && is_digit(static_cast<unsigned char>(s_[j]))) ++j;
      if (!add_native(i + 1, j)) return false;
      i = j;
      continue;
    } else if (c == '$' && is_name_start(c1)) {
      j = i + 2;
      while (j < n_ && is_name_char(static_cast<unsigned char>(s_[j]))) ++j;
      if (j < n_ && s_[j] == '$') {
        j = skip_dollar_body(j + 1, std::string_view(s_ + i + 1, j - i - 1));
      } else {
        if (!add_named(i, j)) return false;
        i = j;
        continue;
      }
    } else {
      j = i + 1;
    }
    copy(i, j);
    i = j;
  }
  finish_statement();
  return true;
}

}  // namespace

bool split_statements(const char *sql, std::vector<SqlStatement> *out, std::string *err) {
  out->clear();
  if (!sql) return true;
  Scanner scanner(sql, std::strlen(sql), out, err);
  return scanner.run();
}

}  // namespace pg
}  // namespace vesk
