# Type information for the kestro extension module, installed beside it.
import json
from collections.abc import Callable
from typing import Any, Final, final

__version__: Final[str]

def dumps(
    obj: Any,
    /,
    default: Callable[[Any], Any] | None = None,
    option: int | None = None,
) -> bytes:
    """Serialize Python objects to JSON.

    Returns the UTF-8 JSON text of obj as bytes. str, int, float, bool, None,
    dict, list, tuple, datetime, date, time, UUID, enum members, dataclass
    instances and Fragment are written natively, numpy arrays and scalars
    under OPT_SERIALIZE_NUMPY.

    default: called with each object of any other type; what it returns is
        written in its place.
    option: None or an int, OPT_* constants combined with |.

    Raises JSONEncodeError (TypeError itself) when an object cannot be
    written; an exception raised by default is its __cause__.
    """

def loads(obj: bytes | bytearray | memoryview | str, /) -> Any:
    """Deserialize JSON to Python objects.

    obj is the JSON text as bytes, bytearray, memoryview or str (bytes must
    be valid UTF-8). Returns the dict, list, str, int, float, bool or None it
    describes.

    Raises JSONDecodeError (a subclass of json.JSONDecodeError and so of
    ValueError) for anything that is not valid JSON.
    """

@final
class Fragment:
    """Already-serialized JSON that dumps copies into its output unchanged.

    content is the JSON text as bytes or str. It is not parsed or checked:
    dumps writes it as it is, in compact and indented output alike.
    """

    def __new__(cls, content: bytes | str, /) -> Fragment: ...

class JSONDecodeError(json.JSONDecodeError): ...

JSONEncodeError = TypeError

OPT_APPEND_NEWLINE: Final = 1024
OPT_INDENT_2: Final = 1
OPT_NAIVE_UTC: Final = 2
OPT_NON_STR_KEYS: Final = 4
OPT_OMIT_MICROSECONDS: Final = 8
OPT_PASSTHROUGH_DATACLASS: Final = 2048
OPT_PASSTHROUGH_DATETIME: Final = 512
OPT_PASSTHROUGH_SUBCLASS: Final = 256
OPT_SERIALIZE_DATACLASS: Final = 0
OPT_SERIALIZE_NUMPY: Final = 16
OPT_SERIALIZE_UUID: Final = 0
OPT_SORT_KEYS: Final = 32
OPT_STRICT_INTEGER: Final = 64
OPT_UTC_Z: Final = 128
