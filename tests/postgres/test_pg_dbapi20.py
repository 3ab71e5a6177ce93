"""The DB-API 2.0 compliance suite on the PostgreSQL engine, against the
session's test server (tests/dbapi/dbapi_support.py says how the suite is
fitted to the driver).  The tables take a prefix of their own for this run;
every table and routine the suite makes is dropped after each test, through
psql."""
import pytest

from dbapi import dbapi_support

from pg_support import connect, drop_tables, unique_name

PREFIX = unique_name("dbapi20") + "_"


class PostgresAPI20Test(dbapi_support.DriverAPI20Test):
    table_prefix = PREFIX
    binary_type = "bytea"

    @pytest.fixture(autouse=True)
    def _server(self, pg_server):
        self.server = pg_server
        yield
        # After the suite's tearDown: whatever it or a failed test left.
        drop_tables(pg_server, self.created_tables())
        pg_server.psql("drop procedure if exists %s" % self.procedure_name())

    def _open(self):
        return connect(self.server)

    def procedure_name(self):
        return "%slower_inout" % self.table_prefix

    def test_callproc(self):
        # callproc gives back the parameters after the call: the function's
        # value is not among them (callfunc appends it) and makes no result
        # set.  What a routine writes back comes through an INOUT parameter.
        con = self._connect()
        try:
            cur = con.cursor()
            self.assertEqual(cur.callproc(self.lower_func, ("FOO",)), ["FOO"])
            self.assertRaises(self.driver.Error, cur.fetchall)
            self.assertEqual(cur.callfunc(self.lower_func, ("FOO",)), ["FOO", "foo"])

            cur.execute("create procedure %s(inout s text) language plpgsql "
                        "as $$ begin s := lower(s); end $$" % self.procedure_name())
            cur.setinputtype([2])  # VARCHAR
            self.assertEqual(cur.callproc(self.procedure_name(), ["FOO"], [3]), ["foo"])
            self.assertEqual(cur.callproc(self.procedure_name(), ("BAR",), (3,)), ["bar"])
            with self.assertRaises(self.driver.ProgrammingError):
                cur.callproc("%snot_there" % self.table_prefix, ("FOO",))
        finally:
            con.close()
