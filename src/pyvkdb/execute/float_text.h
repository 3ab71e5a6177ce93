// The thirteen-decimal text of a float, made without the C library's
// general formatter for the values that parameters usually hold.
#ifndef PYVKDB_EXECUTE_FLOAT_TEXT_H
#define PYVKDB_EXECUTE_FLOAT_TEXT_H

#include <cstddef>

namespace vk {

enum class FixedText {
  RoundTrips,     // written; the text reads back as the same double
  Inexact,        // written; the text reads back as another double
  NotHandled,     // nothing written: use the general formatter
};

// Write what "%0.13lf" writes for `value` (correctly rounded, ties to
// even) into out[0..cap), zero-terminated, for finite values below 2^53 in
// magnitude, and tell whether the text reads back as `value`.  Other values
// (and a `cap` too small) are not handled.
FixedText format_fixed13(double value, char *out, size_t cap);

}  // namespace vk

#endif
