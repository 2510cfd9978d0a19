"""Every part of kestro's API as a typed program uses it.

`mypy --strict` must accept this file with the stubs that come with the
module, and it runs: the packaging tests do both."""

import dataclasses
import datetime
import enum
import uuid
from typing import Any

import kestro


class Color(enum.Enum):
    RED = "red"


@dataclasses.dataclass
class Point:
    x: int
    y: int


def default(obj: Any) -> Any:
    if isinstance(obj, set):
        return sorted(obj)
    raise TypeError


def every_option() -> int:
    return (
        kestro.OPT_APPEND_NEWLINE
        | kestro.OPT_INDENT_2
        | kestro.OPT_NAIVE_UTC
        | kestro.OPT_NON_STR_KEYS
        | kestro.OPT_OMIT_MICROSECONDS
        | kestro.OPT_PASSTHROUGH_DATACLASS
        | kestro.OPT_PASSTHROUGH_DATETIME
        | kestro.OPT_PASSTHROUGH_SUBCLASS
        | kestro.OPT_SERIALIZE_DATACLASS
        | kestro.OPT_SERIALIZE_NUMPY
        | kestro.OPT_SERIALIZE_UUID
        | kestro.OPT_SORT_KEYS
        | kestro.OPT_STRICT_INTEGER
        | kestro.OPT_UTC_Z
    )


def main() -> None:
    version: str = kestro.__version__
    assert version.count(".") == 2

    record = {
        "when": datetime.datetime(2024, 3, 9, 8, 5, 3, tzinfo=datetime.timezone.utc),
        "id": uuid.UUID(int=1),
        "color": Color.RED,
        "point": Point(1, 2),
        "raw": kestro.Fragment(b'{"pre":"made"}'),
        "tags": {"b", "a"},
        1: None,
    }
    text: bytes = kestro.dumps(record, default=default, option=kestro.OPT_NON_STR_KEYS | kestro.OPT_UTC_Z)
    assert text.startswith(b'{"when":"2024-03-09T08:05:03Z"')
    assert kestro.dumps([1], None, None) == b"[1]"
    assert kestro.dumps({"b": 1, "a": 2}, option=every_option() & ~kestro.OPT_PASSTHROUGH_DATACLASS)

    value: Any = kestro.loads(text)
    assert value["tags"] == ["a", "b"]
    for source in (b"[1]", bytearray(b"[1]"), memoryview(b"[1]"), "[1]"):
        assert kestro.loads(source) == [1]
    assert kestro.dumps(kestro.Fragment("[2]")) == b"[2]"

    try:
        kestro.loads(b"[1,")
    except kestro.JSONDecodeError as error:
        position: int = error.pos
        message: str = error.msg
        assert position == 3 and message
    try:
        kestro.dumps(object())
    except kestro.JSONEncodeError as error:
        assert isinstance(error, TypeError)


if __name__ == "__main__":
    main()
    print("typing example ran")
