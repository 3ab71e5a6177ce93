"""vkcondb: a Python database driver over the vesksql client library.

With no host the embedded engine opens an SQLite database file (or
":memory:"); a host name selects the PostgreSQL engine.

    import vkcondb
    conn = vkcondb.connect("app.db")
    cur = conn.cursor()
    cur.execute("select ?", (1,))
"""
import datetime as _datetime
import time as _time

from . import _pyvkdb37 as _pyvkdb
from . import _target

__all__ = [
    "connect", "pool", "connection", "conpool", "cursor", "version",
    "apilevel", "threadsafety", "paramstyle",
    "Error", "Warning", "InterfaceError", "DatabaseError", "DataError",
    "OperationalError", "IntegrityError", "InternalError", "ProgrammingError",
    "NotSupportedError",
    "Date", "Time", "Timestamp", "DateFromTicks", "TimeFromTicks", "TimestampFromTicks",
    "Binary", "STRING", "BINARY", "NUMBER", "DATETIME", "ROWID",
]

connection = _pyvkdb.connection
conpool = _pyvkdb.conpool
cursor = _pyvkdb.cursor
version = _pyvkdb.version

Error = _pyvkdb.Error
Warning = _pyvkdb.Warning
InterfaceError = _pyvkdb.InterfaceError
DatabaseError = _pyvkdb.DatabaseError
DataError = _pyvkdb.DataError
OperationalError = _pyvkdb.OperationalError
IntegrityError = _pyvkdb.IntegrityError
InternalError = _pyvkdb.InternalError
ProgrammingError = _pyvkdb.ProgrammingError
NotSupportedError = _pyvkdb.NotSupportedError

# A library failure whose SQLSTATE names its kind is raised as one of these:
# an OperationalError that is also an IntegrityError, a DataError, ...
OperationalIntegrityError = _pyvkdb.OperationalIntegrityError
OperationalDataError = _pyvkdb.OperationalDataError
OperationalNotSupportedError = _pyvkdb.OperationalNotSupportedError
OperationalProgrammingError = _pyvkdb.OperationalProgrammingError
OperationalInternalError = _pyvkdb.OperationalInternalError

apilevel = "2.0"
threadsafety = 1
paramstyle = "qmark"  # a dict of names binds :name, @name and $name as well

# --- exceptions that cross process boundaries --------------------------------
_ERROR_CLASSES = {
    cls.__name__: cls
    for cls in (Error, Warning, InterfaceError, DatabaseError, DataError, OperationalError,
                IntegrityError, InternalError, ProgrammingError, NotSupportedError,
                OperationalIntegrityError, OperationalDataError, OperationalNotSupportedError,
                OperationalProgrammingError, OperationalInternalError)
}


def _rebuild_error(name, args, state):
    error = _ERROR_CLASSES[name](*args)
    if state:
        error.__dict__.update(state)
    return error


def _reduce_error(self):
    # The classes live in the extension module; pickle finds them by name here.
    return (_rebuild_error, (type(self).__name__, self.args, self.__dict__ or None))


Error.__reduce__ = _reduce_error
Warning.__reduce__ = _reduce_error


# --- types and constructors ----------------------------------------------------
Date = _datetime.date
Time = _datetime.time
Timestamp = _datetime.datetime
Binary = bytes


def DateFromTicks(ticks):
    return Date(*_time.localtime(ticks)[:3])


def TimeFromTicks(ticks):
    return Time(*_time.localtime(ticks)[3:6])


def TimestampFromTicks(ticks):
    return Timestamp(*_time.localtime(ticks)[:6])


class _TypeGroup(frozenset):
    """A DB-API type object: equal to each type name that `description`
    reports for a column of that group."""

    def __eq__(self, other):
        if isinstance(other, str):
            return other in self
        return frozenset.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)

    __hash__ = frozenset.__hash__


STRING = _TypeGroup(("VARCHAR", "CHAR", "CLOB"))
BINARY = _TypeGroup(("BINARY", "BLOB"))
NUMBER = _TypeGroup(("TINYINT", "SMALLINT", "INTEGER", "BIGINT", "FLOAT", "DOUBLE", "NUMERIC"))
DATETIME = _TypeGroup(("DATE", "TIME", "DATETIME", "INTERVAL YEAR TO MONTH",
                       "INTERVAL DAY TO SECOND"))
ROWID = _TypeGroup(("ROWID",))


# --- connecting -----------------------------------------------------------------
def connect(target=None, port=None, database=None, user=None, password=None, charset="utf8",
            usessl=None, usetls="", usetlcp="", host=None):
    """Open a connection.

    connect("app.db")                 the embedded engine on a database file
    connect(":memory:")               ... or in memory
    connect("file:app.db")            the same as a URL
    connect("postgresql://user:pw@host1:5432,host2/db?sslmode=require")
    connect(host="db1", port=5432, database="app", user="u", password="p")

    A lone positional argument is a database path or a URL; given with a port
    (the older positional form) it is the host.  Keywords given beside a URL
    take its place.
    """
    params = {"host": "", "port": 0, "database": ":memory:", "user": "", "password": "",
              "usessl": ""}
    if target is not None:
        if not isinstance(target, str):
            try:
                import os
                target = os.fspath(target)
            except TypeError:
                raise ProgrammingError("connect: the database must be a str, a path or a URL, "
                                       "not %s" % type(target).__name__)
        if _target.is_url(target):
            try:
                params.update(_target.from_url(target))
            except ValueError as exc:
                raise ProgrammingError("connect: %s" % exc)
        elif host is None and not port:
            params["database"] = target
        else:
            params["host"] = target
    given = {"host": host, "port": port, "database": database, "user": user,
             "password": password, "usessl": usessl}
    params.update({k: v for k, v in given.items() if v is not None})
    if params["host"] and port is None and params["port"] == 0:
        params["port"] = _target.DEFAULT_PG_PORT  # a host named without a port
    return _pyvkdb._connect(port=params["port"], host=params["host"],
                            database=params["database"], user=params["user"],
                            password=params["password"], charset=charset,
                            usessl=params["usessl"], usetls=usetls, usetlcp=usetlcp)


def pool(host="", port=0, database=":memory:", user="", password="",
         charset="utf8", usessl="", maxconnections=4, mincached=0):
    """Create a connection pool that opens up to `maxconnections`
    connections with these parameters, `mincached` of them at once."""
    return _pyvkdb._conpool(port=port, maxconnections=maxconnections,
                            mincached=mincached, host=host, database=database,
                            user=user, password=password, charset=charset,
                            usessl=usessl)
