"""The libraries under measurement, each behind the same small interface.

A library turns a `DumpsStyle` into a one-argument callable that writes a
document, and gives a one-argument callable that reads one.  A library that
has no way to produce the requested output raises `Unsupported`; one that is
not installed is simply left out of `available()`.
"""

from __future__ import annotations

import dataclasses
import functools
import importlib
import marshal
import warnings
from typing import Any, Callable, Optional

SUBJECT, PEER, FLOOR = "subject", "peer", "floor"


class Unsupported(Exception):
    """The library cannot write this kind of output."""


@dataclasses.dataclass(frozen=True)
class DumpsStyle:
    """How a document is written; every library maps it onto its own arguments."""

    indent: bool = False
    sort_keys: bool = False
    # Called for objects JSON has no native form for (datetimes, UUIDs, ...)
    # by the peers; kestro writes those natively unless it needs it too.
    default: Optional[Callable[[Any], Any]] = None
    default_for_kestro: bool = False
    kestro_option: int = 0  # extra kestro.OPT_* bits, e.g. OPT_SERIALIZE_NUMPY

    @property
    def label(self) -> str:
        parts = [p for p, on in (("indent", self.indent), ("sort_keys", self.sort_keys)) if on]
        return "+".join(parts) or "compact"


COMPACT = DumpsStyle()
INDENTED = DumpsStyle(indent=True)
SORTED = DumpsStyle(sort_keys=True)


class Library:
    name = ""
    module_name = ""
    role = PEER

    def __init__(self, module):
        self.module = module

    @property
    def version(self) -> str:
        # The standard library's json warns that its __version__ is going away.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            return str(getattr(self.module, "__version__", "") or "")

    def dumps(self, style: DumpsStyle) -> Callable[[Any], Any]:
        raise NotImplementedError

    def loads(self) -> Callable[[Any], Any]:
        return self.module.loads

    def loads_input(self, raw: bytes, obj: Any) -> Any:
        """The input this library reads for a document with text `raw`."""
        return raw


class Kestro(Library):
    name = module_name = "kestro"
    role = SUBJECT

    def dumps(self, style):
        k = self.module
        option = style.kestro_option
        if style.indent:
            option |= k.OPT_INDENT_2
        if style.sort_keys:
            option |= k.OPT_SORT_KEYS
        kwargs = {}
        if option:
            kwargs["option"] = option
        if style.default is not None and style.default_for_kestro:
            kwargs["default"] = style.default
        return functools.partial(k.dumps, **kwargs) if kwargs else k.dumps


class StdlibJson(Library):
    name = module_name = "json"

    def dumps(self, style):
        # A prebuilt encoder: json.dumps() with any non-default argument would
        # build a new encoder on every call.
        return self.module.JSONEncoder(
            ensure_ascii=False,
            separators=(",", ": ") if style.indent else (",", ":"),
            indent=2 if style.indent else None,
            sort_keys=style.sort_keys,
            default=style.default,
        ).encode


class Simplejson(StdlibJson):
    name = module_name = "simplejson"


class KeywordLibrary(Library):
    """A peer whose dumps takes the style as keyword arguments."""

    fixed: dict = {}

    def dumps(self, style):
        kwargs = dict(self.fixed, ensure_ascii=False)
        if style.indent:
            kwargs["indent"] = 2
        if style.sort_keys:
            kwargs["sort_keys"] = True
        if style.default is not None:
            kwargs["default"] = style.default
        return functools.partial(self.module.dumps, **kwargs)


class Ujson(KeywordLibrary):
    name = module_name = "ujson"
    fixed = {"escape_forward_slashes": False}


class Rapidjson(KeywordLibrary):
    name = module_name = "rapidjson"


class Msgspec(Library):
    """msgspec.json: writes datetimes, dates, UUIDs, enums and dataclasses
    natively; other objects go to enc_hook.  It has no indented output."""

    name = "msgspec"
    module_name = "msgspec.json"

    @property
    def version(self):
        return str(getattr(importlib.import_module("msgspec"), "__version__", ""))

    def dumps(self, style):
        if style.indent:
            raise Unsupported("msgspec.json writes no indented output")
        kwargs = {"enc_hook": style.default} if style.default is not None else {}
        if style.sort_keys:
            kwargs["order"] = "sorted"
        return self.module.Encoder(**kwargs).encode

    def loads(self):
        return self.module.Decoder().decode


class Jiter(Library):
    """jiter: reads only.  `from_json(data)` with no options is its default
    mode, cache_mode="all": keys and short string values are made once and
    taken from its string cache after."""

    name = module_name = "jiter"

    def dumps(self, style):
        raise Unsupported("jiter only reads JSON")

    def loads(self):
        return self.module.from_json


class Marshal(Library):
    """The floor: walks the same object graph, or builds the same objects,
    with no text to write or read."""

    name = module_name = "marshal"
    role = FLOOR

    @property
    def version(self):
        return f"format {marshal.version}"

    def dumps(self, style):
        if style.default is not None:
            raise Unsupported("marshal has no fallback for foreign types")
        return marshal.dumps  # layout and key order have no meaning here

    def loads_input(self, raw, obj):
        return marshal.dumps(obj)


ALL = (Kestro, Marshal, StdlibJson, Ujson, Rapidjson, Simplejson, Msgspec, Jiter)


def available(names=None):
    """Instances of every importable library (restricted to `names` if given),
    and a list of (name, reason) for those that are not."""
    found, missing = [], []
    for cls in ALL:
        if names is not None and cls.name not in names:
            continue
        try:
            module = importlib.import_module(cls.module_name)
        except Exception as exc:  # ImportError, or a broken build of the module
            missing.append((cls.name, f"{type(exc).__name__}: {exc}"))
            continue
        found.append(cls(module))
    return found, missing


def describe_failure(exc: BaseException) -> str:
    text = f"{type(exc).__name__}: {exc}"
    return text if len(text) <= 70 else text[:67] + "..."
