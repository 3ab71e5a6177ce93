// The module's ten exception classes and the helpers every method raises
// through.
#ifndef PYVKDB_MODULE_ERRORS_H
#define PYVKDB_MODULE_ERRORS_H

#include <Python.h>

#include "client/client.h"
#include "module/pyref.h"

namespace vk {

extern PyObject *Error;
extern PyObject *Warning;
extern PyObject *InterfaceError;
extern PyObject *DatabaseError;
extern PyObject *DataError;
extern PyObject *OperationalError;
extern PyObject *IntegrityError;
extern PyObject *InternalError;
extern PyObject *ProgrammingError;
extern PyObject *NotSupportedError;

// Create the classes into their slots and publish them in the module's
// dictionary.  False with a Python error set on failure.
bool create_exception_classes(PyObject *module_dict);

// Give `type` the ten classes as class attributes (conn.Error, ...).
bool add_exception_attributes(PyTypeObject *type);

// Raise `cls` with a fixed message, replacing any error already set.
// Always returns nullptr so callers can `return raise(...)`.
PyObject *raise(PyObject *cls, const char *message);
// The same for a text the library wrote: bytes that are not UTF-8 show as
// U+FFFD instead of turning the error into a UnicodeDecodeError.
PyObject *raise_text(PyObject *cls, const char *text);

// Read the connection's last error text from the library (bounded to the
// library's error-text capacity) into `out`, which holds
// VESK_ERROR_TEXT_CAP bytes.  The text always ends within the buffer.
void read_error_text(vesk_conn **handle, char *out);

// Raise OperationalError with the library's last error text for `handle`:
// where the library's SQLSTATE names a kind of failure, as the subclass that
// also derives from that kind's class (23 IntegrityError, 22 DataError, 0A
// NotSupportedError, 42 ProgrammingError, XX InternalError); the SQLSTATE
// is the exception's `sqlstate`.  Always returns nullptr.
PyObject *raise_library_error(vesk_conn **handle);

// A failed library call that the module reports with the fixed `message`:
// the class and `sqlstate` still follow the library's SQLSTATE as above,
// so a lost connection (class 08) can be told from any other failure.
// Always returns nullptr.
PyObject *raise_library_failure(vesk_conn **handle, const char *message);

}  // namespace vk

#endif
