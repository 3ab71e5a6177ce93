"""Values that vkcondb hands back as text, read into Python objects, and
Python objects it does not take, written as text.

Dates, times, time zones, intervals and arrays come back from the driver as
the database's text; SQLAlchemy's types expect `date`, `time`, `datetime`,
`timedelta` and lists.  Nothing here imports SQLAlchemy.
"""
import datetime
import re

_DATE = re.compile(r"(\d{4})-(\d\d)-(\d\d)$")
_TIME = re.compile(r"(\d\d):(\d\d)(?::(\d\d)(?:\.(\d{1,6}))?)?"
                   r"(?:([+-])(\d\d)(?::?(\d\d))?(?::(\d\d))?|(Z))?$")
_DATETIME = re.compile(r"(\d{4})-(\d\d)-(\d\d)(?:[ T](.*))?$")


def _micro(fraction):
    return int((fraction or "0").ljust(6, "0"))


def _zone(sign, hours, minutes, seconds, zulu):
    if zulu:
        return datetime.timezone.utc
    if sign is None:
        return None
    offset = datetime.timedelta(hours=int(hours), minutes=int(minutes or 0),
                                seconds=int(seconds or 0))
    return datetime.timezone(-offset if sign == "-" else offset)


def to_date(value):
    """`date` of "YYYY-MM-DD" (a `datetime` gives its date); a text that is
    no such date (BC, infinity, a year past 9999) is returned unchanged."""
    if value is None or isinstance(value, datetime.date):
        return value.date() if isinstance(value, datetime.datetime) else value
    match = _DATE.match(value)
    if match is None:
        return value
    try:
        return datetime.date(*map(int, match.groups()))
    except ValueError:
        return value


def to_time(value):
    """`time` of "HH:MM[:SS[.ffffff]]" with an optional zone offset ("+02",
    "-05:30"); other texts are returned unchanged."""
    if value is None or isinstance(value, datetime.time):
        return value
    match = _TIME.match(value)
    if match is None:
        return value
    hour, minute, second, fraction, sign, zh, zm, zs, zulu = match.groups()
    try:
        return datetime.time(int(hour), int(minute), int(second or 0), _micro(fraction),
                             tzinfo=_zone(sign, zh, zm, zs, zulu))
    except ValueError:
        return value


def to_datetime(value):
    """`datetime` of "YYYY-MM-DD[ HH:MM[:SS[.f]]][zone]" (a `datetime` is
    kept); infinity, BC dates and other texts are returned unchanged."""
    if value is None or isinstance(value, datetime.datetime):
        return value
    if isinstance(value, datetime.date):
        return datetime.datetime(value.year, value.month, value.day)
    match = _DATETIME.match(value)
    if match is None:
        return value
    year, month, day, rest = match.groups()
    clock = to_time(rest) if rest else datetime.time()
    if not isinstance(clock, datetime.time):
        return value
    try:
        return datetime.datetime.combine(datetime.date(int(year), int(month), int(day)), clock)
    except ValueError:
        return value


# --- intervals ------------------------------------------------------------------
# The driver gives day-time intervals as "[-]DDDDDDD HH:MM:SS.ffffff" (the sign
# covers the whole value), month counts as "[-]Y-MM", and an interval with both
# months and days in ISO 8601 ("P1Y2M3DT4H5M6.5S").  A month counts 30 days
# and a year 365, as other PostgreSQL drivers count them.
_DAY_TIME = re.compile(r"(-?)(\d+) (\d+):(\d\d):(\d\d)(?:\.(\d{1,6}))?$")
_YEAR_MONTH = re.compile(r"(-?)(\d+)-(\d+)$")
_ISO = re.compile(r"(-)?P(?:(-?\d+)Y)?(?:(-?\d+)M)?(?:(-?\d+)W)?(?:(-?\d+)D)?"
                  r"(?:T(?:(-?\d+)H)?(?:(-?\d+)M)?(?:(-?\d+(?:\.\d+)?)S)?)?$")


def to_timedelta(value):
    """`timedelta` of one of the driver's interval texts; other texts are
    returned unchanged."""
    if value is None or isinstance(value, datetime.timedelta):
        return value
    match = _DAY_TIME.match(value)
    if match:
        sign, days, hours, minutes, seconds, fraction = match.groups()
        delta = datetime.timedelta(days=int(days), hours=int(hours), minutes=int(minutes),
                                   seconds=int(seconds), microseconds=_micro(fraction))
        return -delta if sign else delta
    match = _YEAR_MONTH.match(value)
    if match:
        sign, years, months = match.groups()
        delta = datetime.timedelta(days=365 * int(years) + 30 * int(months))
        return -delta if sign else delta
    match = _ISO.match(value)
    if match and value not in ("P", "-P"):
        negate, years, months, weeks, days, hours, minutes, seconds = match.groups()
        delta = datetime.timedelta(
            days=365 * int(years or 0) + 30 * int(months or 0) + 7 * int(weeks or 0)
            + int(days or 0),
            hours=int(hours or 0), minutes=int(minutes or 0), seconds=float(seconds or 0))
        return -delta if negate else delta
    return value


def interval_text(delta):
    """A `timedelta` as an interval text the server reads exactly."""
    if delta is None or isinstance(delta, str):
        return delta
    return "%d days %d seconds %d microseconds" % (delta.days, delta.seconds,
                                                   delta.microseconds)


def zoned_text(value):
    """A `datetime` or `time` with its zone as ISO text (the driver itself
    would drop the zone); naive values go through unchanged."""
    if isinstance(value, (datetime.datetime, datetime.time)) and value.tzinfo is not None:
        return value.isoformat(sep=" ") if isinstance(value, datetime.datetime) \
            else value.isoformat()
    return value


# --- arrays -------------------------------------------------------------------------
def parse_array(text):
    """Nested lists of the elements of a PostgreSQL array text
    ('{1,2,NULL}', '{{"a b","c\\"d"},{e,f}}'): each element a `str`, NULL
    as None.  A leading dimension decoration ('[0:1]={...}') is skipped."""
    if text is None or isinstance(text, list):
        return text
    if text.startswith("["):
        text = text[text.index("=") + 1:]
    if not text.startswith("{"):
        raise ValueError("not an array text: %r" % text[:40])
    stack = [[]]
    i, n = 1, len(text)
    while i < n:
        ch = text[i]
        if ch == "{":
            stack.append([])
            i += 1
        elif ch == "}":
            done = stack.pop()
            if not stack:
                return done
            stack[-1].append(done)
            i += 1
        elif ch == ",":
            i += 1
        elif ch == '"':
            i += 1
            out = []
            while text[i] != '"':
                if text[i] == "\\":
                    i += 1
                out.append(text[i])
                i += 1
            stack[-1].append("".join(out))
            i += 1
        else:
            j = i
            while text[j] not in ",}":
                j += 1
            word = text[i:j].strip()
            stack[-1].append(None if word.upper() == "NULL" else word)
            i = j
    raise ValueError("unterminated array text")


def _element_text(value):
    if value is None:
        return "NULL"
    if isinstance(value, (list, tuple)):
        return array_text(value)
    if isinstance(value, bool):
        return "t" if value else "f"
    if isinstance(value, (bytes, bytearray, memoryview)):
        value = "\\x" + bytes(value).hex()
    elif isinstance(value, datetime.timedelta):
        value = interval_text(value)
    elif isinstance(value, (datetime.date, datetime.time)):
        value = value.isoformat()
    else:
        value = str(value)
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def array_text(values):
    """A (nested) list as a PostgreSQL array text: every element quoted, so
    blanks, commas, braces and the word NULL keep their meaning."""
    if values is None or isinstance(values, str):
        return values
    return "{" + ",".join(_element_text(v) for v in values) + "}"
