"""Helpers for tests that run against the scripted engine."""


def scripted_connect():
    """A connection opened on the scripted engine (handle 1 on a fresh
    engine), with the connect string's fields named after their keys."""
    from vkcondb import _pyvkdb37 as m
    return m._connect(port=7, host="h", database="d", user="u", password="p",
                      charset="c", usessl="s", usetls="", usetlcp="")


class ClosingSequence(object):
    """A one-item sequence whose item access tries to close `conn`: Python
    code that runs in the middle of a call and would take the connection
    away.  What the close raised is kept in `refused`."""

    def __init__(self, conn):
        self.conn = conn
        self.refused = None

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i >= 1:
            raise IndexError(i)
        try:
            self.conn.close()
        except Exception as exc:  # noqa: BLE001 - the test looks at it
            self.refused = exc
        return 1


IN_USE = "^the connection is in use by another call$"
