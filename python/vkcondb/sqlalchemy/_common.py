"""What both vkcondb dialects share: the DB-API module, transactions and
autocommit through the connection's own calls, error classes, disconnect
detection, ping, and executemany through executebatch."""
import re
import weakref
from typing import Mapping

import vkcondb

# vkcondb raises a failure the database classified (SQLSTATE 23, 22, ...) as
# an OperationalError that is also an IntegrityError, DataError, ...: the
# class name SQLAlchemy wraps it by is the kind, not OperationalError.
EXCEPTION_NAMES = {
    "OperationalIntegrityError": "IntegrityError",
    "OperationalDataError": "DataError",
    "OperationalNotSupportedError": "NotSupportedError",
    "OperationalProgrammingError": "ProgrammingError",
    "OperationalInternalError": "InternalError",
}

# SQLSTATEs of a connection that is gone: class 08, a server shutting down
# or terminating the session (57P01..57P03).
_DISCONNECT_STATES = ("57P01", "57P02", "57P03")
_DISCONNECT_TEXTS = (
    "connection does not exist",
    "connection of this result is closed",
    "server closed the connection",
    "terminating connection",
    "no connection to the server",
    "connection is closed",
    "could not receive data from server",
    "could not send data to server",
    "ssl connection has been closed",
)

_PLAIN_INSERT = re.compile(r"\s*INSERT\s+INTO\s", re.IGNORECASE)


def is_disconnect_error(dbapi, error):
    if not isinstance(error, dbapi.Error):
        return False
    state = getattr(error, "sqlstate", None) or ""
    if state.startswith("08") or state in _DISCONNECT_STATES:
        return True
    text = str(error).lower()
    return any(part in text for part in _DISCONNECT_TEXTS)


class AutocommitState(object):
    """Whether each DB-API connection has autocommit on.  The connection has
    no getter for it; what the dialect switched is remembered here."""

    def __init__(self):
        self._on = weakref.WeakKeyDictionary()

    def set(self, dbapi_connection, on):
        dbapi_connection.autocommit(bool(on))
        self._on[dbapi_connection] = bool(on)

    def get(self, dbapi_connection):
        # a connection opens with autocommit on
        return self._on.get(dbapi_connection, True)


def _one_type(column):
    kinds = {type(v) for v in column if v is not None}
    return len(kinds) == 1


class VkcondbExecutionContextMixin(object):
    def post_exec(self):
        super(VkcondbExecutionContextMixin, self).post_exec()
        # The driver's rowcount says nothing about a query (0 once its rows
        # are read) nor, on PostgreSQL, about what a statement changed:
        # report "not known", as DB-API has it.
        if self.cursor.description is not None or not self.dialect.supports_sane_rowcount:
            self._rowcount = -1


class VkcondbDialectMixin(object):
    """Placed before SQLAlchemy's dialect of the database in the bases."""

    driver = "vkcondb"
    supports_statement_cache = True
    default_paramstyle = "qmark"
    dbapi_exception_translation_map: Mapping[str, str] = EXCEPTION_NAMES
    # rowcount is 1 after any statement that returns no rows, whatever it
    # changed (see each dialect for what it does about it)
    supports_sane_multi_rowcount = False
    # Plain multi-row inserts go through executebatch (do_executemany), not
    # through statements of many VALUES rows.
    use_insertmanyvalues_wo_returning = False

    def __init__(self, *args, **kwargs):
        super(VkcondbDialectMixin, self).__init__(*args, **kwargs)
        self._autocommit = AutocommitState()

    @classmethod
    def import_dbapi(cls):
        return vkcondb

    @classmethod
    def load_provisioning(cls):
        # SQLAlchemy's test provisioning for this database lives beside its
        # own dialect, not beside this one.
        try:
            __import__("sqlalchemy.dialects.%s.provision" % cls.name)
        except ImportError:
            pass

    # --- transactions ---------------------------------------------------------
    def connect(self, *cargs, **cparams):
        conn = super(VkcondbDialectMixin, self).connect(*cargs, **cparams)
        # SQLAlchemy expects the DB-API default: a transaction that opens by
        # itself and lasts until commit or rollback.
        self._autocommit.set(conn, False)
        return conn

    def detect_autocommit_setting(self, dbapi_conn):
        return self._autocommit.get(dbapi_conn)

    def set_autocommit(self, dbapi_connection, on):
        self._autocommit.set(dbapi_connection, on)

    def _apply_isolation(self, dbapi_connection, level):
        """Switch autocommit for `level`; True when the level is AUTOCOMMIT
        and so nothing more is to be done."""
        if level == "AUTOCOMMIT":
            self._autocommit.set(dbapi_connection, True)
            return True
        if self._autocommit.get(dbapi_connection):
            self._autocommit.set(dbapi_connection, False)
        return False

    def do_savepoint(self, connection, name):
        # A SAVEPOINT does not open the implicit transaction: open it first,
        # so that releasing the savepoint does not end the transaction.
        connection.connection.dbapi_connection.begin()
        super(VkcondbDialectMixin, self).do_savepoint(connection, name)

    # --- liveness ---------------------------------------------------------------
    def do_ping(self, dbapi_connection):
        return bool(dbapi_connection.ping())

    def is_disconnect(self, e, connection, cursor):
        return is_disconnect_error(vkcondb, e)

    def _batch_statement(self, statement):
        return statement

    # --- executemany ------------------------------------------------------------
    def do_executemany(self, cursor, statement, parameters, context=None):
        compiled = context.compiled if context is not None else None
        returning = getattr(compiled, "effective_returning", None) or \
            getattr(compiled, "returning", None)
        if (compiled is not None and context.isinsert and not returning
                and _PLAIN_INSERT.match(statement) and parameters
                and isinstance(parameters[0], (list, tuple))):
            # The rows of a plain insert are loaded column by column as one
            # atomic batch.  A batch column is bound under one type: a column
            # of NULLs only, or of values of several types (floats and
            # Decimals), goes row by row instead.
            columns = [list(column) for column in zip(*parameters)]
            if columns and all(_one_type(column) for column in columns):
                cursor.executebatch(self._batch_statement(statement), columns)
                return
        cursor.executemany(statement, parameters)
