// Type codes for SQLite values: the declared code of a column and the code
// under which one cell's value comes back whole.
#ifndef VESKSQL_SQLITE_TYPES_H
#define VESKSQL_SQLITE_TYPES_H

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "vesksql.h"

namespace vesk {
namespace sq {

// Text capacity the caller uses for an unbounded text column.
constexpr int32_t kUnboundedTextCap = 196608;

// One cell as SQLite stores it.
struct Cell {
  int storage = 5;  // SQLITE_INTEGER .. SQLITE_NULL
  int64_t i = 0;
  double d = 0;
  const char *p = nullptr;  // text or blob bytes
  int32_t n = 0;
};

struct ColInfo {
  std::string name;
  int32_t code = 2;    // declared code
  int32_t size = -1;   // declared raw size
  int32_t text_cap = kUnboundedTextCap;  // bytes a text of this column may take
};

// The code and raw size for a declared type word.  False when the word
// follows none of the rules (the column then goes by its first value).
bool declared_code(const char *decl, int32_t *code, int32_t *size);

// The code and raw size for a column without a usable declared type, from
// its first value's storage class (SQLITE_NULL when there is no row).
void value_code(int storage, int32_t *code, int32_t *size);

void finish_col(ColInfo *c);

// The code under which this cell comes back whole.
int32_t cell_code_of(const ColInfo &c, const Cell &cell);
inline int32_t cell_code(const ColInfo &c, const Cell &cell) {
  // A whole number in an integer column and a real number in a real
  // column, as cell_code_of answers them.
  if (cell.storage == SQLITE_INTEGER && c.code == VESK_TYPE_BIGINT) return VESK_TYPE_BIGINT;
  if (cell.storage == SQLITE_FLOAT && c.code == VESK_TYPE_DOUBLE) return VESK_TYPE_DOUBLE;
  return cell_code_of(c, cell);
}
// The raw size that goes with a cell's code.
int32_t cell_size(const ColInfo &c, int32_t code);


}  // namespace sq
}  // namespace vesk

#endif
