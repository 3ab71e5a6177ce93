"""Measuring what a call leaves behind when it is repeated.

``growth(call, n)`` runs `call` a few hundred times to warm up (free lists,
caches, interned names, the library's statement cache), then `n` times, and
returns what grew over those `n` runs:

- ``blocks``: ``sys.getallocatedblocks()``, the interpreter's live memory
  blocks (every object, every PyMem block): a leaked reference shows here;
- ``heap``: the bytes in use in the C heap (glibc's mallinfo2: every
  malloc/new of the driver, the library and SQLite, and the interpreter's
  larger objects): a leaked result, buffer or locator shows here.

A call that leaks one block or one heap chunk per run grows by `n` blocks or
by at least 32 * `n` bytes (the smallest malloc chunk), so the allowances
below are far under any per-call leak and above the noise of the caches:
- BLOCKS_ALLOWANCE: a dict or list of a cache that grows by a step, a code
  object's lazily built tables, a first use of a free list;
- HEAP_ALLOWANCE: one step of a growing arena or of SQLite's page cache.

Under dev/sanitize.sh (PYTHONMALLOC=malloc) the interpreter counts no blocks
and the heap is ASan's: the calls still run, a few times each, so the
sanitizers see every path, and LeakSanitizer checks the heap at exit.

``rss()`` is the resident size from /proc/self/statm, for the long runs.
"""
import ctypes
import ctypes.util
import gc
import os
import sys

import sanitized

ITERATIONS = 30 if sanitized.ACTIVE else int(os.environ.get("VKCONDB_LEAK_ITERATIONS", "10000"))
WARMUP = 5 if sanitized.ACTIVE else 300
BLOCKS_ALLOWANCE = 50
HEAP_ALLOWANCE = 64 * 1024
MEASURED = not sanitized.ACTIVE


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]


def _mallinfo2():
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None          # not glibc 2.33 or later: the heap is not measured
    fn.argtypes = []
    fn.restype = _Mallinfo2
    return fn


_heap_info = _mallinfo2()


def heap_in_use():
    """Bytes of C heap in use (small chunks and mmapped large ones), or 0."""
    if _heap_info is None:
        return 0
    info = _heap_info()
    return info.uordblks + info.hblkhd


def rss():
    """Resident set size of this process in bytes."""
    with open("/proc/self/statm") as f:
        resident = int(f.read().split()[1])
    return resident * os.sysconf("SC_PAGE_SIZE")


class Growth(object):
    def __init__(self, blocks, heap):
        self.blocks, self.heap = blocks, heap

    def within_allowance(self):
        return self.blocks <= BLOCKS_ALLOWANCE and self.heap <= HEAP_ALLOWANCE

    def __repr__(self):
        return "Growth(blocks=%+d, heap=%+d bytes)" % (self.blocks, self.heap)


def expecting(call, error):
    """`call` wrapped to end in `error` (a class, matched exactly, so a
    different failure on the way is not taken for the expected one);
    with error None, `call` itself."""
    if error is None:
        return call

    def failing():
        try:
            call()
        except error as exc:
            if type(exc) is not error:
                raise
            return
        raise AssertionError("no %s was raised" % error.__name__)
    return failing


def _settle():
    gc.collect()
    gc.collect()


def growth(call, n=None, warmup=None):
    """What `n` more runs of `call` left behind, after `warmup` runs."""
    n = ITERATIONS if n is None else n
    for _ in range(WARMUP if warmup is None else warmup):
        call()
    _settle()
    blocks, heap = sys.getallocatedblocks(), heap_in_use()
    for _ in range(n):
        call()
    _settle()
    return Growth(sys.getallocatedblocks() - blocks, heap_in_use() - heap)


def report(name, n, *figures):
    """VKCONDB_LEAK_REPORT=FILE collects every measurement, one tab-separated
    line each: name, runs, then the figures (growth in blocks, bytes...)."""
    path = os.environ.get("VKCONDB_LEAK_REPORT")
    if path and MEASURED:
        with open(path, "a") as f:
            f.write("\t".join([name, str(n)] + [str(x) for x in figures]) + "\n")


def check(name, call, error=None, n=None):
    """Run `call` (ending in `error`, when given) `n` times and fail when
    it left anything behind beyond the allowances.  A call that grew is
    measured once more before it fails: a cache that filled up in the first
    round is full in the second, a leak grows again."""
    n = ITERATIONS if n is None else n
    call = expecting(call, error)
    result = growth(call, n)
    if MEASURED and not result.within_allowance():
        first, result = result, growth(call, n, warmup=0)
        assert result.within_allowance(), "%s: %r, then %r over %d calls" % (
            name, first, result, n)
    report(name, n, result.blocks, result.heap)
    return result
