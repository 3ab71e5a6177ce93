"""The module's face: import names, version, exception classes and the
argument errors of _connect and _conpool."""
import pytest

import vkcondb
from vkcondb import _pyvkdb37 as m

CLASSES = ["Error", "Warning", "InterfaceError", "DatabaseError", "DataError",
           "OperationalError", "IntegrityError", "InternalError",
           "ProgrammingError", "NotSupportedError"]


def test_module_names():
    assert m.__name__ == "_pyvkdb"
    assert vkcondb._pyvkdb is m
    assert m.connection.__module__ == "vkcondb"
    assert m.connection.__name__ == "connection"
    assert m.conpool.__name__ == "connectionpool"
    assert m.cursor.__name__ == "cursor"
    assert m.connection.__doc__ == "connection Objects"
    assert m.cursor.__doc__ == "cursor Object"


def test_version():
    assert m.version() == "vkcondb version 2.3.3 22/11/17 10:28"
    assert vkcondb.version() == m.version()
    with pytest.raises(TypeError):
        m.version(1)


@pytest.mark.parametrize("name", CLASSES)
def test_exception_classes_published(name):
    cls = getattr(m, name)
    assert cls.__module__ == "pyvkdb"
    assert cls.__name__ == name
    assert getattr(vkcondb, name) is cls
    # every class of the module is a UnicodeError (and so a ValueError)
    assert issubclass(cls, UnicodeError)
    assert issubclass(cls, ValueError)


def test_exception_hierarchy():
    assert issubclass(m.ProgrammingError, m.DatabaseError)
    assert issubclass(m.DatabaseError, m.Error)
    assert not issubclass(m.Warning, m.Error)
    assert not issubclass(m.Warning, Warning)
    for name in CLASSES[2:]:
        assert issubclass(getattr(m, name), m.Error)
    for name in CLASSES[4:]:
        assert issubclass(getattr(m, name), m.DatabaseError)
    # raising with a message works although the base is UnicodeError
    with pytest.raises(m.OperationalError, match="boom"):
        raise m.OperationalError("boom")


ARGUMENT_ERRORS = [
    # (code, expected stdout)
    ("m._connect()", "Connection parameter error"),
    ("m._connect(port='x')", "Connection parameter error"),
    ("m._connect(port=1, nosuch='a')", "Connection parameter error"),
    # texts left out travel as None and the constructor refuses them
    ("m._connect(port=1)", "-- connection_setup error"),
    ("m._conpool(1, 2)", "Conpool parameter error"),
    ("m._conpool(1, 2, 3)", "-- connectpool setup error"),
    ("m.connection('h', 'x', 'd', 'u', 'p', 'c', 's', '', '')", "-- connection_setup error"),
    ("m.connection('', 0, None, '', '', 'utf8', '', '', '')", "-- connection_setup error"),
]


@pytest.mark.parametrize("code,expected", ARGUMENT_ERRORS)
def test_argument_errors_print_fixed_text(run_python, code, expected):
    rc, out, err = run_python(
        "from vkcondb import _pyvkdb37 as m\n"
        "try:\n"
        "    %s\n"
        "except TypeError:\n"
        "    pass\n"
        "else:\n"
        "    raise SystemExit(3)\n" % code)
    assert rc == 0, err
    # no newline: the text is exactly what the module printed
    assert out == expected
