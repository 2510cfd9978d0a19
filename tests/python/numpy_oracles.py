"""What the numpy tests compare kestro's output with: numpy's own conversions,
the standard library's and Python's datetime arithmetic."""
import datetime
import decimal

import pytest

import kestro

UNIT_NAMES = {"Y": "years", "M": "months", "W": "weeks", "D": "days", "h": "hours",
              "m": "minutes", "s": "seconds", "ms": "milliseconds", "us": "microseconds",
              "ns": "nanoseconds", "ps": "picoseconds", "fs": "femtoseconds",
              "as": "attoseconds"}
WRITTEN_UNITS = list(UNIT_NAMES)[:10]
FIXED_RANGE = {"float16": (-6, 12), "float32": (-6, 12), "float64": (-5, 15)}
INT64_MIN, INT64_MAX = -2 ** 63, 2 ** 63 - 1
FIRST_SECOND = -62167219200  # 0000-01-01T00:00:00
LAST_SECOND = 253402207200  # 9999-12-30T22:00:00, the last instant written
SECONDS_EACH = {"W": 604800, "D": 86400, "h": 3600, "m": 60, "s": 1}
PER_SECOND = {"ms": 10 ** 3, "us": 10 ** 6, "ns": 10 ** 9}


def dumps(obj, option=0, **kwargs):
    return kestro.dumps(obj, option=kestro.OPT_SERIALIZE_NUMPY | option, **kwargs)


def encode_error(obj, message, option=0, **kwargs):
    with pytest.raises(kestro.JSONEncodeError) as info:
        dumps(obj, option, **kwargs)
    assert str(info.value) == message
    return info.value


def integer_samples(np, dtype):
    info = np.iinfo(dtype)
    values = {info.min, info.min + 1, info.max - 1, info.max, 0, 1, -1}
    for k in range(20):
        values.update(s * v for s in (1, -1) for v in (10 ** k - 1, 10 ** k, 8 ** k))
    rng = np.random.default_rng(11)
    values.update(rng.integers(info.min, info.max, 300, dtype=dtype, endpoint=True).tolist())
    return sorted(v for v in values if info.min <= v <= info.max)


def float_samples(np, dtype):
    finfo = np.finfo(dtype)
    values = [0.0, -0.0, 0.1, 1.5, 100.5, 1e-5, 1e-6, 1e-7, 1e12, 1e13, 1e15, 1e16, 16777216.0,
              float(finfo.max), -float(finfo.max), float(finfo.tiny), 2.0 ** -24,
              float(finfo.smallest_subnormal), 9999999999999998.0, 0.0000099]
    bits = np.dtype(f"u{np.dtype(dtype).itemsize}")
    random = np.random.default_rng(12).integers(0, np.iinfo(bits).max, 2000, dtype=bits)
    with np.errstate(over="ignore"):
        return np.concatenate([np.array(values, dtype=dtype), random.view(dtype)])


def check_float_text(np, text, value):
    """text is the shortest round-trip decimal of value (of its binary32 value
    for float16 and float32), in fixed notation inside the exponent range of
    its precision and in scientific notation outside it."""
    if not np.isfinite(value):
        assert text == "null"
        return
    shortest = repr(float(value)) if value.dtype == np.float64 else \
        np.format_float_scientific(np.float32(value), unique=True)
    assert decimal.Decimal(text) == decimal.Decimal(shortest), (text, value)
    assert text.startswith("-") == bool(np.signbit(value))
    low, high = FIXED_RANGE[value.dtype.name]
    exponent = decimal.Decimal(text).adjusted() if value != 0 else 0
    assert ("e" in text) == (not low <= exponent <= high), text
    assert "e" in text or "." in text


def written_counts(unit):
    """The first and last counts of the unit that are written."""
    if unit == "Y":
        return -1970, 9999 - 1970
    if unit == "M":
        return -1970 * 12, (9999 - 1970) * 12 + 11
    if unit in SECONDS_EACH:
        return -(-FIRST_SECOND // SECONDS_EACH[unit]), LAST_SECOND // SECONDS_EACH[unit]
    if unit == "ns":
        return INT64_MIN, INT64_MAX
    return FIRST_SECOND * PER_SECOND[unit], LAST_SECOND * PER_SECOND[unit]


def datetime64_counts(np, unit):
    """Counts around both ends of the written range, and a spread between."""
    first, last = written_counts(unit)
    counts = {0, 1, -1, 1709971503, -1709971503, INT64_MAX, INT64_MIN + 1}
    counts.update(edge + d for edge in (first, last) for d in range(-2, 3))
    rng = np.random.default_rng(14)
    counts.update(rng.integers(max(first, INT64_MIN + 1), last, 200).tolist())
    return sorted(c for c in counts if INT64_MIN < c <= INT64_MAX)


def numpy_text(np, value):
    """numpy's own calendar: the seconds, then the microseconds if any."""
    full = np.datetime_as_string(value)  # the fraction in the value's unit
    micro = int(full[20:26].ljust(6, "0")) if len(full) > 20 else 0
    return np.datetime_as_string(value, unit="s") + (f".{micro:06d}" if micro else "")


def python_datetime(count, unit):
    """The same instant by the datetime module's arithmetic (years 1 to 9999)."""
    if unit in "YM":
        years, month = divmod(count, 12) if unit == "M" else (count, 0)
        return datetime.datetime(1970 + years, month + 1, 1)
    micro = count * SECONDS_EACH[unit] * 10 ** 6 if unit in SECONDS_EACH else \
        count * 10 ** 6 // PER_SECOND[unit]
    return datetime.datetime(1970, 1, 1) + datetime.timedelta(microseconds=micro)
