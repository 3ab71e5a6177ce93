"""Every test of SQLAlchemy's dialect compliance suite."""
from sqlalchemy.testing.suite import *  # noqa: F401,F403
