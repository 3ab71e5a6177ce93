// Applying the parameters bound on a connection to SQLite statements.
#ifndef VESKSQL_SQLITE_BIND_H
#define VESKSQL_SQLITE_BIND_H

#include <sqlite3.h>

#include <string>
#include <vector>

#include "core/params.h"

namespace vesk {
namespace sq {

// Tracks, across the statements of one text, which parameters were taken.
struct BindTally {
  int positions = 0;           // placeholders seen so far
  std::vector<bool> named_used;
};

// Bind the statement's placeholders: positional values by running number
// (tally->positions + index), named values by name (a bare name also finds
// ":name", "@name" and "$name").  Unbound placeholders stay NULL.
bool bind_statement(sqlite3_stmt *st, const ParamStore &ps, BindTally *tally,
                    std::string *err);

// After the last statement: every bound value must have found a placeholder.
bool check_tally(const ParamStore &ps, const BindTally &tally, std::string *err);

}  // namespace sq
}  // namespace vesk

#endif
