"""Numbers sent as text into columns of REAL affinity on the embedded engine.

executemany inside a transaction binds, from its second run on, a text that
stands exactly for a double as that double where the INSERT's column has
REAL affinity.  What is stored must be what SQLite stores from the text
itself: every case here inserts the same values through vkcondb and, as
plain texts, through Python's own sqlite3 into a twin table, and compares
storage class and bits."""
import math
import random
import re
import sqlite3
import struct

import pytest

import vkcondb


def sent_text(value):
    """The text vkcondb sends for a finite float."""
    text = ("%0.13f" % value)[:64]
    return text if float(text) == value else "%.17g" % value


FLOATS = [0.0, -0.0, 0.5, -0.5, 1.0, 2.0 ** 52, 2.0 ** 53, 2.0 ** 53 - 1, -(2.0 ** 53),
          0.1, 0.25, 1e-13, 5e-14, 1.5e-13, 123456.75, 1e15, 1e16, 2.0 ** -13, 2.0 ** -14,
          1 / 3, 1e300, 1e-300, 4503599627370496.5, 12345678.00048828125, 999999.5,
          7.0000000000001, 2.0 ** 40 + 0.125, -(2.0 ** 39) - 2.0 ** -13]

TEXTS = ["0.5", "1.", ".5", "1e3", " 1.5", "1.5 ", "0012.50", "-0.0", "0", "-0",
         "9007199254740993", "9007199254740992", "9007199254740991.0000000000000",
         "900719925474099.1250000000000", "0.0001220703125", "0.0000000000001",
         "-1.0000000000000", "+1.5", "1.5.5", "--1", "0x10", "12.5000000000000",
         "12.50000000000000", "12.500000000000", "4503599627370495.5000000000000",
         "4503599627370496.5000000000000", "0.1000000000000", "abc", ""]


def float_samples():
    rnd = random.Random(5)
    values = list(FLOATS)
    for _ in range(2000):
        values.append(rnd.randint(-10 ** 7, 10 ** 7) / 2.0 ** rnd.randint(0, 16))
        values.append(rnd.uniform(-1e6, 1e6))
        values.append(float(rnd.randint(-2 ** 53, 2 ** 53)))
    return values


def text_samples():
    rnd = random.Random(6)
    texts = list(TEXTS)
    for _ in range(2000):
        whole = rnd.choice([0, rnd.randint(0, 10 ** 6), rnd.randint(0, 2 ** 53)])
        texts.append("%s%d.%013d" % (rnd.choice(["", "-"]), whole,
                                      rnd.randint(0, 2 ** 13 - 1) * 5 ** 13))
        texts.append("%d.%013d" % (whole, rnd.randint(0, 10 ** 13 - 1)))
        texts.append("%d.%d" % (rnd.randint(0, 10 ** 8), rnd.randint(0, 10 ** rnd.randint(0, 15))))
    return texts


def storage(path, table):
    raw = sqlite3.connect(path)
    try:
        rows = raw.execute("select i, typeof(b), b from %s order by i" % table).fetchall()
    finally:
        raw.close()
    return [(t, struct.pack("<d", v) if t == "real" else v) for _, t, v in rows]


def twin(path, schema, values, insert="insert into t values (?, ?)", prepare=()):
    """Insert `values` through vkcondb (executemany in a transaction) into t
    and their texts through sqlite3 into u, both made by `schema`."""
    conn = vkcondb.connect(database=path)
    cur = conn.cursor()
    for table in ("t", "u"):
        cur.execute(schema % table)
    for sql in prepare:
        cur.execute(sql)
    conn.begin()
    cur.executemany(insert, list(enumerate(values)))
    conn.commit()
    conn.close()
    raw = sqlite3.connect(path)
    texts = [sent_text(v) if isinstance(v, float) and math.isfinite(v) else v for v in values]
    twin_insert = re.sub(r'(into\s+(?:main\.)?"?)t\b', r"\1u", insert, count=1)
    raw.executemany(twin_insert, list(enumerate(texts)))
    raw.commit()
    raw.close()
    assert storage(path, "t") == storage(path, "u")


@pytest.mark.parametrize("decl", ["real", "REAL", "double", "float", "double precision",
                                  "numeric", "text", "", "integer", "blob", "floating point"])
def test_floats_are_stored_as_their_text_would_be(tmp_path, decl):
    twin(str(tmp_path / "f.db"), "create table %%s(i integer, b %s)" % decl, float_samples())


@pytest.mark.parametrize("decl", ["real", "text", ""])
def test_texts_are_stored_as_themselves(tmp_path, decl):
    twin(str(tmp_path / "s.db"), "create table %%s(i integer, b %s)" % decl, text_samples())


@pytest.mark.parametrize("insert", [
    "insert into t(i, b) values (?, ?)",
    "insert into t(b, i) values (?, ?)",
    'insert into "t"("i", "b") values (?, ?)',
    "insert or replace into main.t values (?, ?)",
    "replace into t values (?, ?);",
    "insert into t as x values (?, ?)",
])
def test_statement_forms(tmp_path, insert):
    values = [0.5, 1.25, -3.0, 0.1, 2.0 ** 60]
    if insert.startswith("insert into t(b, i)"):
        # the placeholders go to the other columns: b gets the number
        conn_values = values
        path = str(tmp_path / "forms.db")
        conn = vkcondb.connect(database=path)
        cur = conn.cursor()
        cur.execute("create table t(i real, b real)")
        conn.begin()
        cur.executemany(insert, [(v, n) for n, v in enumerate(conn_values)])
        conn.commit()
        conn.close()
        raw = sqlite3.connect(path)
        got = raw.execute("select i, typeof(b), b from t order by i").fetchall()
        raw.close()
        assert got == [(float(n), "real", v) for n, v in enumerate(conn_values)]
        return
    twin(str(tmp_path / "forms.db"), "create table %s(i integer, b real)", values, insert)


@pytest.mark.parametrize("prepare", [
    # Each of these can see a value before it is stored: the text goes as text.
    ["create table log(v)",
     "create trigger tr before insert on t begin insert into log values (typeof(new.b)); end"],
    ["create table log(v)",
     "create temp trigger tr after insert on main.t begin insert into log values (new.b); end"],
])
def test_tables_with_triggers(tmp_path, prepare):
    twin(str(tmp_path / "trig.db"), "create table %s(i integer, b real)", float_samples()[:200],
         prepare=prepare)


def test_check_constraint_and_generated_column(tmp_path):
    twin(str(tmp_path / "chk.db"),
         "create table %s(i integer, b real check (typeof(b) = 'real'))", [0.5, 2.25, 3.0])
    twin(str(tmp_path / "gen.db"),
         "create table %s(i integer, b real, c real as (b * 2))", [0.5, 2.25, 3.0],
         "insert into t(i, b) values (?, ?)")


def test_autocommit_and_schema_changes_between_runs(tmp_path):
    path = str(tmp_path / "ddl.db")
    conn = vkcondb.connect(database=path)
    cur = conn.cursor()
    cur.execute("create table t(i integer, b real)")
    cur.executemany("insert into t values (?, ?)", [(1, 0.5), (2, 1.5)])  # autocommit
    conn.begin()
    cur.executemany("insert into t values (?, ?)", [(3, 0.5), (4, 1.5)])
    # the table changes inside the same transaction: the next runs follow it
    cur.execute("drop table t")
    cur.execute("create table t(i integer, b text)")
    cur.executemany("insert into t values (?, ?)", [(5, 0.5), (6, 1.5)])
    conn.commit()
    conn.close()
    raw = sqlite3.connect(path)
    got = raw.execute("select i, typeof(b), b from t order by i").fetchall()
    raw.close()
    assert got == [(5, "text", "0.5000000000000"), (6, "text", "1.5000000000000")]
