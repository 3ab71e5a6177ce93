// The library's own implementation of every operation, one impl_cli_* per
// cli_* of vesksql.h with the same parameters.  dispatch.cpp calls them.
#ifndef VESKSQL_CORE_IMPL_H
#define VESKSQL_CORE_IMPL_H

#include "vesksql_ops.h"

#define VESK_IMPL_DECL(name, params, args) int impl_##name params;
VESK_OPS(VESK_IMPL_DECL)
#undef VESK_IMPL_DECL

#endif
