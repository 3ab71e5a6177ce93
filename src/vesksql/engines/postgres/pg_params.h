// The parameters of one statement execution in libpq's form: values as
// texts the server infers a type for (no type named, so "?" works for an
// int4 column or a function's argument), bytes in binary form as bytea.
// For a prepared statement, whose parameters' types the server has fixed,
// numbers go in binary form where it holds the same value.
#ifndef VESKSQL_PG_PARAMS_H
#define VESKSQL_PG_PARAMS_H

#include <libpq-fe.h>

#include <string>
#include <vector>

#include "core/params.h"
#include "pg_sql.h"

namespace vesk {
namespace pg {

// Reused from one execution to the next: no allocation once warm.
struct ParamArrays {
  std::vector<const char *> values;
  std::vector<int> lengths;
  std::vector<int> formats;
  std::vector<Oid> types;
  std::vector<std::string> texts;  // the text forms of numbers

  int count() const { return static_cast<int>(values.size()); }
  // Size every array for n parameters.
  void resize(size_t n);
  // Parameter i from a bound value (which must outlive the execution).
  // `server_type`, when known (the type the server gave the parameter of a
  // prepared statement), lets a number go in its binary form where that
  // holds the same value as its text (pg_params.cpp).
  void set(size_t i, const Value &v, Oid server_type = 0);
};

// Fill `args` for statement `st` from the bound values: a positional ref
// from its slot, a named one by its name as written or bare (":id" finds a
// value bound as "id").  False with *err (the missing one named) when a
// placeholder has no value.
bool gather(const SqlStatement &st, const ParamStore &ps, ParamArrays *args, std::string *err,
            const std::vector<Oid> *server_types = nullptr);

// The text form of an integer or a double as the server reads it,
// appended to *out.
void append_integer(int64_t v, std::string *out);
void append_double(double v, std::string *out);
// Value i of a column of integers or doubles, appended the same way.
void append_number(const ArrayColumn &col, int32_t row, std::string *out);

}  // namespace pg
}  // namespace vesk

#endif
