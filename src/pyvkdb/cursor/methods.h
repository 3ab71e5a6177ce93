// The cursor's Python methods, one group per file; the method table in
// cursor_type.cpp lists them.
#ifndef PYVKDB_CURSOR_METHODS_H
#define PYVKDB_CURSOR_METHODS_H

#include <Python.h>

namespace vk {

// cursor/registry.cpp
PyObject *cursor_setinputtype(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *cursor_setinputsizes(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *cursor_cleartype(PyObject *self, PyObject *unused);
PyObject *cursor_clearsize(PyObject *self, PyObject *unused);

// cursor/metadata.cpp
PyObject *cursor_getResultcolname(PyObject *self, PyObject *args);
PyObject *cursor_getResultcolseq(PyObject *self, PyObject *args);
PyObject *cursor_getResultcolsize(PyObject *self, PyObject *args);
PyObject *cursor_getResultcolscale(PyObject *self, PyObject *args);
PyObject *cursor_getResultRowid(PyObject *self, PyObject *unused);

// execute/execute.cpp, execute/executemany.cpp, execute/executebatch.cpp
PyObject *cursor_execute(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *cursor_executemany(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *cursor_executebatch(PyObject *self, PyObject *args, PyObject *kwds);

// cursor/conveniences.cpp: iteration, with-blocks, lastrowid, setoutputsize
PyObject *cursor_iternext(PyObject *self);
PyObject *cursor_enter(PyObject *self, PyObject *unused);
PyObject *cursor_exit(PyObject *self, PyObject *args);
PyObject *cursor_get_lastrowid(PyObject *self, void *closure);
PyObject *cursor_setoutputsize(PyObject *self, PyObject *args);

// routines/call.cpp
PyObject *cursor_callproc(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *cursor_callfunc(PyObject *self, PyObject *args, PyObject *kwds);

// fetch/fetch.cpp
PyObject *cursor_fetchone(PyObject *self, PyObject *unused);
PyObject *cursor_fetchmany(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *cursor_fetchall(PyObject *self, PyObject *unused);
PyObject *cursor_nextset(PyObject *self, PyObject *unused);

}  // namespace vk

#endif
