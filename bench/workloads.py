"""What is measured: documents, and the workloads made of them.

A workload is one document, one direction and (for dumps) one style.  Adding
one takes a few lines, for instance a list of datetimes that the peers write
through a `default` callable:

    STAMPS = Document.of("datetimes", [datetime.datetime(2024, 1, d) for d in range(1, 29)] * 40,
                         default=datetime.datetime.isoformat)
    register(Workload("types", STAMPS, "dumps", DumpsStyle(default=datetime.datetime.isoformat)))
"""

from __future__ import annotations

import dataclasses
import datetime
import enum
import json
import pathlib
import random
import uuid
from typing import Any, Callable, List, Optional

from . import realdocs
from .libraries import COMPACT, INDENTED, SORTED, DumpsStyle

REPO = pathlib.Path(__file__).resolve().parents[1]
CORPUS = REPO / "tests" / "data" / "corpus"
CORPUS_NAMES = ("twitter", "citm_catalog", "canada")


def json_text(obj, default=None) -> bytes:
    """The compact UTF-8 JSON text of obj, as the reference writer makes it."""
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"), default=default).encode()


class Document:
    """A JSON document as both text and objects, each made on first use."""

    def __init__(self, name: str, make_raw: Callable[[], bytes], make_obj: Callable[[], Any],
                 comparable: Callable[[Any], Any] = lambda parsed: parsed):
        self.name = name
        self._make_raw, self._make_obj = make_raw, make_obj
        self._raw = self._obj = None
        # What a reading of a result is compared in: float32 values, for
        # instance, are compared as float32, since a library may write them
        # with the shortest text of either precision.
        self.comparable = comparable
        self.family = ""  # the package a real document comes from

    @classmethod
    def from_file(cls, name: str, path: pathlib.Path) -> "Document":
        doc = cls(name, path.read_bytes, lambda: json.loads(doc.raw))
        return doc

    @classmethod
    def of(cls, name: str, obj: Any, default=None, comparable=lambda parsed: parsed) -> "Document":
        return cls(name, lambda: json_text(obj, default), lambda: obj, comparable)

    @property
    def raw(self) -> bytes:
        if self._raw is None:
            self._raw = self._make_raw()
        return self._raw

    @property
    def obj(self) -> Any:
        if self._obj is None:
            self._obj = self._make_obj()
        return self._obj

    def parsed(self) -> Any:
        """What reading the text gives, to check every library's result against."""
        return self.comparable(json.loads(self.raw))


class Batch(Document):
    """Several documents read one after the other in one call, every result
    kept in a list that grows through the loop, as a program that loads
    files and keeps what it loaded does."""

    def __init__(self, name: str, parts: List[Document]):
        super().__init__(name, lambda: b"", lambda: [d.obj for d in parts])
        self.parts = parts

    def parsed(self) -> Any:
        return [d.parsed() for d in self.parts]


def keep_all(load: Callable[[Any], Any]) -> Callable[[List[Any]], List[Any]]:
    """A call that loads every input of a batch and keeps every result."""
    def keep(inputs: List[Any]) -> List[Any]:
        kept = []
        for data in inputs:
            kept.append(load(data))
        return kept
    return keep


@dataclasses.dataclass
class Workload:
    group: str  # a section of the report: "corpus", "tiny", ...
    document: Document
    direction: str  # "dumps" or "loads"
    style: DumpsStyle = COMPACT
    # Timed with the garbage collector on (see timing.collector_on), not off.
    collector: bool = False

    def __post_init__(self):
        if self.direction not in ("dumps", "loads"):
            raise ValueError(f"unknown direction {self.direction!r}")

    @property
    def variant(self) -> str:
        return self.style.label if self.direction == "dumps" else "-"

    @property
    def key(self) -> str:
        """Stable identifier: group/document/direction/variant."""
        return f"{self.group}/{self.document.name}/{self.direction}/{self.variant}"


_REGISTRY: List[Workload] = []
# Why a group has no workloads (its packages are not installed, ...): group -> reasons.
ABSENT: dict = {}


def register(workload: Workload) -> Workload:
    _REGISTRY.append(workload)
    return workload


def corpus_document(name: str) -> Document:
    return Document.from_file(name, CORPUS / f"{name}.json")


def ten_key_record() -> dict:
    """A ten-member record taken from the first user of twitter.json, so that
    its strings, numbers and booleans are real ones."""
    user = json.loads(corpus_document("twitter").raw)["statuses"][0]["user"]
    keys = ("id", "name", "screen_name", "location", "description", "followers_count",
            "verified", "created_at", "lang", "url")
    return {k: user[k] for k in keys}


def int_keyed_map() -> dict:
    """A thousand small records under 63-bit integer ids, as an index or a
    cache keyed by id holds them: kestro writes it under OPT_NON_STR_KEYS,
    the peers turn integer keys into text themselves."""
    rng = random.Random(7)
    return {rng.getrandbits(63): {"name": f"user{i}", "score": i * 0.25, "active": i % 3 == 0}
            for i in range(1000)}


class Status(enum.Enum):
    ACTIVE = "active"
    SUSPENDED = "suspended"
    CLOSED = "closed"


@dataclasses.dataclass
class Location:
    city: str
    latitude: float
    visits: int


def rich_default(obj):
    """What the peers are given for the types kestro writes natively: the same
    text through the standard library's own forms."""
    if isinstance(obj, (datetime.datetime, datetime.date)):
        return obj.isoformat()
    if isinstance(obj, uuid.UUID):
        return str(obj)
    if isinstance(obj, enum.Enum):
        return obj.value
    if dataclasses.is_dataclass(obj):
        return obj.__dict__
    raise TypeError(f"{type(obj).__name__} is not JSON serializable")


def rich_records(n: int = 5000) -> list:
    """Records of the types users pick kestro for: an aware datetime with a
    UTC offset and microseconds, a date, a UUID, an enum member, a dataclass
    of three fields, three short strings (one not ASCII), a bool and None.
    The same records every time (a fixed seed)."""
    rng = random.Random(7)
    zones = [datetime.timezone(datetime.timedelta(hours=h, minutes=m))
             for h, m in ((1, 0), (-5, 0), (5, 30), (9, 0), (-3, -30))]
    cities = ["Lisbon", "Zürich", "Kraków", "Osaka", "Quito"]
    start = datetime.datetime(2024, 1, 1)
    out = []
    for i in range(n):
        seen = start + datetime.timedelta(seconds=rng.randrange(3 * 10**7),
                                          microseconds=rng.randrange(1, 10**6))
        out.append({
            "id": uuid.UUID(int=rng.getrandbits(128), version=4),
            "seen": seen.replace(tzinfo=zones[i % len(zones)]),
            "born": datetime.date(1950 + i % 60, 1 + i % 12, 1 + i % 28),
            "status": list(Status)[i % 3],
            "location": Location(cities[i % 5], round(rng.uniform(-60, 60), 4), rng.randrange(1000)),
            "tags": ["new", f"tier-{i % 4}", ("café", "naïve", "Łódź", "東京", "größe")[i % 5]],
            "verified": i % 2 == 0,
            "note": None,
        })
    return out


# kestro.OPT_SERIALIZE_NUMPY; the peers are given ndarray.tolist as default,
# so that the conversion counts in their time.
SERIALIZE_NUMPY = 16


def numpy_workloads() -> List[Workload]:
    """Arrays of about a million numbers, made once with a fixed seed."""
    try:
        import numpy
    except ImportError:
        return []
    rng = numpy.random.default_rng(20)
    same = lambda parsed: parsed  # noqa: E731
    as_float32 = lambda parsed: numpy.array(parsed, dtype=numpy.float32).tolist()  # noqa: E731
    made = [
        ("float64 1000000", rng.standard_normal(1_000_000) * 1000, same),
        ("int64 1000x1000", rng.integers(-10 ** 9, 10 ** 9, (1000, 1000), dtype=numpy.int64), same),
        ("float32 100000x3", rng.standard_normal((100_000, 3)).astype(numpy.float32), as_float32),
        ("bool 1000000", rng.random(1_000_000) < 0.5, same),
    ]
    style = DumpsStyle(default=numpy.ndarray.tolist, kestro_option=SERIALIZE_NUMPY)
    return [Workload("numpy", Document.of(name, array, numpy.ndarray.tolist, comparable),
                     "dumps", style)
            for name, array, comparable in made]


KEEP_NAME = "real documents"


def real_documents(quick: bool = False) -> List[Document]:
    """The real documents (bench/realdocs.py), text read on first use; a
    third of them for a quick run."""
    found, missing = realdocs.selection(quick)
    for family, reason in missing:
        ABSENT.setdefault("real", []).append(f"{family}: {reason}")
    docs, seen = [], set()
    for candidate in found:
        raw = candidate.read()
        name = candidate.label(raw)
        if name in seen:  # two schemas of one type: told apart by their paths
            name = f"{name} ({candidate.name.replace('/', '.')})"
        seen.add(name)
        doc = Document(name, lambda raw=raw: raw, lambda raw=raw: json.loads(raw))
        doc.family = candidate.family.distribution
        docs.append(doc)
    return docs


def _register_real(quick: bool) -> None:
    """Each real document read and written (compact), and one loop that
    loads them all and keeps the results, collector on."""
    docs = real_documents(quick)
    for doc in docs:
        register(Workload("real", doc, "loads"))
        register(Workload("real", doc, "dumps"))
    if docs:
        register(Workload("keep", Batch(KEEP_NAME, docs), "loads", collector=True))


def _register_defaults(quick: bool = False):
    if CORPUS.is_dir():
        for name in CORPUS_NAMES:
            doc = corpus_document(name)
            for style in (COMPACT, INDENTED, SORTED):
                register(Workload("corpus", doc, "dumps", style))
            register(Workload("corpus", doc, "loads"))
    small = Document.of("{a:1}", {"a": 1})
    register(Workload("tiny", small, "dumps"))
    register(Workload("tiny", small, "loads"))
    if CORPUS.is_dir():
        record = Document("record10", lambda: json_text(ten_key_record()), ten_key_record)
        register(Workload("tiny", record, "dumps"))
        register(Workload("tiny", record, "loads"))
    keyed = Document.of("int-keyed map", int_keyed_map())
    for style in (COMPACT, SORTED):
        register(Workload("keys", keyed, "dumps", dataclasses.replace(style, kestro_option=4)))
    rich = Document.of("rich records", rich_records(), default=rich_default)
    register(Workload("rich", rich, "dumps", DumpsStyle(default=rich_default)))
    for workload in numpy_workloads():
        register(workload)
    _register_real(quick)


_REGISTERED_FOR: List[bool] = []  # the quick flag the registry was made for


def forget() -> None:
    """Drops the registered workloads: the next call of `workloads` makes
    them again (from the packages installed then)."""
    _REGISTERED_FOR.clear()


def workloads(groups: Optional[List[str]] = None, match: Optional[str] = None,
              quick: bool = False) -> List[Workload]:
    """The registered workloads, optionally only those of some groups and
    those whose key contains `match`; `quick` registers the smaller set of
    real documents."""
    if _REGISTERED_FOR != [quick]:
        _REGISTRY.clear()
        ABSENT.clear()
        _register_defaults(quick)
        _REGISTERED_FOR[:] = [quick]
    return [w for w in _REGISTRY
            if (groups is None or w.group in groups) and (match is None or match in w.key)]
