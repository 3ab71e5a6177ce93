// The module-wide date-time interface slot and the few calls made through it.
#include "module/datetime_slot.h"

#include <datetime.h>

namespace vk {

bool import_datetime() {
  PyDateTime_IMPORT;
  return PyDateTimeAPI != nullptr;
}

bool datetime_ready() { return PyDateTimeAPI != nullptr; }

bool is_datetime(PyObject *o) { return PyDateTimeAPI && PyDateTime_Check(o); }
bool is_date(PyObject *o) { return PyDateTimeAPI && PyDate_Check(o); }
bool is_time(PyObject *o) { return PyDateTimeAPI && PyTime_Check(o); }

DateTimeParts datetime_parts(PyObject *dt) {
  return DateTimeParts{PyDateTime_GET_YEAR(dt),        PyDateTime_GET_MONTH(dt),
                       PyDateTime_GET_DAY(dt),         PyDateTime_DATE_GET_HOUR(dt),
                       PyDateTime_DATE_GET_MINUTE(dt), PyDateTime_DATE_GET_SECOND(dt),
                       PyDateTime_DATE_GET_MICROSECOND(dt)};
}

DateTimeParts date_parts(PyObject *d) {
  return DateTimeParts{PyDateTime_GET_YEAR(d), PyDateTime_GET_MONTH(d), PyDateTime_GET_DAY(d),
                       0, 0, 0, 0};
}

DateTimeParts time_parts(PyObject *t) {
  return DateTimeParts{0, 0, 0, PyDateTime_TIME_GET_HOUR(t), PyDateTime_TIME_GET_MINUTE(t),
                       PyDateTime_TIME_GET_SECOND(t), PyDateTime_TIME_GET_MICROSECOND(t)};
}

PyObject *new_datetime(const DateTimeParts &p) {
  return PyDateTime_FromDateAndTime(p.year, p.month, p.day, p.hour, p.minute, p.second,
                                    p.microsecond);
}

}  // namespace vk
