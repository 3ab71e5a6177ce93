"""Helpers of the fetch tests: a cursor holding a scripted result, and a
way to make that result a named server cursor's batch."""
import ctypes
import ctypes.util

import pytest

RESULT_ID = 5
NAMED_FLAG = 16


def scripted_connection():
    from vkcondb import _pyvkdb
    return _pyvkdb._connect(port=7, host="h", database="d", user="u", password="p",
                            charset="c", usessl="s", usetls="", usetlcp="")


def query(script, columns, rows, kind=4, result_id=RESULT_ID):
    """A connection and a cursor whose current result is the given table."""
    script.table(result_id, columns, rows, kind)
    script.default("cli_sql_kind", {"ret": 4})
    script.script("cli_exec_direct", {"result": result_id})
    conn = scripted_connection()
    cur = conn.cursor()
    cur.execute("select")
    return conn, cur


class CursorRecord(object):
    """Raw access to the batch fields of a cursor record.

    Named server cursors are opened by stored-routine calls; to test the
    fetch side on its own the record's named-cursor fields are set here.  The
    field offsets are checked against the members the cursor exposes
    (rowcount, arraysize) before anything is written.
    """

    FLAGS, RESULT_KIND, ROWCOUNT, ARRAYSIZE, BATCH, NAME, RESULT = 32, 64, 76, 80, 84, 88, 96

    def __init__(self, cur):
        self.cur = cur
        self.base = id(cur)
        saved = (cur.rowcount, cur.arraysize)
        cur.rowcount, cur.arraysize = 0x1234567, 0x7654321
        ok = (self._i32(self.ROWCOUNT) == 0x1234567 and self._i32(self.ARRAYSIZE) == 0x7654321)
        cur.rowcount, cur.arraysize = saved
        if not ok:
            pytest.skip("cursor record layout differs on this build")

    def _i32(self, off):
        return ctypes.c_int32.from_address(self.base + off).value

    def _set_i32(self, off, value):
        ctypes.c_int32.from_address(self.base + off).value = value

    @property
    def batch_count(self):
        return self._i32(self.BATCH)

    @property
    def result(self):
        return ctypes.c_void_p.from_address(self.base + self.RESULT).value or 0

    @property
    def flags(self):
        return ctypes.c_uint32.from_address(self.base + self.FLAGS).value

    @property
    def name(self):
        p = ctypes.c_void_p.from_address(self.base + self.NAME).value
        return None if not p else ctypes.string_at(p)

    def open_named(self, name, batch_count):
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        libc.calloc.restype = ctypes.c_void_p
        libc.calloc.argtypes = [ctypes.c_size_t, ctypes.c_size_t]
        block = libc.calloc(64, 1)
        ctypes.memmove(block, name, len(name))
        ctypes.c_void_p.from_address(self.base + self.NAME).value = block
        flags = ctypes.c_uint32.from_address(self.base + self.FLAGS)
        flags.value = flags.value | NAMED_FLAG
        self._set_i32(self.BATCH, batch_count)
