// A light SQL scanner: enough to skip blanks, comments, strings and quoted
// names, find statement boundaries and read keywords.  No allocation.
#ifndef VESKSQL_CORE_SQL_SCAN_H
#define VESKSQL_CORE_SQL_SCAN_H

#include <cstddef>

namespace vesk {

// Skip blanks and comments from p; returns the first other byte.
const char *skip_space(const char *p);

// Skip one token starting at p (p at a non-blank byte): a quoted string or
// name, a word, a number, or one punctuation byte.  Unterminated quotes and
// comments run to the end of the text.
const char *skip_token(const char *p);

// Whether the token [p, e) is the keyword kw (upper case), ignoring case.
bool token_is(const char *p, const char *e, const char *kw);

enum class Verb { None, Select, Values, With, Insert, Update, Delete, Replace,
                  Pragma, Explain, Begin, Commit, End, Rollback, Savepoint,
                  Release, Create, Attach, Detach, Vacuum, Other };

struct StatementInfo {
  Verb verb = Verb::None;  // first keyword (after "(")
  Verb main = Verb::None;  // for WITH: the statement the common table expressions lead to
  bool returning = false;  // RETURNING at the top level
  bool pragma_assign = false;  // "PRAGMA x = y"
  const char *end = nullptr;   // the ";" that ends it, or the end of the text
};

// Scan one statement starting at p.  A CREATE TRIGGER body's semicolons do
// not end the statement.
StatementInfo scan_statement(const char *p);

// The kind of a text: VESK_KIND_ROWS, VESK_KIND_MULTI or VESK_KIND_NO_ROWS.
int classify_sql(const char *sql);

// Whether a statement with this info yields rows.
bool statement_has_rows(const StatementInfo &si);

}  // namespace vesk

#endif
