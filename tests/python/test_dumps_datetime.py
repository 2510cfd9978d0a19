"""dumps: datetime.datetime, datetime.date and datetime.time values, their UTC
offsets and the time-zone libraries users pass as tzinfo."""
import datetime as dt
import json
import sys

import pytest
from hypothesis import given, settings, strategies as st

import kestro

from conftest import SANITIZED

UTC_Z, NAIVE_UTC, OMIT = kestro.OPT_UTC_Z, kestro.OPT_NAIVE_UTC, kestro.OPT_OMIT_MICROSECONDS
TZ_MESSAGE = ("datetime's timezone library is not supported: use datetime.timezone.utc, "
              "pendulum, pytz, or dateutil")
EXAMPLES = 50 if SANITIZED else 400


def text(value, option=None):
    """The JSON string kestro writes for one value, without its quotes."""
    out = kestro.dumps(value, option=option)
    assert kestro.dumps([value], option=(option or 0) | kestro.OPT_INDENT_2) == \
        b'[\n  ' + out + b'\n]'
    return json.loads(out)


def offset_text(offset, option=0):
    """The offset in whole minutes, rounded half up, from a timedelta."""
    seconds = offset.days * 86400 + offset.seconds  # microseconds are not written
    if seconds == 0:
        return "Z" if option & UTC_Z else "+00:00"
    sign = "-" if seconds < 0 else "+"
    minutes = (abs(seconds) + 30) // 60
    return f"{sign}{minutes // 60:02}:{minutes % 60:02}"


def expected(value, option=0):
    """isoformat() with the fraction left out under OPT_OMIT_MICROSECONDS, and
    the offset of the value's own wall clock in minutes."""
    spec = "seconds" if option & OMIT else "auto"
    if isinstance(value, dt.datetime):
        base = value.replace(tzinfo=None).isoformat(timespec=spec)
        offset = value.utcoffset()
        if offset is None:
            return base + (offset_text(dt.timedelta(0), option) if option & NAIVE_UTC else "")
        return base + offset_text(offset, option)
    if isinstance(value, dt.time):
        return value.isoformat(timespec=spec)
    return value.isoformat()


@pytest.mark.parametrize("value, option, want", [
    (dt.date(1, 1, 1), 0, "0001-01-01"),
    (dt.date(999, 12, 31), 0, "0999-12-31"),
    (dt.date(5, 1, 2), UTC_Z | NAIVE_UTC | OMIT, "0005-01-02"),
    (dt.date(9999, 12, 31), 0, "9999-12-31"),
    (dt.time(0, 0), 0, "00:00:00"),
    (dt.time(12, 0, 0, 12345), 0, "12:00:00.012345"),
    (dt.time(12, 0, 0, 12345), OMIT, "12:00:00"),
    (dt.time(23, 59, 59, 500000), NAIVE_UTC | UTC_Z, "23:59:59.500000"),
    (dt.time(1, 2, 3, 120), 0, "01:02:03.000120"),
    (dt.datetime(2000, 1, 1), 0, "2000-01-01T00:00:00"),
    (dt.datetime(2000, 1, 1), NAIVE_UTC, "2000-01-01T00:00:00+00:00"),
    (dt.datetime(2000, 1, 1), NAIVE_UTC | UTC_Z, "2000-01-01T00:00:00Z"),
    (dt.datetime(2024, 3, 9, 8, 5, 3, 120), 0, "2024-03-09T08:05:03.000120"),
    (dt.datetime(2024, 3, 9, 8, 5, 3, 999999), OMIT, "2024-03-09T08:05:03"),
    (dt.datetime(1, 1, 1, tzinfo=dt.timezone.utc), 0, "0001-01-01T00:00:00+00:00"),
    (dt.datetime(1, 1, 1, tzinfo=dt.timezone.utc), UTC_Z, "0001-01-01T00:00:00Z"),
    (dt.datetime(9999, 12, 31, 23, 59, 59, 999999, dt.timezone(dt.timedelta(hours=23, minutes=59))),
     0, "9999-12-31T23:59:59.999999+23:59"),
    (dt.datetime(2020, 5, 5, tzinfo=dt.timezone(dt.timedelta(hours=-5))), UTC_Z | NAIVE_UTC,
     "2020-05-05T00:00:00-05:00"),
    (dt.datetime(2020, 5, 5, tzinfo=dt.timezone(dt.timedelta(0))), UTC_Z, "2020-05-05T00:00:00Z"),
])
def test_texts(value, option, want):
    assert text(value, option) == want


@pytest.mark.parametrize("offset, want", [
    (dt.timedelta(hours=5, minutes=30), "+05:30"),
    (dt.timedelta(hours=5, minutes=30, seconds=29), "+05:30"),
    (dt.timedelta(hours=5, minutes=30, seconds=30), "+05:31"),
    (-dt.timedelta(minutes=19, seconds=32), "-00:20"),
    (dt.timedelta(minutes=59, seconds=30), "+01:00"),   # the rounding carries into the hour
    (-dt.timedelta(hours=1, minutes=59, seconds=45), "-02:00"),
    (dt.timedelta(hours=23, minutes=59, seconds=30), "+24:00"),
    (dt.timedelta(seconds=29), "+00:00"),
    (dt.timedelta(seconds=30), "+00:01"),
    (-dt.timedelta(seconds=1), "-00:00"),
    (dt.timedelta(microseconds=1), "Z"),          # seconds 0: the zero offset
    (dt.timedelta(days=-1, microseconds=1), "-24:00"),
])
def test_offset_rounding(offset, want):
    value = dt.datetime(2020, 1, 1, tzinfo=dt.timezone(offset))
    assert text(value, UTC_Z).endswith("T00:00:00" + want)


@settings(max_examples=EXAMPLES, deadline=None)
@given(st.datetimes(min_value=dt.datetime(1, 1, 2), max_value=dt.datetime(9999, 12, 30)),
       st.one_of(st.none(), st.timedeltas(min_value=dt.timedelta(hours=-23, minutes=-59, seconds=-59),
                                          max_value=dt.timedelta(hours=23, minutes=59, seconds=59))),
       st.sampled_from([0, UTC_Z, NAIVE_UTC, OMIT, NAIVE_UTC | UTC_Z | OMIT]))
def test_datetimes_match_isoformat(naive, offset, option):
    value = naive if offset is None else naive.replace(tzinfo=dt.timezone(offset))
    assert text(value, option) == expected(value, option)
    assert text(value.date(), option) == expected(value.date())
    assert text(value.time(), option) == expected(value.time(), option)


zoneinfo = pytest.importorskip("zoneinfo")
ZONES = ["America/New_York", "Europe/Amsterdam", "Asia/Kolkata", "Australia/Lord_Howe",
         "Pacific/Chatham", "America/St_Johns", "Africa/Monrovia", "UTC"]
INSTANTS = [dt.datetime(y, m, d, h, 30, 15, us) for y, m, d, h, us in [
    (1850, 1, 1, 0, 0), (1900, 6, 1, 12, 1), (1937, 6, 30, 23, 0), (1970, 1, 1, 0, 500000),
    (2024, 3, 10, 2, 7), (2024, 3, 31, 1, 0), (2024, 10, 27, 1, 999999), (2024, 11, 3, 1, 0),
    (2038, 1, 19, 3, 14)]]


def zone_or_skip(make, name):
    try:
        return make(name)
    except Exception as exc:  # no time-zone database for it on this machine
        pytest.skip(f"zone {name}: {exc}")


@pytest.mark.parametrize("name", ZONES)
def test_zoneinfo(name):
    zone = zone_or_skip(zoneinfo.ZoneInfo, name)
    values = [i.replace(tzinfo=zone, fold=f) for i in INSTANTS for f in (0, 1)]
    assert json.loads(kestro.dumps(values)) == [expected(v) for v in values]


@pytest.mark.parametrize("name", ZONES)
def test_dateutil(name):
    tz = pytest.importorskip("dateutil.tz")
    zone = zone_or_skip(tz.gettz, name)
    values = [i.replace(tzinfo=zone) for i in INSTANTS]
    values += [i.replace(tzinfo=tz.tzutc()) for i in INSTANTS[:2]]
    values += [i.replace(tzinfo=tz.tzoffset("X", -12600)) for i in INSTANTS[:2]]
    assert json.loads(kestro.dumps(values, option=UTC_Z)) == [expected(v, UTC_Z) for v in values]


@pytest.mark.parametrize("name", ZONES)
def test_pendulum_timezones(name):
    pendulum = pytest.importorskip("pendulum")
    zone = zone_or_skip(pendulum.timezone, name)
    values = [i.replace(tzinfo=zone) for i in INSTANTS]
    assert json.loads(kestro.dumps(values)) == [expected(v) for v in values]


@pytest.mark.parametrize("name", ZONES)
def test_pytz(name):
    pytz = pytest.importorskip("pytz")
    zone = zone_or_skip(pytz.timezone, name)
    localized = [zone.localize(i) for i in INSTANTS]
    # Moved by arithmetic across a change of offset, given as tzinfo=, or a
    # wall clock that does not exist: the text is that of the normalized
    # datetime, the same instant with its zone's offset.
    values = localized + [v + dt.timedelta(days=days) for v in localized for days in (1, 150)]
    values += [i.replace(tzinfo=zone) for i in INSTANTS]
    got = json.loads(kestro.dumps(values))
    assert got == [expected(zone.normalize(v)) for v in values]
    for g, v in zip(got, values):  # the instant, up to the offset's rounding to minutes
        assert abs(dt.datetime.fromisoformat(g) - v) <= dt.timedelta(seconds=30)
    assert sum(g != expected(v) for g, v in zip(got, values)) < len(values) // 2


class Zone(dt.tzinfo):
    """A tzinfo whose utcoffset gives what it is told and records its calls."""

    def __init__(self, result, calls=None):
        self.result, self.calls = result, calls if calls is not None else []

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


class Converting(Zone):
    def convert(self, when):
        raise AssertionError("never called")

    def normalize(self, when):
        raise AssertionError("convert comes first")


class Normalizing(Zone):
    def __init__(self, normal, calls=None):
        super().__init__(dt.timedelta(hours=1), calls)
        self.normal = normal

    def normalize(self, when):
        self.calls.append("normalize")
        if isinstance(self.normal, type):
            raise self.normal("no normal form")
        return self.normal


def test_routes_in_order():
    calls = []
    value = dt.datetime(2020, 1, 1, tzinfo=Converting(dt.timedelta(hours=2), calls))
    assert text(value) == "2020-01-01T00:00:00+02:00" and calls == ["utcoffset"] * 2
    calls = []
    value = dt.datetime(2020, 1, 1, tzinfo=Normalizing(None, calls))
    value.tzinfo.normal = value
    assert text(value) == "2020-01-01T00:00:00+01:00"
    assert calls == ["normalize", "utcoffset"] * 2


@pytest.mark.parametrize("zone, cause", [
    (Zone(ValueError), ValueError),
    (Converting(KeyError), KeyError),
    (Normalizing(ValueError), ValueError),
    (Zone(None), None),
    (Zone(3600), None),
    (Zone(dt.timedelta(hours=24)), None),
    (Zone(dt.timedelta(hours=-24)), None),
    (Zone(dt.timedelta(days=2, hours=3)), None),
    (Normalizing("not a datetime"), None),
    (Hidden(dt.timedelta(0)), None),
    (dt.tzinfo(), NotImplementedError),
])
@pytest.mark.parametrize("option", [0, kestro.OPT_INDENT_2])
def test_offset_failures(zone, cause, option):
    value = dt.datetime(2020, 1, 1, tzinfo=zone)
    before = sys.getrefcount(value), sys.getrefcount(zone)
    for _ in range(3):
        with pytest.raises(TypeError) as info:
            kestro.dumps({"a": [value]}, option=option)
        assert str(info.value) == TZ_MESSAGE
        if isinstance(cause, type):
            assert type(info.value.__cause__) is cause
        else:
            assert info.value.__cause__ is cause
        del info
    assert (sys.getrefcount(value), sys.getrefcount(zone)) == before


@pytest.mark.parametrize("value", [dt.time(1, 2, 3, tzinfo=dt.timezone.utc),
                                   dt.time(0, 0, tzinfo=Zone(dt.timedelta(0)))])
@pytest.mark.parametrize("wrap", [lambda v: v, lambda v: [1, v], lambda v: {"k": v}])
@pytest.mark.parametrize("option", [0, kestro.OPT_INDENT_2])
def test_time_with_tzinfo_fails(value, wrap, option):
    with pytest.raises(TypeError) as info:
        kestro.dumps(wrap(value), option=option)
    assert str(info.value) == "datetime.time must not have tzinfo set"
    assert info.value.__cause__ is None


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
