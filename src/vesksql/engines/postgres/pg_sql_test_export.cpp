// pg_sql_test_export.cpp -- a test-only entry point to the SQL text scanner
// (compiled only into the test suite's build of the library).
#ifdef VESK_TEST_HOOKS

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engines/postgres/pg_sql.h"
#include "vesksql.h"

namespace {

void put_escaped(std::string *dump, const std::string &text) {
  // One statement per line: backslash, newline, carriage return and tab are
  // written as \\ \n \r \t.
  for (char c : text) {
    switch (c) {
      case '\\': dump->append("\\\\"); break;
      case '\n': dump->append("\\n"); break;
      case '\r': dump->append("\\r"); break;
      case '\t': dump->append("\\t"); break;
      default: dump->push_back(c);
    }
  }
}

int32_t write_out(const std::string &text, char *out, int32_t cap) {
  if (!out || cap <= 0) return 0;
  size_t len = text.size() < static_cast<size_t>(cap) ? text.size() : static_cast<size_t>(cap) - 1;
  std::memcpy(out, text.data(), len);
  out[len] = '\0';
  return static_cast<int32_t>(len);
}

}  // namespace

// Splits `sql` and writes one line per statement into `out` (at most `cap`
// bytes, zero-terminated): the rewritten text (escaped as above), a TAB, then
// the statement's parameters in $n order, comma-separated, each "p<k>" for
// positional value k (0-based) or the name as written.  Returns the number of
// statements, or -1 with the error text in `out`.
extern "C" VESK_API int vesk_test_pg_split(const char *sql, char *out, int32_t cap) {
  std::vector<vesk::pg::SqlStatement> stmts;
  std::string err;
  if (!vesk::pg::split_statements(sql, &stmts, &err)) {
    write_out(err, out, cap);
    return -1;
  }
  std::string dump;
  for (const auto &st : stmts) {
    put_escaped(&dump, st.text);
    dump.push_back('\t');
    for (size_t i = 0; i < st.params.size(); ++i) {
      if (i) dump.push_back(',');
      if (st.params[i].position >= 0) {
        dump.push_back('p');
        dump.append(std::to_string(st.params[i].position));
      } else {
        dump.append(st.params[i].name);
      }
    }
    dump.push_back('\n');
  }
  write_out(dump, out, cap);
  return static_cast<int>(stmts.size());
}

#endif  // VESK_TEST_HOOKS
