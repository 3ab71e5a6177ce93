"""pandas reads and writes through an engine of either dialect."""
import warnings

import pytest

sa = pytest.importorskip("sqlalchemy")
pd = pytest.importorskip("pandas")
np = pytest.importorskip("numpy")


def _frame(n=10000):
    rng = np.random.default_rng(7)
    frame = pd.DataFrame({
        "n": np.arange(n, dtype="int64"),
        "x": rng.normal(size=n),
        "s": ["row %d" % i for i in range(n)],
        "when": pd.Timestamp("2024-01-01") + pd.to_timedelta(np.arange(n), unit="s"),
    })
    frame.loc[frame.index % 7 == 0, "x"] = np.nan
    frame.loc[frame.index % 11 == 0, "s"] = None
    frame.loc[frame.index % 13 == 0, "when"] = pd.NaT
    return frame


def test_to_sql_and_read_sql_round_trip(engine):
    frame = _frame()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        written = frame.to_sql("frame", engine, index=False)
        back = pd.read_sql_query("select n, x, s, \"when\" from frame order by n", engine,
                                 parse_dates=["when"])
    # the PostgreSQL engine does not report how many rows a statement wrote
    assert written == (len(frame) if engine.dialect.supports_sane_rowcount else -1)
    back["when"] = back["when"].astype(frame["when"].dtype)
    pd.testing.assert_frame_equal(back, frame, check_dtype=False)
    assert back["n"].dtype.kind == "i" and back["x"].dtype.kind == "f"
