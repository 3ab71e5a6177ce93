// Texts of exact numbers bound for columns of REAL affinity.
//
// A number bound as text ("12.5000000000000") into a column of REAL
// affinity is converted by SQLite as it is stored, into the double the text
// stands for.  When that double is the text's value exactly (a decimal with
// at most 15 significant digits whose value a double holds without
// rounding), every correct conversion gives it, so binding that double
// instead stores the very same value, without SQLite reading the text back.
// Any other text, and any placeholder whose column is not known to have
// REAL affinity, is bound as the text.
//
// Which placeholders qualify is read from the statement and the schema:
// "INSERT [OR x] INTO [schema.]table [(columns)] VALUES (?, ..., ?)", one
// row of plain placeholders and nothing after it, into an ordinary table
// with no triggers, CHECK constraints or generated columns (each of which
// could see a value before its conversion).  The schema may only be relied
// on while it cannot change: see SqliteConn::exec_prepared.
#ifndef VESKSQL_SQLITE_REAL_PARAMS_H
#define VESKSQL_SQLITE_REAL_PARAMS_H

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vesk {
namespace sq {

// The shape of an INSERT that feeds each placeholder straight into a column.
struct InsertShape {
  std::string schema;                // empty when the table name is not qualified
  std::string table;
  std::vector<std::string> columns;  // the column list; empty when there is none
  int placeholders = 0;              // "?" in the VALUES row, in order
};

// Read the shape of `sql`; false for any other statement.
bool insert_shape(const char *sql, InsertShape *out);

// Whether SQLite gives a column declared as `decl` REAL affinity.
bool real_affinity(const char *decl);

// One flag per placeholder (1: its column has REAL affinity and nothing
// else sees the value before it is stored) for a prepared INSERT, read from
// the schema the connection sees now; empty when none qualifies or the
// schema cannot be read.
std::vector<uint8_t> real_params_of(sqlite3 *db, const char *sql);

// The double that the text p[0..n) stands for, when a double holds it
// exactly: "[-]digits[.digits]", at most 15 significant digits once the
// zeros ending the fraction are dropped, not zero.  False otherwise.
bool exact_decimal(const char *p, size_t n, double *out);

}  // namespace sq
}  // namespace vesk

#endif
