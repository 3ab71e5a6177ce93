"""SQLAlchemy is optional: the package never imports it by itself."""


def test_vkcondb_imports_without_sqlalchemy(run_python):
    code = ("import sys\n"
            "class Refuse:\n"
            "    def find_spec(self, name, path=None, target=None):\n"
            "        if name.split('.')[0] == 'sqlalchemy':\n"
            "            raise ImportError('no SQLAlchemy here')\n"
            "sys.meta_path.insert(0, Refuse())\n"
            "import vkcondb\n"
            "conn = vkcondb.connect(':memory:')\n"
            "print(conn.execute('select 1').fetchone()[0], 'sqlalchemy' in sys.modules)\n")
    rc, out, err = run_python(code)
    assert (rc, out.split()) == (0, ["1", "False"]), err
