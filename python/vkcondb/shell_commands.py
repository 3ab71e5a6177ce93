"""The shell's own commands: lines that start with "." or "\\" while no
statement is being typed.

Both spellings work on both engines; what a command looks up depends on
the engine (the embedded engine's sqlite_master, PostgreSQL's catalog).
"""
__all__ = ["Commands", "UsageError"]

EMBEDDED = "embedded"
POSTGRES = "postgres"


class UsageError(Exception):
    """A command given wrongly: the message says how it is used."""


_HELP = """\
Statements end with ";" and may run over several lines.  Commands:

  .tables [PATTERN]     \\dt [PATTERN]   list the tables and views (PATTERN: a LIKE
                                        pattern such as 'order%%')
  .schema [NAME]        \\d [NAME]       %s
  .maxrows [N]                          show or set the most rows shown per result
                                        (0: all)
  .timing [on|off]                      show or set whether results show their time
  .help                 \\?              this text
  .quit  .exit          \\q              leave (an open transaction is rolled back)
"""

_DESCRIBE = {
    EMBEDDED: "the CREATE statements of NAME and its indexes\n"
              "                                        and triggers, or of everything",
    POSTGRES: "the columns, indexes and constraints of NAME\n"
              "                                        (without NAME: as \\dt)",
}

# --- catalog queries of the embedded engine ------------------------------------
# The engine gives every connection a temporary view "dual"; it is not the
# user's, so listings leave it out.
_SQLITE_OBJECTS = """
select type, name, tbl_name, sql, 0 as temp from sqlite_master
union all
select type, name, tbl_name, sql, 1 from sqlite_temp_master
 where not (type = 'view' and name = 'dual')"""

_SQLITE_TABLES = """
select name, case when temp = 1 then 'temporary ' || type else type end as type
  from (OBJECTS)
 where type in ('table', 'view') and name not like 'sqlite\\_%' escape '\\' FILTER
 order by name""".replace("OBJECTS", _SQLITE_OBJECTS)

_SQLITE_SCHEMA = """
select sql from (OBJECTS)
 where sql is not null and name not like 'sqlite\\_%' escape '\\' FILTER
 order by tbl_name, case type when 'table' then 0 when 'view' then 1
                              when 'index' then 2 else 3 end, name""".replace("OBJECTS", _SQLITE_OBJECTS)

# --- catalog queries of PostgreSQL ---------------------------------------------
_PG_TABLES = """
select n.nspname as schema, c.relname as name,
       case c.relkind when 'r' then 'table' when 'p' then 'partitioned table'
                      when 'v' then 'view' when 'm' then 'materialized view'
                      when 'f' then 'foreign table' end as type,
       pg_catalog.pg_get_userbyid(c.relowner) as owner
  from pg_catalog.pg_class c
  join pg_catalog.pg_namespace n on n.oid = c.relnamespace
 where c.relkind in ('r', 'p', 'v', 'm', 'f')
   and n.nspname <> 'information_schema' and n.nspname not like 'pg\\_%'
   and pg_catalog.pg_table_is_visible(c.oid) FILTER
 order by 1, 2"""

_PG_RELATION = """
select n.nspname, c.relname,
       case c.relkind when 'r' then 'Table' when 'p' then 'Partitioned table'
                      when 'v' then 'View' when 'm' then 'Materialized view'
                      when 'f' then 'Foreign table' when 'i' then 'Index'
                      when 'S' then 'Sequence' else 'Relation' end
  from pg_catalog.pg_class c
  join pg_catalog.pg_namespace n on n.oid = c.relnamespace
 where c.oid = ?::regclass"""

_PG_COLUMNS = """
select a.attname as column, pg_catalog.format_type(a.atttypid, a.atttypmod) as type,
       case when a.attnotnull then 'not null' else '' end as nullable,
       coalesce(pg_catalog.pg_get_expr(d.adbin, d.adrelid), '') as default
  from pg_catalog.pg_attribute a
  left join pg_catalog.pg_attrdef d on d.adrelid = a.attrelid and d.adnum = a.attnum
 where a.attrelid = ?::regclass and a.attnum > 0 and not a.attisdropped
 order by a.attnum"""

_PG_INDEXES = """
select pg_catalog.pg_get_indexdef(i.indexrelid)
  from pg_catalog.pg_index i
  join pg_catalog.pg_class c on c.oid = i.indexrelid
 where i.indrelid = ?::regclass
 order by i.indisprimary desc, c.relname"""

_PG_CONSTRAINTS = """
select conname, pg_catalog.pg_get_constraintdef(oid)
  from pg_catalog.pg_constraint
 where conrelid = ?::regclass and contype in ('c', 'f', 'x')
 order by conname"""


def _unquote_sqlite(name):
    """A name as written in SQL ("x", [x], `x`) to the name itself."""
    if len(name) >= 2:
        first, last = name[0], name[-1]
        if (first, last) in (('"', '"'), ("`", "`")):
            return name[1:-1].replace(first * 2, first)
        if (first, last) == ("[", "]"):
            return name[1:-1]
    return name


class Commands(object):
    def __init__(self, shell):
        self.shell = shell
        self._table = {
            ".tables": self.tables, "\\dt": self.tables,
            ".schema": self.describe, "\\d": self.describe,
            ".maxrows": self.maxrows,
            ".timing": self.timing,
            ".help": self.help, "\\?": self.help,
            ".quit": self.quit, ".exit": self.quit, "\\q": self.quit,
        }

    def run(self, line):
        """Run one command line; True when it succeeded."""
        text = line.strip()
        if text.endswith(";"):
            text = text[:-1].rstrip()
        name, _, arg = text.partition(" ")
        arg = arg.strip()
        handler = self._table.get(name)
        if handler is None:
            self.shell.report("unknown command %s (.help lists the commands)" % name)
            return False
        try:
            return handler(arg) is not False
        except UsageError as exc:
            self.shell.report(str(exc))
            return False

    @property
    def _postgres(self):
        return self.shell.engine == POSTGRES

    # --- the commands --------------------------------------------------------
    def help(self, arg):
        self.shell.out.write(_HELP % _DESCRIBE[self.shell.engine])

    def quit(self, arg):
        self.shell.stopped = True

    def maxrows(self, arg):
        if arg:
            if not arg.isdigit():
                raise UsageError(".maxrows takes a whole number of rows (0: all)")
            self.shell.max_rows = int(arg)
        limit = self.shell.max_rows
        self.shell.out.write("at most %d rows are shown\n" % limit if limit
                             else "all rows are shown\n")

    def timing(self, arg):
        if arg:
            if arg.lower() not in ("on", "off"):
                raise UsageError(".timing takes on or off")
            self.shell.timing = arg.lower() == "on"
        self.shell.out.write("timing is %s\n" % ("on" if self.shell.timing else "off"))

    def tables(self, arg):
        if self._postgres:
            sql = _PG_TABLES.replace("FILTER", "and c.relname like ?" if arg else "")
        else:
            sql = _SQLITE_TABLES.replace("FILTER", "and name like ?" if arg else "")
        return self.shell.show_query(sql, [arg] if arg else None)

    def describe(self, arg):
        if self._postgres:
            return self._describe_pg(arg) if arg else self.tables("")
        return self._schema_sqlite(arg)

    def _schema_sqlite(self, arg):
        if arg:
            name = _unquote_sqlite(arg)
            rows = self.shell.query(
                _SQLITE_SCHEMA.replace(
                    "FILTER", "and (name = ? collate nocase or tbl_name = ? collate nocase)"),
                [name, name])
            if rows is None:
                return False
            if not rows:
                raise UsageError("no table, view, index or trigger is called %s" % arg)
        else:
            rows = self.shell.query(_SQLITE_SCHEMA.replace("FILTER", ""), None)
            if rows is None:
                return False
        for (sql,) in rows:
            self.shell.out.write(sql + ";\n")
        return True

    def _describe_pg(self, name):
        found = self.shell.query(_PG_RELATION, [name])
        if found is None:
            return False
        if not found:
            raise UsageError("no relation is called %s" % name)
        schema, relname, kind = found[0]
        out = self.shell.out
        out.write('%s "%s.%s"\n' % (kind, schema, relname))
        if not self.shell.show_query(_PG_COLUMNS, [name]):
            return False
        indexes = self.shell.query(_PG_INDEXES, [name])
        constraints = self.shell.query(_PG_CONSTRAINTS, [name])
        if indexes is None or constraints is None:
            return False
        if indexes:
            out.write("Indexes:\n")
            for (definition,) in indexes:
                out.write("    %s\n" % definition)
        if constraints:
            out.write("Constraints:\n")
            for conname, definition in constraints:
                out.write("    %s %s\n" % (conname, definition))
        return True
