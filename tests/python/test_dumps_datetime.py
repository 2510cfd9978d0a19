"""dumps: datetime.datetime, datetime.date and datetime.time values, their UTC
offsets and the time-zone libraries users pass as tzinfo."""
import datetime as dt
import json
import sys

import pytest
from hypothesis import example, given, settings, strategies as st

import kestro

from conftest import LIGHT

UTC_Z, NAIVE_UTC, OMIT = kestro.OPT_UTC_Z, kestro.OPT_NAIVE_UTC, kestro.OPT_OMIT_MICROSECONDS
OPTIONS = [0, UTC_Z, NAIVE_UTC, OMIT, NAIVE_UTC | UTC_Z | OMIT]
TZ_MESSAGE = ("datetime's timezone library is not supported: use datetime.timezone.utc, "
              "pendulum, pytz, or dateutil")


def text(value, option=0):
    """The JSON string kestro writes for one value, without its quotes; the
    same in both layouts."""
    out = kestro.dumps(value, option=option)
    assert kestro.dumps([value], option=option | kestro.OPT_INDENT_2) == b'[\n  ' + out + b'\n]'
    return json.loads(out)


def offset_text(offset, option=0):
    """The offset in whole minutes, rounded half up, from a timedelta."""
    seconds = offset.days * 86400 + offset.seconds  # microseconds are not written
    if seconds == 0:
        return "Z" if option & UTC_Z else "+00:00"
    minutes = (abs(seconds) + 30) // 60
    return f"{'-' if seconds < 0 else '+'}{minutes // 60:02}:{minutes % 60:02}"


def expected(value, option=0):
    """isoformat() with the fraction left out under OPT_OMIT_MICROSECONDS, and
    the offset of the value's own wall clock in minutes."""
    spec = "seconds" if option & OMIT else "auto"
    if isinstance(value, dt.datetime):
        offset = value.utcoffset()
        if offset is None and not option & NAIVE_UTC:
            return value.isoformat(timespec=spec)
        wall = value.replace(tzinfo=None).isoformat(timespec=spec)
        return wall + offset_text(offset or dt.timedelta(0), option)
    return value.isoformat(timespec=spec) if isinstance(value, dt.time) else value.isoformat()


DAY = dt.timedelta(hours=23, minutes=59, seconds=59)  # the widest whole-second offsets


@pytest.mark.parametrize("offset, want", [
    (dt.timedelta(hours=5, minutes=30, seconds=29), "+05:30"),
    (dt.timedelta(hours=5, minutes=30, seconds=30), "+05:31"),
    (-dt.timedelta(minutes=19, seconds=32), "-00:20"),
    (dt.timedelta(minutes=59, seconds=30), "+01:00"),   # the rounding carries into the hour
    (-dt.timedelta(hours=1, minutes=59, seconds=45), "-02:00"),
    (dt.timedelta(hours=23, minutes=59, seconds=30), "+24:00"),
    (dt.timedelta(seconds=29), "+00:00"),               # not zero: never "Z"
    (-dt.timedelta(seconds=1), "-00:00"),
    (dt.timedelta(microseconds=1), "Z"),                # seconds 0: the zero offset
    (dt.timedelta(days=-1, microseconds=1), "-24:00"),
])
def test_offset_rounding(offset, want):
    value = dt.datetime(2020, 1, 1, tzinfo=dt.timezone(offset))
    assert text(value, UTC_Z) == "2020-01-01T00:00:00" + want


# Besides the random ones: the ends of the calendar and of the offsets,
# fractions with leading zeros, and a zero offset that is not timezone.utc.
@settings(max_examples=50 if LIGHT else 400, deadline=None)
@given(st.datetimes(), st.none() | st.timedeltas(-DAY, DAY).map(dt.timezone), st.sampled_from(OPTIONS))
@example(dt.datetime(1, 1, 1), None, NAIVE_UTC | UTC_Z)
@example(dt.datetime(999, 12, 31, 1, 2, 3, 120), dt.timezone(-DAY), 0)
@example(dt.datetime(9999, 12, 31, 23, 59, 59, 999999), dt.timezone(DAY), OMIT)
@example(dt.datetime(2020, 5, 5), dt.timezone.utc, UTC_Z)
@example(dt.datetime(2020, 5, 5), dt.timezone(dt.timedelta(0), "zero"), UTC_Z)
def test_values_match_isoformat(naive, tzinfo, option):
    value = naive.replace(tzinfo=tzinfo)
    for v in (value, value.date(), value.time()):
        assert text(v, option) == expected(v, option)


ZONES = ["America/New_York", "Europe/Amsterdam", "Asia/Kolkata", "Australia/Lord_Howe",
         "Pacific/Chatham", "America/St_Johns", "Africa/Monrovia", "UTC"]
INSTANTS = [dt.datetime(y, m, d, h, 30, 15, us) for y, m, d, h, us in [
    (1850, 1, 1, 0, 0), (1900, 6, 1, 12, 1), (1937, 6, 30, 23, 0), (1970, 1, 1, 0, 500000),
    (2024, 3, 10, 2, 7), (2024, 3, 31, 1, 0), (2024, 10, 27, 1, 999999), (2024, 11, 3, 1, 0),
    (2038, 1, 19, 3, 14)]]


def zone(library, factory, name):
    try:
        made = getattr(pytest.importorskip(library), factory)(name)
    except Exception as exc:  # no time-zone database for it on this machine
        pytest.skip(f"zone {name}: {exc}")
    if made is None:  # dateutil's answer for a zone it does not find
        pytest.skip(f"zone {name} not found")
    return made


@pytest.mark.parametrize("library, factory", [("zoneinfo", "ZoneInfo"), ("dateutil.tz", "gettz"),
                                              ("pendulum", "timezone"), ("pytz", "timezone")])
@pytest.mark.parametrize("name", ZONES)
def test_time_zone_libraries(library, factory, name):
    tz = zone(library, factory, name)
    values = [i.replace(tzinfo=tz, fold=f) for i in INSTANTS for f in (0, 1)]
    normal = getattr(tz, "normalize", lambda v: v)
    if library == "pytz":
        # Moved by arithmetic across a change of offset, given as tzinfo=, or a
        # wall clock that does not exist: the text is that of the normalized
        # datetime, the same instant with its zone's offset.
        localized = [tz.localize(i) for i in INSTANTS]
        values += localized + [v + dt.timedelta(days=days) for v in localized for days in (1, 150)]
    got = json.loads(kestro.dumps(values, option=UTC_Z))
    assert got == [expected(normal(v), UTC_Z) for v in values]
    for g, v in zip(got, values):  # the instant, up to the offset's rounding to minutes
        assert abs(dt.datetime.fromisoformat(g.replace("Z", "+00:00")) - v) <= dt.timedelta(seconds=30)


class Zone(dt.tzinfo):
    """A tzinfo whose utcoffset gives `result` (raises it, if an exception
    type; calls it, if callable) and records its calls; `routes` are the
    methods time-zone libraries are told apart by (convert, normalize)."""

    def __init__(self, result, calls=None, **routes):
        self.result, self.calls = result, [] if calls is None else calls
        vars(self).update(routes)

    def utcoffset(self, when):
        self.calls.append("utcoffset")
        if isinstance(self.result, type):
            raise self.result("no offset")
        return self.result(when) if callable(self.result) else self.result

    def dst(self, when):
        return None


class Hidden(Zone):
    """No route at all: every attribute the routes look for is hidden."""

    def __getattribute__(self, name):
        if name in ("convert", "normalize", "dst"):
            raise AttributeError(name)
        return super().__getattribute__(name)


def raises(error):
    def method(when):
        raise error("raised")
    return method


never = raises(AssertionError)


def test_routes_in_order():
    calls = []
    zone = Zone(dt.timedelta(hours=2), calls, convert=never, normalize=never)  # convert comes first
    assert text(dt.datetime(2020, 1, 1, tzinfo=zone)) == "2020-01-01T00:00:00+02:00"
    assert calls == ["utcoffset"] * 2
    calls.clear()
    zone = Zone(dt.timedelta(hours=1), calls, normalize=lambda when: calls.append("normalize") or when)
    assert text(dt.datetime(2020, 1, 1, tzinfo=zone)) == "2020-01-01T00:00:00+01:00"
    assert calls == ["normalize", "utcoffset"] * 2


@pytest.mark.parametrize("value, message, cause", [
    *[(dt.datetime(2020, 1, 1, tzinfo=zone), TZ_MESSAGE, cause) for zone, cause in [
        (Zone(ValueError), ValueError), (Zone(KeyError, convert=never, normalize=never), KeyError),
        (Zone(None, normalize=raises(ValueError)), ValueError), (Zone(None), None),
        (Zone(dt.timedelta(hours=1), normalize=lambda when: "not a datetime"), None),
        (Zone(dt.timedelta(hours=24)), None), (Zone(dt.timedelta(hours=-24)), None),
        (Hidden(dt.timedelta(0)), None), (dt.tzinfo(), NotImplementedError)]],
    (dt.time(1, 2, 3, tzinfo=dt.timezone.utc), "datetime.time must not have tzinfo set", None),
])
@pytest.mark.parametrize("option", [0, kestro.OPT_INDENT_2])
def test_failures(value, message, cause, option):
    before = sys.getrefcount(value), sys.getrefcount(value.tzinfo)
    for _ in range(3):
        with pytest.raises(TypeError) as info:
            kestro.dumps({"a": [value]}, option=option)
        assert (str(info.value), type(info.value.__cause__)) == (message, cause or type(None))
        del info
    assert (sys.getrefcount(value), sys.getrefcount(value.tzinfo)) == before


def test_offset_call_may_drop_the_datetime():
    # The datetime's only owner lets go of it while its offset is asked for.
    items, record = [], {}

    def drop(when):
        items.clear()
        record.clear()
        return dt.timedelta(hours=3)

    items.extend([dt.datetime(2020, 1, 1, 5, tzinfo=Zone(drop)), 1])
    assert kestro.dumps(items) == b'["2020-01-01T05:00:00+03:00"]'
    record.update(a=dt.datetime(2020, 1, 1, 5, tzinfo=Zone(drop)), b=2)
    assert kestro.dumps(record) == b'{"a":"2020-01-01T05:00:00+03:00"}'
