// The type-name table of the description: type name, size and scale a
// column is described with, from its type code and raw size.
#ifndef PYVKDB_CURSOR_COLUMN_TYPES_H
#define PYVKDB_CURSOR_COLUMN_TYPES_H

#include <cstdint>

namespace vk {

struct ColumnTypeInfo {
  const char *name;  // "" for a code the table does not know
  int32_t size;
  int32_t scale;
};

ColumnTypeInfo column_type_info(int32_t type_code, int32_t raw_size);

}  // namespace vk

#endif
