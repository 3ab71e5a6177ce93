"""The DB-API 2.0 compliance suite on the embedded engine: a database file
of its own for each test (tests/dbapi/dbapi_support.py says how the suite is
fitted to the driver)."""
import pytest

from dbapi import dbapi_support

import vkcondb


class EmbeddedAPI20Test(dbapi_support.DriverAPI20Test):
    binary_type = "blob"

    @pytest.fixture(autouse=True)
    def _database_file(self, tmp_path):
        self.path = str(tmp_path / "dbapi20.db")

    def _open(self):
        return vkcondb.connect(self.path)

    def test_callproc(self):
        # The engine has no stored procedures: callproc refuses every name,
        # as a feature the engine lacks; callfunc runs the SQL function.
        con = self._connect()
        try:
            cur = con.cursor()
            with self.assertRaises(self.driver.NotSupportedError) as raised:
                cur.callproc(self.lower_func, ("FOO",))
            self.assertIsInstance(raised.exception, self.driver.OperationalError)
            self.assertIn("no stored procedures", str(raised.exception))
            self.assertEqual(cur.callfunc(self.lower_func, ("FOO",)), ["FOO", "foo"])
            self.assertEqual(cur.callfunc(self.lower_func, ["FOO"]), ["FOO", "foo"])
            # The connection goes on working after the refusal.
            cur.execute("select lower('BAR')")
            self.assertEqual(cur.fetchall(), [("bar",)])
        finally:
            con.close()
