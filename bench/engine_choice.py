"""The --engine option shared by bench/fetch.py and bench/insert.py: the
embedded engine runs the bench itself, postgres hands over to the
PostgreSQL bench of the same name (bench/pg_*.py) with the other
arguments."""
import argparse
import importlib
import os
import sys

ENGINES = ("embedded", "postgres")


def hand_over(argv, pg_module):
    """With --engine postgres: run `pg_module`'s main on the remaining
    arguments and return its exit code.  None for the embedded engine."""
    pre = argparse.ArgumentParser(add_help=False)
    pre.add_argument("--engine", choices=ENGINES, default="embedded")
    known, rest = pre.parse_known_args(argv)
    if known.engine != "postgres":
        return None
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    return importlib.import_module(pg_module).main(rest)
