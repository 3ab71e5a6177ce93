/*
 * vesksql_hooks.h -- the test seam of the library.
 *
 * A test engine installs a table of functions with vesk_set_hooks; from then
 * on every cli_* call whose entry in the table is set goes to the table
 * instead of the library's engines.
 *
 * The seam exists only in a library built for the test suite (configured
 * with VKCONDB_TEST_ENGINE, which compiles the library with
 * VESK_TEST_HOOKS).  The shipped library has no vesk_set_hooks: its cli_*
 * functions always run the library's own engines.
 */
#ifndef VESKSQL_HOOKS_H
#define VESKSQL_HOOKS_H

#include "vesksql_ops.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vesk_hooks {
#define VESK_HOOK_FIELD(name, params, args) int (*name) params;
  VESK_OPS(VESK_HOOK_FIELD)
#undef VESK_HOOK_FIELD
} vesk_hooks;

/* Install a hook table (NULL removes it).  The table must outlive its use. */
VESK_API void vesk_set_hooks(const vesk_hooks *hooks);

#ifdef __cplusplus
}
#endif
#endif /* VESKSQL_HOOKS_H */
