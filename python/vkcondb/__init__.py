"""vkcondb: a Python database driver over the vesksql client library.

With no host the embedded engine opens an SQLite database file (or
":memory:"); a host name selects the PostgreSQL engine.

    import vkcondb
    conn = vkcondb.connect(database="app.db")
    cur = conn.cursor()
    cur.execute("select ?", (1,))
"""
from . import _pyvkdb37 as _pyvkdb

__all__ = [
    "connect", "pool", "connection", "conpool", "cursor", "version",
    "Error", "Warning", "InterfaceError", "DatabaseError", "DataError",
    "OperationalError", "IntegrityError", "InternalError", "ProgrammingError",
    "NotSupportedError",
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

apilevel = "2.0"
threadsafety = 1
paramstyle = "qmark"


def connect(host="", port=0, database=":memory:", user="", password="",
            charset="utf8", usessl="", usetls="", usetlcp=""):
    """Open a connection.  An empty host opens the embedded engine on the
    database file `database` (created when missing) or ":memory:"."""
    return _pyvkdb._connect(port=port, host=host, database=database, user=user,
                            password=password, charset=charset, usessl=usessl,
                            usetls=usetls, usetlcp=usetlcp)


def pool(host="", port=0, database=":memory:", user="", password="",
         charset="utf8", usessl="", maxconnections=4, mincached=0):
    """Create a connection pool that opens up to `maxconnections`
    connections with these parameters, `mincached` of them at once."""
    return _pyvkdb._conpool(port=port, maxconnections=maxconnections,
                            mincached=mincached, host=host, database=database,
                            user=user, password=password, charset=charset,
                            usessl=usessl)
