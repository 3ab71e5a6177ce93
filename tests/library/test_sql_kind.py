import pytest

ROWS, MULTI, NONE = 4, 9, 1


@pytest.mark.parametrize("sql, kind", [
    ("select 1", ROWS),
    ("  SELECT 1;  ", ROWS),
    ("select 1; -- trailing comment\n", ROWS),
    ("select 1; /* c */ ;  ", ROWS),
    ("/* lead */ -- more\n (select 1)", ROWS),
    ("values (1), (2)", ROWS),
    ("with x as (select 1) select * from x", ROWS),
    ("with x as (select 1) insert into t select * from x", NONE),
    ("with x as (select 1) delete from t returning id", ROWS),
    ("insert into t values (1) returning id", ROWS),
    ("insert into t values ('returning')", NONE),
    ("explain select 1", ROWS),
    ("pragma table_info(t)", ROWS),
    ("pragma journal_mode", ROWS),
    ("pragma foreign_keys = on", NONE),
    ("insert into t values (';')", NONE),
    ('insert into "a;b" values (1)', NONE),
    ("insert into [a;b] values (1) -- ; select 2", NONE),
    ("update t set x = 'it''s; fine'", NONE),
    ("create table t(x)", NONE),
    ("", NONE),
    ("   -- only a comment", NONE),
    ("select 1; select 2", MULTI),
    ("insert into t values (1);insert into t values (2)", MULTI),
    ("create trigger tr after insert on t begin update t set x = 1; delete from u; end;",
     NONE),
    ("create trigger tr after insert on t begin select 1; end; select 2", MULTI),
])
def test_kind_table(lib, sql, kind):
    assert lib.dll.cli_sql_kind(sql.encode()) == kind


def test_kind_of_null_text(lib):
    assert lib.dll.cli_sql_kind(None) == NONE
