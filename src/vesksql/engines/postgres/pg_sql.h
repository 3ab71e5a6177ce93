// pg_sql.h -- the SQL text scanner of the PostgreSQL engine.
//
// split_statements() cuts a text into its statements at top-level ";" and
// rewrites the driver's placeholders into the server's numbered form $1..$k.
//
// Placeholders
//   ?                 positional; the k-th "?" of the whole text (counted
//                     across statements) takes positional value k-1, and gets
//                     the next $n of its statement.
//   :name @name $name named; name = a letter or "_", then letters, digits and
//                     "_" (ASCII; every byte >= 0x80 counts as a letter).  The
//                     same prefix+name (byte-exact) used again in one
//                     statement reuses its $n.
//   $k (digits)       the server's own numbered parameter: the text is left as
//                     it is and $k means positional value k-1 of the whole
//                     text.  A statement may not mix $k with "?" or named
//                     placeholders (refused).
// Not placeholders: "::" casts (a ":" right after ":"), "@@" (an "@" right
// after "@", the text search operator), ":" or "@" not followed by a name
// start ("@>", "a[1:2]", ":="), "$tag$" which opens a dollar quote, and
// anything inside '...' strings, E'...' strings, "..." names, dollar-quoted
// bodies, -- comments and (nesting) /* */ comments.
//
// The server's operators that contain "?" (jsonb "?", "?|", "?&") cannot be
// told apart from placeholders: every top-level "?" is a placeholder, so such
// an operator must be written through its function form (jsonb_exists,
// jsonb_exists_any, jsonb_exists_all).  Likewise ":name" and "@name" always
// are placeholders: write "a[lo : hi]" or "@ x" with a blank when ":" or "@"
// is meant.
//
// Strings follow standard_conforming_strings = on (the server's default): a
// backslash is literal in '...' and escapes only in E'...' (including the
// segments that continue an E'...' string after a newline).
//
// Each statement's text is kept as written (minus its ";"), except that a
// placeholder becomes $n, with one blank added before or after $n only where
// the neighbouring character would otherwise fuse with it into one token (an
// identifier or digit right before it, as in "1?" or "a:b", or right after it,
// as in "?and").  Statements of blanks and comments only are dropped; a
// statement ending inside an unterminated /* comment is kept so that the
// server reports it.  Unterminated strings, names and dollar quotes run to the
// end of the text and are left for the server to report.
#ifndef VESK_PG_SQL_H
#define VESK_PG_SQL_H

#include <cstdint>
#include <string>
#include <vector>

namespace vesk {
namespace pg {

// One parameter reference of a statement, in $n order ($1 is params[0]).
struct ParamRef {
  int32_t position = -1;  // 0-based positional value index, or -1 for a named one
  std::string name;       // for a named one: the name as written, prefix included (":id", "@id", "$id")
};

struct SqlStatement {
  std::string text;              // the statement with $1..$k, without the final ";"
  std::vector<ParamRef> params;  // one entry per $n used in text, in n order
};

// Split `sql` into its statements (empty ones, of blanks/comments only,
// dropped) and rewrite each statement's placeholders.  False with *err (and an
// empty *out) for a text that cannot be rewritten: more than 65535 parameters
// in one statement, a $k above 65535, or a statement mixing $k with "?" or
// named placeholders.  A null `sql` is an empty text.
bool split_statements(const char *sql, std::vector<SqlStatement> *out, std::string *err);

}  // namespace pg
}  // namespace vesk

#endif  // VESK_PG_SQL_H
