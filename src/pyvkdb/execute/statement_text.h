// The SQL argument of executemany and executebatch as the zero-terminated
// UTF-8 text the library takes.
#ifndef PYVKDB_EXECUTE_STATEMENT_TEXT_H
#define PYVKDB_EXECUTE_STATEMENT_TEXT_H

#include <Python.h>

namespace vk {

// The str's own UTF-8 text (valid while `sql` lives).  nullptr with
// ProgrammingError when `sql` is not a str ("<method> Parameter mismatch"),
// cannot be encoded, or holds a NUL (the library would stop reading there
// and run a different statement).
const char *statement_text(PyObject *sql, const char *method);

}  // namespace vk

#endif
