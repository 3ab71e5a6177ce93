"""The ``postgresql+vkcondb`` dialect: SQLAlchemy's PostgreSQL dialect over
vkcondb's PostgreSQL engine.

    create_engine("postgresql+vkcondb://user:pw@db1:5432/app?sslmode=require")
    create_engine("postgresql+vkcondb://user:pw@/app?host=db1:5432&host=db2:5432")
    create_engine("postgresql+vkcondb://user:pw@db1,db2:5432/app")

With several hosts the first that accepts writes is taken (a standby is
passed over).  vkcondb sends every value as text with no type named, so
each bound value carries a cast (``?::INTEGER``), and it hands dates, times,
intervals, UUIDs, arrays and zoned values back as the server's text: the
types below read them into Python objects.
"""
import decimal
import json
import re
import uuid

from sqlalchemy import exc
from sqlalchemy import types as sqltypes
from sqlalchemy import util
from sqlalchemy.dialects.postgresql import ARRAY as PGARRAY
from sqlalchemy.dialects.postgresql import INTERVAL, JSON, JSONB
from sqlalchemy.dialects.postgresql.base import PGDialect, PGExecutionContext
from sqlalchemy.dialects.postgresql.pg_catalog import INT2VECTOR, OIDVECTOR, _SpaceVector
from sqlalchemy.dialects.postgresql.types import PGUuid

from . import _values
from ._common import VkcondbDialectMixin, VkcondbExecutionContextMixin

_DEFAULT_PORT = 5432


def _chain(first, second):
    """One processor doing `first`, then `second` (either may be None)."""
    if first is None:
        return second
    if second is None:
        return first
    return lambda value: second(first(value))


class _Cast(object):
    render_bind_cast = True


class _String(_Cast, sqltypes.String):
    pass


class _Integer(_Cast, sqltypes.Integer):
    def result_processor(self, dialect, coltype):
        if coltype == "NUMERIC":  # sum(bigint) and other numeric results
            return lambda v: v if v is None or isinstance(v, int) else int(decimal.Decimal(v))
        return None


class _SmallInteger(_Integer, sqltypes.SmallInteger):
    pass


class _BigInteger(_Integer, sqltypes.BigInteger):
    pass


class _Boolean(_Cast, sqltypes.Boolean):
    pass


def _to_decimal(value):
    if value is None or isinstance(value, decimal.Decimal):
        return value
    if isinstance(value, float):
        return decimal.Decimal(repr(value))  # the shortest text that reads back the same
    return decimal.Decimal(value)


def _to_float(value):
    if value is None or isinstance(value, float):
        return value
    return float(value)


class _NumericCommon(_Cast):
    """numeric comes back as float up to 15 significant digits and as its
    exact text beyond; float4 and float8 as float."""

    def bind_processor(self, dialect):
        return None

    def result_processor(self, dialect, coltype):
        if not self.asdecimal:
            return _to_float
        scale = self.scale
        if scale is None:
            return _to_decimal
        quantum = decimal.Decimal(1).scaleb(-scale)

        def process(value):
            value = _to_decimal(value)
            if value is not None and value.is_finite():
                try:
                    return value.quantize(quantum)
                except decimal.InvalidOperation:
                    return value
            return value
        return process


class _Numeric(_NumericCommon, sqltypes.Numeric):
    pass


class _Float(_NumericCommon, sqltypes.Float):
    pass


class _Date(_Cast, sqltypes.Date):
    def result_processor(self, dialect, coltype):
        return _values.to_date


class _Time(_Cast, sqltypes.Time):
    def bind_processor(self, dialect):
        return _values.zoned_text if self.timezone else None

    def result_processor(self, dialect, coltype):
        return _values.to_time


class _DateTime(_Cast, sqltypes.DateTime):
    def bind_processor(self, dialect):
        return _values.zoned_text if self.timezone else None

    def result_processor(self, dialect, coltype):
        return _values.to_datetime


class _Interval(_Cast, INTERVAL):
    @classmethod
    def adapt_emulated_to_native(cls, interval, **kw):
        # sqlalchemy's Interval becomes this type, not the plain INTERVAL
        return cls(precision=interval.second_precision)

    def bind_processor(self, dialect):
        return _values.interval_text

    def result_processor(self, dialect, coltype):
        return _values.to_timedelta


class _Uuid(_Cast, PGUuid):
    def bind_processor(self, dialect):
        return lambda v: v if v is None or isinstance(v, str) else str(v)

    def result_processor(self, dialect, coltype):
        if self.as_uuid:
            return lambda v: v if v is None or isinstance(v, uuid.UUID) else uuid.UUID(v)
        return lambda v: v if v is None else str(v)


class _JSON(_Cast, JSON):
    pass


class _JSONB(_Cast, JSONB):
    pass


class _JSONIntIndexType(_Cast, sqltypes.JSON.JSONIntIndexType):
    __visit_name__ = "json_int_index"


class _JSONStrIndexType(_Cast, sqltypes.JSON.JSONStrIndexType):
    __visit_name__ = "json_str_index"


def _element_reader(item_type):
    """How one element of an array text becomes its Python value."""
    if isinstance(item_type, sqltypes.Boolean):
        return lambda s: s in ("t", "true")
    if isinstance(item_type, sqltypes.Integer):
        return int
    if isinstance(item_type, sqltypes.Float):
        return float
    if isinstance(item_type, sqltypes.Numeric):
        return decimal.Decimal if item_type.asdecimal else float
    if isinstance(item_type, sqltypes.Interval):
        return _values.to_timedelta
    if isinstance(item_type, sqltypes.DateTime):
        return _values.to_datetime
    if isinstance(item_type, sqltypes.Date):
        return _values.to_date
    if isinstance(item_type, sqltypes.Time):
        return _values.to_time
    if isinstance(item_type, sqltypes.LargeBinary):
        return lambda s: bytes.fromhex(s[2:]) if s.startswith("\\x") else s.encode()
    if isinstance(item_type, sqltypes.Uuid):
        return uuid.UUID if item_type.as_uuid else str
    if isinstance(item_type, sqltypes.JSON):
        return json.loads
    return None


def _read_elements(values, read):
    return [None if v is None else
            _read_elements(v, read) if isinstance(v, list) else read(v) for v in values]


class _ARRAY(_Cast, PGARRAY):
    """Arrays travel as the server's array text both ways."""

    def bind_processor(self, dialect):
        return _chain(super(_ARRAY, self).bind_processor(dialect), _values.array_text)

    def result_processor(self, dialect, coltype):
        item_type = self.item_type
        if isinstance(item_type, sqltypes.TypeDecorator):
            item_type = item_type.impl_instance
        read = _element_reader(item_type)

        def parse(value):
            if value is None or not isinstance(value, str):
                return value
            items = _values.parse_array(value)
            return _read_elements(items, read) if read is not None else items
        return _chain(parse, super(_ARRAY, self).result_processor(dialect, coltype))


class _INT2VECTOR(_SpaceVector, INT2VECTOR):
    pass


class _OIDVECTOR(_SpaceVector, OIDVECTOR):
    pass


class PGExecutionContext_vkcondb(VkcondbExecutionContextMixin, PGExecutionContext):
    pass


class PGDialect_vkcondb(VkcondbDialectMixin, PGDialect):
    supports_statement_cache = True
    execution_ctx_cls = PGExecutionContext_vkcondb
    # The driver reports rowcount 1 after every statement without rows.
    supports_sane_rowcount = False
    # The driver's named cursors only read cursors that routines return; its
    # plain cursors already stream a query's rows in batches of 1000.
    supports_server_side_cursors = False

    colspecs = util.update_copy(
        PGDialect.colspecs,
        {
            sqltypes.String: _String,
            sqltypes.Integer: _Integer,
            sqltypes.SmallInteger: _SmallInteger,
            sqltypes.BigInteger: _BigInteger,
            sqltypes.Boolean: _Boolean,
            sqltypes.Numeric: _Numeric,
            sqltypes.Float: _Float,
            sqltypes.Date: _Date,
            sqltypes.Time: _Time,
            sqltypes.DateTime: _DateTime,
            sqltypes.Interval: _Interval,
            INTERVAL: _Interval,
            sqltypes.Uuid: _Uuid,
            PGUuid: _Uuid,
            sqltypes.JSON: _JSON,
            JSON: _JSON,
            JSONB: _JSONB,
            sqltypes.JSON.JSONIntIndexType: _JSONIntIndexType,
            sqltypes.JSON.JSONStrIndexType: _JSONStrIndexType,
            sqltypes.ARRAY: _ARRAY,
            PGARRAY: _ARRAY,
            INT2VECTOR: _INT2VECTOR,
            OIDVECTOR: _OIDVECTOR,
        },
    )

    _URL_PARAMETERS = ("host", "port", "sslmode", "user", "password", "dbname")

    def create_connect_args(self, url):
        unknown = set(url.query) - set(self._URL_PARAMETERS)
        if unknown:
            raise exc.ArgumentError(
                "postgresql+vkcondb: unknown URL parameter(s) %s (known: %s)"
                % (", ".join(sorted(unknown)), ", ".join(self._URL_PARAMETERS)))
        query = dict(url.query)
        port = url.port or query.get("port")
        port = int(port) if port else _DEFAULT_PORT
        hosts = []
        if url.host:
            hosts.extend(url.host.split(","))
        extra = query.get("host")
        if extra:
            for token in (extra,) if isinstance(extra, str) else extra:
                hosts.extend(token.split(","))
        hosts = [_host_with_port(h.strip(), port) for h in hosts if h.strip()]
        params = {
            "host": ",".join(hosts) or "127.0.0.1:%d" % port,
            "port": port,
            "database": url.database or query.get("dbname") or "postgres",
        }
        user = url.username or query.get("user")
        password = url.password if url.password is not None else query.get("password")
        if user:
            params["user"] = user
        if password is not None:
            params["password"] = password
        if query.get("sslmode"):
            params["usessl"] = query["sslmode"]
        return [], params

    def _batch_statement(self, statement):
        return _uncast_values(statement)

    # --- transactions -----------------------------------------------------------
    def get_isolation_level_values(self, dbapi_connection):
        return list(super(PGDialect_vkcondb, self).get_isolation_level_values(
            dbapi_connection)) + ["AUTOCOMMIT"]

    def _set_session(self, dbapi_connection, characteristic):
        cur = dbapi_connection.cursor()
        try:
            cur.execute("SET SESSION CHARACTERISTICS AS TRANSACTION " + characteristic)
        finally:
            cur.close()
        dbapi_connection.commit()

    def _show(self, dbapi_connection, setting):
        cur = dbapi_connection.cursor()
        try:
            cur.execute("show " + setting)
            return cur.fetchone()[0]
        finally:
            cur.close()

    def set_isolation_level(self, dbapi_connection, level):
        if self._apply_isolation(dbapi_connection, level):
            return
        self._set_session(dbapi_connection, "ISOLATION LEVEL " + level)

    def set_readonly(self, connection, value):
        self._set_session(connection, "READ ONLY" if value else "READ WRITE")

    def get_readonly(self, connection):
        return self._show(connection, "transaction_read_only") == "on"

    def set_deferrable(self, connection, value):
        self._set_session(connection, "DEFERRABLE" if value else "NOT DEFERRABLE")

    def get_deferrable(self, connection):
        return self._show(connection, "transaction_deferrable") == "on"


_VALUES_CAST = re.compile(r"\?::[A-Za-z][\w ]*(?:\(\d+(?:,\s*\d+)?\))?(?:\[\])*")
_PLACEHOLDERS = re.compile(r"\(\?(?:, \?)*\)")


def _uncast_values(statement):
    """A plain INSERT's VALUES without the casts beside its placeholders:
    the columns give each value its type, and the driver loads such an
    insert with COPY (with the casts it runs it row by row).  Anything that
    is not placeholders and casts only is left as it is."""
    head, sep, values = statement.rpartition(" VALUES ")
    if not sep:
        return statement
    plain = _VALUES_CAST.sub("?", values.strip())
    return head + sep + plain if _PLACEHOLDERS.fullmatch(plain) else statement


def _host_with_port(host, port):
    """`host` as the driver's host list takes it: "name:port" or
    "[v6address]:port" (a host that names its own port keeps it)."""
    if host.startswith("["):
        return host if "]:" in host else "%s:%d" % (host, port)
    if host.count(":") > 1:  # a bare IPv6 address
        return "[%s]:%d" % (host, port)
    return host if ":" in host else "%s:%d" % (host, port)


dialect = PGDialect_vkcondb
