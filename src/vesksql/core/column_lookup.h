// Finding a result column by name, for every engine's cli_column_index.
#ifndef VESKSQL_CORE_COLUMN_LOOKUP_H
#define VESKSQL_CORE_COLUMN_LOOKUP_H

#include <cstring>

#include "text_util.h"

namespace vesk {

// The column (from 1) called `name` among `cols` (each with a std::string
// `name`): the exact spelling first, else the first that matches ignoring
// ASCII case; 0 for none.
template <typename Cols>
int column_index_by_name(const Cols &cols, const char *name) {
  if (name == nullptr) return 0;
  for (size_t i = 0; i < cols.size(); ++i)
    if (cols[i].name == name) return static_cast<int>(i + 1);
  const size_t n = std::strlen(name);
  for (size_t i = 0; i < cols.size(); ++i)
    if (cols[i].name.size() == n && ascii_ieq(cols[i].name.data(), name, n))
      return static_cast<int>(i + 1);
  return 0;
}

}  // namespace vesk

#endif
