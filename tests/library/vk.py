"""A thin ctypes wrapper over the C interface of libvesksql, for tests."""
import ctypes
import struct
from ctypes import POINTER, byref, c_char_p, c_int, c_int32, c_void_p

OK, ERROR, LOST, NO_DATA, NULL_LENGTH = 0, -1, -4, 100, -1

VARCHAR, BOOLEAN, INTEGER, BIGINT, DOUBLE, NUMERIC = 2, 1, 5, 6, 8, 9
DATE, TIME, DATETIME, DATETIME_MS, BINARY, CLOB, BLOB = 10, 11, 13, 23, 15, 41, 42


def connect_string(ip="", db=":memory:", user="u", pwd="p", port=0, charset="utf8",
                   usessl="0"):
    return "IP=%s; DB=%s; USER=%s; PWD=%s; PORT=%d; CHAR_SET=%s;USESSL=%s;" % (
        ip, db, user, pwd, port, charset, usessl)


class Lib(object):
    def __init__(self, dll):
        self.dll = dll
        H = POINTER(c_void_p)
        sig = {
            "cli_connect": [c_char_p, H],
            "cli_connect_multi": [c_char_p, c_int, H, H],
            "cli_disconnect": [H],
            "cli_free_addr_attrs": [H],
            "cli_reconnect": [H],
            "cli_exec_command": [H, c_char_p],
            "cli_error_text": [H, c_char_p, POINTER(c_int32)],
            "cli_sqlstate": [H, c_char_p],
            "cli_reset_params": [H],
            "cli_sql_kind": [c_char_p],
            "cli_exec_direct": [H, c_char_p, H, POINTER(c_int32), POINTER(c_int32),
                                POINTER(c_int32)],
            "cli_prepare": [H, c_char_p, c_int],
            "cli_exec_prepared": [H, c_int, c_int, H],
            "cli_unprepare": [H, c_void_p],
            "cli_exec_batch": [H, c_char_p, c_int32],
            "cli_bind_param": [H, c_int32, c_int32, c_int32, c_void_p, c_int32,
                               POINTER(c_int32)],
            "cli_bind_param_named": [H, c_char_p, c_int32, c_int32, c_void_p, c_int32,
                                     c_void_p, POINTER(c_int32)],
            "cli_bind_array": [H, c_int32, c_int32, c_int32, c_int32, c_int32, c_void_p,
                               c_int32, POINTER(c_int32)],
            "cli_result_info": [H, POINTER(c_int32), POINTER(c_int32), POINTER(c_int32),
                                POINTER(c_int32), c_void_p],
            "cli_free_result": [H],
            "cli_next_result": [H],
            "cli_fetch_row": [H],
            "cli_open_named_cursor": [H, c_char_p, H],
            "cli_close_named_cursor": [H, c_char_p],
            "cli_column_count": [H, POINTER(c_int32)],
            "cli_column_name": [H, c_int32, c_void_p],
            "cli_column_type": [H, c_int32, POINTER(c_int32)],
            "cli_column_size": [H, c_int32, POINTER(c_int32)],
            "cli_column_index": [H, c_char_p],
            "cli_get_rowid": [H, c_void_p],
            "cli_get_field": [H, c_int32, c_int32, c_void_p, c_int32, POINTER(c_int32)],
            "cli_lob_create": [H],
            "cli_lob_read": [H, c_void_p, c_int32],
            "cli_lob_free": [H],
        }
        for name, args in sig.items():
            f = getattr(dll, name)
            f.argtypes = args
            f.restype = c_int

    def __getattr__(self, name):
        return getattr(self.dll, "cli_" + name)

    def thread_error(self):
        h = c_void_p()
        return error_text(self, byref(h))

    def thread_sqlstate(self):
        h = c_void_p()
        return sqlstate(self, byref(h))

    def try_connect(self, **kw):
        h = c_void_p()
        rc = self.dll.cli_connect(connect_string(**kw).encode(), byref(h))
        return rc, h

    def connect(self, **kw):
        rc, h = self.try_connect(**kw)
        assert rc == OK, self.thread_error()
        return Conn(self, h)


def error_text(lib, href):
    buf = ctypes.create_string_buffer(256)
    n = c_int32(0)
    lib.dll.cli_error_text(href, buf, byref(n))
    return buf.raw[:n.value].decode("utf-8")


def sqlstate(lib, href):
    buf = ctypes.create_string_buffer(b"Z" * 16, 16)
    assert lib.dll.cli_sqlstate(href, buf) == OK
    return buf.value.decode("ascii")


class Conn(object):
    def __init__(self, lib, h):
        self.lib, self.h = lib, h

    @property
    def ref(self):
        return byref(self.h)

    def close(self):
        return self.lib.dll.cli_disconnect(self.ref)

    def error(self):
        return error_text(self.lib, self.ref)

    def sqlstate(self):
        return sqlstate(self.lib, self.ref)

    def command(self, sql):
        return self.lib.dll.cli_exec_command(self.ref, sql.encode())

    def bind(self, pos, value, name=None, typ=None):
        """Bind a Python value the way the driver module does."""
        buf, buflen, ln, t = _value_buffer(value)
        if typ is not None:
            t = typ
        cell = c_int32(ln)
        keep = buf
        ptr = ctypes.cast(buf, c_void_p) if buf is not None else None
        if name is None:
            rc = self.lib.dll.cli_bind_param(self.ref, pos, 1, t, ptr, buflen, byref(cell))
        else:
            rc = self.lib.dll.cli_bind_param_named(self.ref, name.encode(), 1, t, ptr, buflen,
                                                   None, byref(cell))
        del keep
        return rc

    def execute(self, sql, params=(), named=None):
        self.lib.dll.cli_reset_params(self.ref)
        for i, v in enumerate(params):
            self.bind(i + 1, v)
        for k, v in (named or {}).items():
            self.bind(0, v, name=k)
        return self.run(sql)

    def direct(self, sql):
        self.lib.dll.cli_reset_params(self.ref)
        return self.run(sql)

    def run(self, sql):
        """Execute with whatever is bound now."""
        r = c_void_p()
        a, b, c = c_int32(7), c_int32(7), c_int32(7)
        rc = self.lib.dll.cli_exec_direct(self.ref, sql.encode(), byref(r), byref(a), byref(b),
                                          byref(c))
        if rc < 0:
            raise DbError(self.error())
        return Result(self.lib, r, (a.value, b.value, c.value))

    def query(self, sql, params=(), named=None):
        res = self.execute(sql, params, named)
        try:
            return res.fetchall()
        finally:
            res.free()

    def bind_array(self, pos, typ, values, columns=1):
        """Bind a column the way executebatch does."""
        lens = (c_int32 * len(values))()
        if typ in (VARCHAR, BINARY):
            parts = []
            for i, v in enumerate(values):
                if v is None:
                    parts.append(struct.pack("=i", 0))
                    continue
                raw = v.encode() if isinstance(v, str) else v
                if not raw:
                    # an empty text is one zero byte; an empty binary value
                    # a record of no bytes under element length 1
                    lens[i] = 1
                    raw = b"\0" if typ == VARCHAR else b""
                else:
                    lens[i] = len(raw)
                parts.append(struct.pack("=i", len(raw)) + raw)
            data = b"".join(parts)
            width = len(data)
        else:
            fmt, width = {BIGINT: ("=q", 8), INTEGER: ("=i", 4), BOOLEAN: ("=i", 4),
                          DOUBLE: ("=d", 8)}[typ]
            data = b"".join(struct.pack(fmt, 0 if v is None else v) for v in values)
            for i, v in enumerate(values):
                lens[i] = 0 if v is None else width
        buf = ctypes.create_string_buffer(data, max(len(data), 1))
        return self.lib.dll.cli_bind_array(self.ref, pos, columns, 1, typ, len(values), buf,
                                           width, lens)

    def batch(self, sql, columns):
        self.lib.dll.cli_reset_params(self.ref)
        for i, (typ, values) in enumerate(columns):
            assert self.bind_array(i + 1, typ, values, len(columns)) == OK, self.error()
        rows = len(columns[0][1]) if columns else 0
        return self.lib.dll.cli_exec_batch(self.ref, sql.encode(), rows)


class DbError(Exception):
    pass


def _value_buffer(v):
    """(buffer, buffer length, length cell, type code) as the module sends them."""
    if v is None:
        return None, 0, 0, 0
    if isinstance(v, bool):
        return ctypes.create_string_buffer(struct.pack("=i", int(v)), 4), 4, 4, INTEGER
    if isinstance(v, int):
        return ctypes.create_string_buffer(struct.pack("=q", v), 8), 8, 8, BIGINT
    if isinstance(v, float):
        text = ("%0.13f" % v).encode()[:64]
        return ctypes.create_string_buffer(text, 64), 64, 64, VARCHAR
    if isinstance(v, str):
        raw = v.encode()
        n = len(raw) or 1
        return ctypes.create_string_buffer(raw, n + 1), n + 1, n, VARCHAR
    if isinstance(v, bytes):
        return ctypes.create_string_buffer(v, len(v) + 1), len(v) + 1, len(v), BINARY
    raise TypeError(v)


class Result(object):
    def __init__(self, lib, r, counters):
        self.lib, self.r, self.counters = lib, r, counters

    @property
    def ref(self):
        return byref(self.r)

    def __bool__(self):
        return bool(self.r.value)

    __nonzero__ = __bool__

    def free(self):
        return self.lib.dll.cli_free_result(self.ref)

    def info(self):
        k, a, b, c = c_int32(), c_int32(), c_int32(), c_int32()
        rc = self.lib.dll.cli_result_info(self.ref, byref(k), byref(a), byref(b), byref(c), None)
        return rc, k.value, (a.value, b.value, c.value)

    def fetch(self):
        return self.lib.dll.cli_fetch_row(self.ref)

    def ncols(self):
        n = c_int32(-9)
        self.lib.dll.cli_column_count(self.ref, byref(n))
        return n.value

    def name(self, col):
        buf = ctypes.create_string_buffer(256)
        rc = self.lib.dll.cli_column_name(self.ref, col, buf)
        return rc, buf.raw

    def ctype(self, col):
        t = c_int32(-9)
        self.lib.dll.cli_column_type(self.ref, col, byref(t))
        return t.value

    def size(self, col):
        s = c_int32(-9)
        self.lib.dll.cli_column_size(self.ref, col, byref(s))
        return s.value

    def field(self, col, typ, cap):
        buf = ctypes.create_string_buffer(cap + 1)
        n = c_int32(-9)
        rc = self.lib.dll.cli_get_field(self.ref, col, typ, buf, cap, byref(n))
        return rc, n.value, buf.raw

    def lob(self, col, typ):
        loc = c_void_p()
        self.lib.dll.cli_lob_create(byref(loc))
        try:
            n = c_int32(-9)
            rc = self.lib.dll.cli_get_field(self.ref, col, typ, byref(loc), 8, byref(n))
            data = b""
            if n.value > 0:
                buf = ctypes.create_string_buffer(n.value)
                self.lib.dll.cli_lob_read(byref(loc), buf, n.value)
                data = buf.raw
            return rc, n.value, data
        finally:
            self.lib.dll.cli_lob_free(byref(loc))

    def value(self, col):
        """Read a cell the way the driver module does, by its per-cell type."""
        t = self.ctype(col)
        if t == BOOLEAN:
            rc, n, raw = self.field(col, t, 1)
            return None if n <= 0 else raw[:1] == b"T"
        if t == VARCHAR:
            s = self.size(col)
            cap = 196608 if s == -1 else 6 * s
            rc, n, raw = self.field(col, t, cap)
            return None if n <= 0 else raw.split(b"\0", 1)[0].decode()
        if t in (BIGINT, DOUBLE, DATETIME_MS):
            rc, n, raw = self.field(col, t, 8)
            if t == DATETIME_MS:
                return ("ms", struct.unpack("=q", raw[:8])[0]) if n == 8 else None
            return None if n <= 0 else struct.unpack("=q" if t == BIGINT else "=d", raw[:8])[0]
        if t == NUMERIC:
            rc, n, raw = self.field(col, t, 40)
            return None if n <= 0 else float(raw.split(b"\0", 1)[0])
        if t in (DATE, TIME):
            cap = 11 if t == DATE else 9
            rc, n, raw = self.field(col, t, cap)
            return None if n <= 0 else raw.split(b"\0", 1)[0].decode()
        if t in (CLOB, BLOB):
            rc, n, data = self.lob(col, t)
            if n < 0 or (t == CLOB and n == 0):
                return None
            return data.split(b"\0", 1)[0].decode() if t == CLOB else data
        raise AssertionError("unexpected type code %d" % t)

    def row(self):
        return tuple(self.value(c) for c in range(1, self.ncols() + 1))

    def fetchall(self):
        rows = []
        while True:
            rc = self.fetch()
            if rc == NO_DATA:
                return rows
            assert rc == OK, rc
            rows.append(self.row())
