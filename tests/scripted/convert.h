// convert.h -- checked conversions of Python values given by a test.  Each
// returns false with a Python error set when the value does not fit.
#ifndef VKSCRIPT_CONVERT_H
#define VKSCRIPT_CONVERT_H

#include <cstdint>
#include <string>

#include "engine.h"

namespace vks {

bool to_int32(PyObject *v, const char *what, int32_t *out);
bool to_handle(PyObject *v, const char *what, uintptr_t *out);
// bytes, bytearray or str (UTF-8)
bool to_data(PyObject *v, const char *what, std::string *out);
bool to_text(PyObject *v, const char *what, Text *out);

}  // namespace vks
#endif
