"""help() and inspect.signature on the extension module: every method of
connection, cursor and conpool and every module function documents its
arguments, and the keywords a signature names are the ones the call takes."""
import inspect

import pytest

import vkcondb
from vkcondb import _pyvkdb37 as m

# The methods of the types' own method tables (not slots such as __init__
# or __next__, which CPython documents itself), and the module functions.
CALLABLES = [(cls.__name__ + "." + name, value)
             for cls in (m.connection, m.cursor, m.conpool)
             for name, value in vars(cls).items()
             if type(value).__name__ == "method_descriptor"]
CALLABLES += [(f.__name__, f) for f in (m._connect, m._conpool, m.version)]


def test_every_table_is_collected():
    names = {name for name, _ in CALLABLES}
    assert {"connection.cursor", "connection.__exit__", "cursor.execute", "cursor.__enter__",
            "connectionpool.getconn", "_connect", "version"} <= names


@pytest.mark.parametrize("name, func", CALLABLES, ids=[name for name, _ in CALLABLES])
def test_signature_and_doc(name, func):
    params = list(inspect.signature(func).parameters.values())  # ValueError without one
    # The signature line was taken off the doc and a description is left.
    assert func.__doc__ and func.__doc__.strip()
    assert "\n--\n" not in func.__doc__ and not func.__doc__.startswith(func.__name__ + "(")
    if "." in name:
        assert params[0].name == "self" and params[0].kind is inspect.Parameter.POSITIONAL_ONLY


# A value each keyword parameter takes, by name.
SAMPLES = {"name": None, "cursor_factory": None, "withhold": None, "scrollable": None,
           "size": 1, "reconnect": 0, "maxnum": 2, "host": "", "port": 0, "db_name": ":memory:",
           "database": ":memory:", "user": "", "password": "", "charset": "utf8", "usessl": "",
           "usetls": "", "usetlcp": "", "maxconnections": 1, "mincached": 0}


def test_keywords_in_signatures_are_taken():
    # Every call passes all its keyword parameters by the names its
    # signature gives: a name the C code spells otherwise fails the call.
    conn = vkcondb.connect(":memory:")
    cur = conn.cursor()
    cur.execute("select 1")
    owners = {m.connection: conn, m.cursor: cur, m.conpool: vkcondb.pool()}
    called = []
    for name, func in CALLABLES:
        keywords = [p.name for p in inspect.signature(func).parameters.values()
                    if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD]
        if not keywords:
            continue
        kwargs = {k: SAMPLES[k] for k in keywords}
        if name == "connectionpool.set_port":
            kwargs["port"] = 5432
        owner = owners.get(getattr(func, "__objclass__", None))
        target = getattr(owner, func.__name__) if owner is not None else func
        result = target(**kwargs)
        if isinstance(result, m.connection):
            result.close()
        called.append(name)
    conn.close()
    assert {"connection.ping", "cursor.fetchmany", "connectionpool.set_dbname",
            "_connect", "_conpool"} <= set(called)
