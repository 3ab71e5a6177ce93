// Public entry points: each cli_* goes to an installed hook table when one
// is set, otherwise to the library's own implementation impl_cli_*.
#include <atomic>

#include "vesksql_hooks.h"
#include "impl.h"

namespace {
std::atomic<const vesk_hooks *> g_hooks{nullptr};
}

extern "C" VESK_API void vesk_set_hooks(const vesk_hooks *hooks) {
  g_hooks.store(hooks, std::memory_order_release);
}

#define VESK_DISPATCH(name, params, args)                                  \
  extern "C" VESK_API int name params {                                    \
    const vesk_hooks *hk = g_hooks.load(std::memory_order_acquire);        \
    if (hk != nullptr && hk->name != nullptr) return hk->name args;        \
    return impl_##name args;                                               \
  }
VESK_OPS(VESK_DISPATCH)
#undef VESK_DISPATCH
