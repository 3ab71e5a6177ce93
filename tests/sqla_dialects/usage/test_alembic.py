"""An Alembic migration applied and downgraded."""
import pytest

sa = pytest.importorskip("sqlalchemy")
pytest.importorskip("alembic")
from alembic.migration import MigrationContext  # noqa: E402
from alembic.operations import Operations  # noqa: E402


def _upgrade(op):
    op.create_table("account", sa.Column("id", sa.Integer, primary_key=True),
                    sa.Column("name", sa.String(40), nullable=False))
    op.add_column("account", sa.Column("created", sa.DateTime))
    op.create_index("ix_account_name", "account", ["name"], unique=True)


def _downgrade(op):
    op.drop_index("ix_account_name", table_name="account")
    with op.batch_alter_table("account") as batch:
        batch.drop_column("created")
    op.drop_table("account")


def test_migration_up_and_down(engine):
    with engine.begin() as conn:
        _upgrade(Operations(MigrationContext.configure(conn)))
    insp = sa.inspect(engine)
    assert {c["name"] for c in insp.get_columns("account")} == {"id", "name", "created"}
    assert [i["name"] for i in insp.get_indexes("account")] == ["ix_account_name"]
    with engine.begin() as conn:
        _downgrade(Operations(MigrationContext.configure(conn)))
    assert "account" not in sa.inspect(engine).get_table_names()
