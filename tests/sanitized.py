"""Whether the tests run under the sanitizers (dev/sanitize.sh), and the
environment for programs that are not ours.

Under dev/sanitize.sh the ASan runtime is preloaded into every process that
inherits the environment.  Python children that load the driver keep it (so
they are checked too); the PostgreSQL server programs, psql and the type
checkers are started without it: their own leaks at exit are not ours to
report, and an instrumented server would only be slower.
"""
import os

ACTIVE = os.environ.get("VKCONDB_SANITIZED", "") == "1"

_RUNTIME_VARS = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS",
                 "PYTHONMALLOC", "VKCONDB_SANITIZED")


def foreign_env(env):
    """`env` (a dict) without the sanitizer runtime and its settings while
    the sanitizers are on; `env` itself otherwise."""
    if not ACTIVE:
        return env
    return {k: v for k, v in env.items() if k not in _RUNTIME_VARS}
