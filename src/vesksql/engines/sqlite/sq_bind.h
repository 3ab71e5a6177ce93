// Applying the parameters bound on a connection to SQLite statements.
//
// Every placeholder of a statement must get a value: by its position, or,
// for a placeholder with a name, by a named value of that name.  A
// statement with a placeholder that has neither is refused before it runs.
#ifndef VESKSQL_SQLITE_BIND_H
#define VESKSQL_SQLITE_BIND_H

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/params.h"

namespace vesk {
namespace sq {

// Tracks, across the statements of one text, how many positions were taken.
struct BindTally {
  int positions = 0;  // placeholders seen so far
  // The SQLSTATE of a failed bind_statement: a missing value, or what
  // SQLite said when it refused a value.
  const char *state = kStateParamCount;
};

// Bind the statement's placeholders.  Placeholder i takes, for a name
// (":id", "@id", "$id"), a named value bound under that name unchanged or
// under the bare name ("id"); otherwise the positional value at running
// number tally->positions + i.  When a placeholder has no value, fails with
// "no value is bound for parameter ..." and leaves the statement with no
// bindings.  Named values that no placeholder carries are ignored.
// `real_params`, when given, holds one flag per placeholder of a prepared
// INSERT whose column has REAL affinity (see sq_real_params.h): a text bound
// there that stands exactly for a double is bound as that double.
bool bind_statement(sqlite3_stmt *st, const ParamStore &ps, BindTally *tally,
                    std::string *err, const std::vector<uint8_t> *real_params = nullptr);

// Bind one value to placeholder `idx` (from 1); SQLite's result code.
int bind_one(sqlite3_stmt *st, int idx, const Value &v);

// The same check without binding anything.
bool check_statement(sqlite3_stmt *st, const ParamStore &ps, BindTally *tally,
                     std::string *err);

// After the last statement: no positional value may lie beyond the
// placeholders of the text.
bool check_tally(const ParamStore &ps, const BindTally &tally, std::string *err);

// Check every statement of a text of several statements before any of it
// runs: each is prepared (and given back) in turn.  A statement that cannot
// be prepared yet (it needs a table an earlier statement makes) ends the
// check there: the statements from it on are checked as they run.  When
// every statement was seen, positional values beyond them are refused too.
bool check_text(sqlite3 *db, const char *sql, const ParamStore &ps, std::string *err);

}  // namespace sq
}  // namespace vesk

#endif
