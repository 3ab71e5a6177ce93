"""The millisecond date-time (code 23) against Python's own calendar, over
the whole range of years the host's datetime accepts."""
import datetime
import random
import struct

import pytest

EPOCH = datetime.datetime(1970, 1, 1)
FIRST = datetime.datetime(1, 1, 1)
LAST = datetime.datetime(9999, 12, 31, 23, 59, 59, 999000)


def ms_of(dt):
    delta = dt - EPOCH
    return (delta.days * 86400 + delta.seconds) * 1000 + delta.microseconds // 1000


def expected(ms):
    return EPOCH + datetime.timedelta(milliseconds=ms)


def landmarks():
    days = [
        (1, 1, 1), (1, 12, 31), (4, 2, 29), (100, 2, 28), (100, 3, 1), (400, 2, 29),
        (1582, 10, 15), (1600, 2, 29), (1899, 12, 31), (1900, 2, 28), (1900, 3, 1),
        (1969, 12, 31), (1970, 1, 1), (1972, 2, 29), (2000, 2, 29), (2000, 3, 1),
        (2100, 2, 28), (2100, 3, 1), (2400, 2, 29), (9996, 2, 29), (9999, 12, 31),
    ]
    counts = []
    for y, m, d in days:
        base = ms_of(datetime.datetime(y, m, d))
        counts += [base - 1, base, base + 1, base + 86399999]
    counts += [ms_of(FIRST), ms_of(LAST), -1, 0, 1]
    return [c for c in counts if ms_of(FIRST) <= c <= ms_of(LAST)]


def random_counts(n=3000):
    rng = random.Random(23)
    lo, hi = ms_of(FIRST), ms_of(LAST)
    return [rng.randint(lo, hi) for _ in range(n)]


def read_counts(make_query, counts):
    cur = make_query([("t", 23, 8)], [[struct.pack("<q", c)] for c in counts])
    return [row[0] for row in cur.fetchall()]


@pytest.mark.parametrize("counts", [landmarks(), random_counts()], ids=["landmarks", "random"])
def test_counts_match_python_calendar(make_query, counts):
    got = read_counts(make_query, counts)
    assert got == [expected(c) for c in counts]
    assert all(v.tzinfo is None for v in got)


@pytest.mark.parametrize("count", [
    ms_of(FIRST) - 1, ms_of(LAST) + 1, -2 ** 63, 2 ** 63 - 1,
])
def test_count_outside_years_1_to_9999_raises_value_error(make_query, count):
    # The ends of the 64-bit range must be split without overflow (the
    # sanitizer run, dev/sanitize.sh, checks the arithmetic itself).
    cur = make_query([("t", 23, 8)], [[struct.pack("<q", count)]])
    with pytest.raises(ValueError, match="^year %d is out of range$" % year_of(count)):
        cur.fetchone()


def year_of(ms):
    """The proleptic Gregorian year of any count: moved by whole 400-year
    cycles (146097 days) into the years Python's datetime holds."""
    cycle_ms = 146097 * 86400000
    cycles = (ms - ms_of(datetime.datetime(2000, 1, 1))) // cycle_ms
    return expected(ms - cycles * cycle_ms).year + 400 * cycles
