"""SQLAlchemy's pytest plugin, with vkcondb's dialects registered (an
installed vkcondb registers them through its entry points as well)."""
import os
import sys

import pytest
from sqlalchemy.dialects import registry

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

registry.register("sqlite.vkcondb", "vkcondb.sqlalchemy.sqlite", "SQLiteDialect_vkcondb")
registry.register("postgresql.vkcondb", "vkcondb.sqlalchemy.postgresql", "PGDialect_vkcondb")

pytest.register_assert_rewrite("sqlalchemy.testing.assertions")

from sqlalchemy.testing.plugin.pytestplugin import *  # noqa: E402,F401,F403
