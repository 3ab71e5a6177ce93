// The module-wide slot holding the host's date-time interface.  Every
// execution method imports it afresh; conversions read it.  Only
// datetime_slot.cpp includes the host's datetime.h.
#ifndef PYVKDB_MODULE_DATETIME_SLOT_H
#define PYVKDB_MODULE_DATETIME_SLOT_H

#include <Python.h>

namespace vk {

struct DateTimeParts {
  int year, month, day;
  int hour, minute, second, microsecond;
};

// Import the interface from the capsule "datetime.datetime_CAPI" into the
// slot.  False with a Python error set when the import fails.
bool import_datetime();
// True once some execution method has filled the slot.
bool datetime_ready();

bool is_datetime(PyObject *o);  // datetime.datetime or a subclass
bool is_date(PyObject *o);      // datetime.date or a subclass (a datetime too)
bool is_time(PyObject *o);      // datetime.time or a subclass

// Fields of a date-time, a date (time fields 0) or a time (date fields 0).
DateTimeParts datetime_parts(PyObject *dt);
DateTimeParts date_parts(PyObject *d);
DateTimeParts time_parts(PyObject *t);

// A naive datetime.datetime; nullptr with an error set (e.g. year out of range).
PyObject *new_datetime(const DateTimeParts &p);

}  // namespace vk

#endif
