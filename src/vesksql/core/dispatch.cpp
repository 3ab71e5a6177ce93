// Public entry points: each cli_* calls the library's own implementation
// impl_cli_*.
//
// A library built for the test suite (VESK_TEST_HOOKS, set by the build when
// the scripted test engine is built) also carries the test seam of
// vesksql_hooks.h: each cli_* goes to an installed hook table when one is
// set.  The shipped library has no such table and no way to install one.
#include "impl.h"
#include "vesksql.h"

#ifdef VESK_TEST_HOOKS

#include <atomic>
#include <cstdint>

#include "vesksql_hooks.h"

namespace {

std::atomic<const vesk_hooks *> g_hooks{nullptr};

// No handle the library makes lives in the first page of the address space.
// A value there (a small id the test engine handed out, then dropped after
// the engine went away) is refused instead of being followed.
constexpr std::uintptr_t kLowestHandleAddress = 4096;

template <typename T>
inline bool holds_bogus_handle(T **slot) {
  return slot != nullptr && *slot != nullptr &&
         reinterpret_cast<std::uintptr_t>(*slot) < kLowestHandleAddress;
}
inline bool holds_bogus_handle(const char *) { return false; }

template <typename First, typename... Rest>
inline bool first_holds_bogus_handle(First first, Rest...) {
  return holds_bogus_handle(first);
}

}  // namespace

extern "C" VESK_API void vesk_set_hooks(const vesk_hooks *hooks) {
  g_hooks.store(hooks, std::memory_order_release);
}

#define VESK_DISPATCH(name, params, args)                                  \
  extern "C" VESK_API int name params {                                    \
    const vesk_hooks *hk = g_hooks.load(std::memory_order_acquire);        \
    if (hk != nullptr && hk->name != nullptr) return hk->name args;        \
    if (first_holds_bogus_handle args) return VESK_ERROR;                  \
    return impl_##name args;                                               \
  }

#else  // the shipped library

#define VESK_DISPATCH(name, params, args) \
  extern "C" VESK_API int name params { return impl_##name args; }

#endif

VESK_OPS(VESK_DISPATCH)
#undef VESK_DISPATCH
