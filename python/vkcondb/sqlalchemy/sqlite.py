"""The ``sqlite+vkcondb`` dialect: SQLAlchemy's SQLite dialect over
vkcondb's embedded engine.

    create_engine("sqlite+vkcondb:///app.db")          # relative path
    create_engine("sqlite+vkcondb:////abs/path/app.db")
    create_engine("sqlite+vkcondb://")                 # in memory
"""
import datetime
import decimal
import re
import types

import vkcondb
from sqlalchemy import exc, pool
from sqlalchemy import types as sqltypes
from sqlalchemy import util
from sqlalchemy.dialects.sqlite.base import DATETIME, SQLiteDialect, SQLiteExecutionContext

from ._common import VkcondbDialectMixin, VkcondbExecutionContextMixin


class _EmbeddedDBAPI(types.ModuleType):
    """vkcondb as SQLAlchemy's SQLite dialect sees it: the module itself,
    plus `sqlite_version_info`, the version of the SQLite library the
    embedded engine runs on (asked once, from a database in memory)."""

    def __init__(self):
        types.ModuleType.__init__(self, vkcondb.__name__, vkcondb.__doc__)
        self._version = None

    def __getattr__(self, name):
        return getattr(vkcondb, name)

    @property
    def sqlite_version_info(self):
        if self._version is None:
            conn = vkcondb.connect(":memory:")
            try:
                cur = conn.cursor()
                cur.execute("select sqlite_version()")
                text = cur.fetchone()[0]
            finally:
                conn.close()
            self._version = tuple(int(part) for part in text.split(".")[:3])
        return self._version


_DBAPI = _EmbeddedDBAPI()


class _DateTime(DATETIME):
    """A DATETIME column comes back as `datetime` when its text is a date-time
    to the millisecond, else as the stored text, read by the SQLite
    dialect's own rule."""

    def result_processor(self, dialect, coltype):
        read_text = DATETIME.result_processor(self, dialect, coltype)
        if read_text is None:
            return None

        def process(value):
            if value is None or isinstance(value, datetime.datetime):
                return value
            return read_text(value)
        return process


class _NumericText(object):
    """A value bound without a column to give it affinity (`select ?`) comes
    back as the text the driver bound it as: read it as a number first."""

    def result_processor(self, dialect, coltype):
        read_number = super(_NumericText, self).result_processor(dialect, coltype)

        def process(value):
            if isinstance(value, str):
                try:
                    number = decimal.Decimal(value)
                except decimal.InvalidOperation:
                    return value
                return number if self.asdecimal else float(number)
            return value if read_number is None else read_number(value)
        return process


class _Numeric(_NumericText, sqltypes.Numeric):
    pass


class _Float(_NumericText, sqltypes.Float):
    pass


_CHANGING = re.compile(r"\s*(?:WITH\b.*?\b)?(?:UPDATE|DELETE|INSERT|REPLACE)\b",
                       re.IGNORECASE | re.DOTALL)


class SQLiteExecutionContext_vkcondb(VkcondbExecutionContextMixin, SQLiteExecutionContext):
    def post_exec(self):
        super(SQLiteExecutionContext_vkcondb, self).post_exec()
        # The driver's rowcount is 1 after any statement without rows; the
        # number of rows a single insert, update or delete changed comes from
        # SQLite's changes().
        if self.executemany or self.cursor.description is not None:
            return
        if self.isupdate or self.isdelete or self.isinsert or \
                _CHANGING.match(self.statement or ""):
            cur = self._dbapi_connection.cursor()
            try:
                cur.execute("select changes()")
                self._rowcount = cur.fetchone()[0]
            finally:
                cur.close()


class SQLiteDialect_vkcondb(VkcondbDialectMixin, SQLiteDialect):
    supports_statement_cache = True
    execution_ctx_cls = SQLiteExecutionContext_vkcondb
    supports_sane_rowcount = True
    returns_native_bytes = True

    colspecs = util.update_copy(
        SQLiteDialect.colspecs,
        {sqltypes.DateTime: _DateTime, sqltypes.TIMESTAMP: _DateTime,
         sqltypes.Numeric: _Numeric, sqltypes.Float: _Float},
    )

    _isolation_lookup = SQLiteDialect._isolation_lookup.union({"AUTOCOMMIT": None})

    @classmethod
    def import_dbapi(cls):
        return _DBAPI

    @classmethod
    def _is_url_file_db(cls, url):
        return bool(url.database) and url.database != ":memory:"

    @classmethod
    def get_pool_class(cls, url):
        # Every connection to ":memory:" opens a database of its own: keep
        # one per thread, as SQLAlchemy does for sqlite3.
        if cls._is_url_file_db(url):
            return pool.QueuePool
        return pool.SingletonThreadPool

    def create_connect_args(self, url):
        if url.username or url.password or url.host or url.port:
            raise exc.ArgumentError(
                "sqlite+vkcondb URLs name a database file only: "
                "sqlite+vkcondb:///relative.db or sqlite+vkcondb:////absolute.db")
        if url.query:
            raise exc.ArgumentError("sqlite+vkcondb takes no URL parameters (got %s)"
                                    % ", ".join(sorted(url.query)))
        # By keyword: a file called "file:x" or "postgresql://..." is a file.
        return [], {"database": url.database or ":memory:"}

    def get_temp_view_names(self, connection, **kw):
        # The embedded engine gives every connection a temporary view "dual"
        # (a one-row table for liveness checks): it is the driver's, not the
        # application's.
        names = super(SQLiteDialect_vkcondb, self).get_temp_view_names(connection, **kw)
        return [name for name in names if name != "dual"]

    def _get_server_version_info(self, connection):
        return self.dbapi.sqlite_version_info

    def set_isolation_level(self, dbapi_connection, level):
        if self._apply_isolation(dbapi_connection, level):
            return
        super(SQLiteDialect_vkcondb, self).set_isolation_level(dbapi_connection, level)


dialect = SQLiteDialect_vkcondb
