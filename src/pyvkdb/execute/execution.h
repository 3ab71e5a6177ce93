// Steps that execute, executemany and executebatch share.
#ifndef PYVKDB_EXECUTE_EXECUTION_H
#define PYVKDB_EXECUTE_EXECUTION_H

#include <Python.h>

#include "cursor/cursor.h"

namespace vk {

// The start of every execution method: the cursor precondition, the
// release of the previous result, rowcount 0 and description None, and
// (when `import_dt`) the date-time interface imported into its slot.
// False with an exception set.
bool begin_execution(CursorObject *self, bool import_dt);

// The SQL argument as the str's own zero-terminated UTF-8 text (valid while
// `sql` lives).  nullptr with ProgrammingError when `sql` is not a str
// ("<method> Parameter mismatch"), cannot be encoded, or holds a NUL (the
// library would stop reading there and run a different statement).
const char *statement_text(PyObject *sql, const char *method);

// After a failed run: give back any result the library wrote and zero the
// counters.
void drop_failed_result(CursorObject *self);

// After a successful run: settle the counters (a statement without rows
// takes the rowcount rule alone; any other result is refreshed from the
// library) and build the description of a result with rows.  Returns None,
// or nullptr with an exception set.
PyObject *settle_execution(CursorObject *self);

}  // namespace vk

#endif
