"""Real documents: the JSON data that packages on PyPI ship, as users load it.

The documents come from the packages pinned in requirements/bench.txt, found
through their installed file lists (importlib.metadata; none is imported), so
that the data stays out of the tree and is the same wherever the pins are:

- botocore: AWS service models (data/<service>/<date>/service-2.json.gz,
  gunzipped in memory; the newest date of each service, as a client loads
  it), 5 KB to 4.5 MB of pretty-printed text with long documentation strings;
- cfn-lint: CloudFormation resource schemas, their extensions (enumerations
  of instance types that repeat a few hundred values thousands of times) and
  the extra rule tables it ships, 1 KB to 3.7 MB, pretty-printed;
- pycountry: the ISO code tables (countries, subdivisions, languages,
  currencies, scripts), 6 KB to 880 KB.

Each family gives a fixed number of documents picked across its size range
(see `pick`), so the selection is fixed by the pins alone.  A quick run takes
about a third of them (see `quick_subset`).
"""

from __future__ import annotations

import dataclasses
import gzip
import importlib.metadata
import math
import re
import struct
from typing import Callable, Dict, List, Optional, Sequence, Tuple

KB, MB = 1 << 10, 1 << 20
# Documents outside this range are not candidates.
SMALLEST, LARGEST = KB, 5 * MB


@dataclasses.dataclass(frozen=True)
class Family:
    """The documents of one package: the files whose path in the distribution
    matches `pattern` (its group `name` names the document; where a group
    `version` is present, only the greatest version of each name counts)."""

    distribution: str
    pattern: str
    count: int  # documents picked across the size range
    # Turns the name (the pattern's group) and the raw text into the name shown.
    title: Callable[[str, bytes], str] = lambda name, raw: name

    def candidates(self) -> List["Candidate"]:
        """Every document of the family within the size bounds, sorted by
        size and then path.  Raises PackageNotFoundError without the package."""
        dist = importlib.metadata.distribution(self.distribution)
        rx = re.compile(self.pattern)
        newest: Dict[str, Tuple[str, object]] = {}
        for path in dist.files or ():
            m = rx.fullmatch(path.as_posix())
            if m is None:
                continue
            version = m.groupdict().get("version") or ""
            name = m.group("name")
            if name not in newest or version > newest[name][0]:
                newest[name] = (version, path)
        out = []
        for name, (_, path) in newest.items():
            located = str(path.locate())
            size = text_size(located)
            if SMALLEST <= size <= LARGEST:
                out.append(Candidate(self, name, path.as_posix(), located, size))
        out.sort(key=lambda c: (c.size, c.path))
        return out


@dataclasses.dataclass(frozen=True)
class Candidate:
    family: Family
    name: str
    path: str  # in the distribution
    file: str  # on disk
    size: int  # bytes of JSON text (gunzipped)

    def read(self) -> bytes:
        with open(self.file, "rb") as f:
            data = f.read()
        return gzip.decompress(data) if self.file.endswith(".gz") else data

    def label(self, raw: bytes) -> str:
        return f"{self.family.distribution} {self.family.title(self.name, raw)}"


def text_size(file: str) -> int:
    """Bytes of JSON text in a file; for a gzip file, its uncompressed size
    as the trailer records it (modulo 4 GiB, far beyond these documents)."""
    with open(file, "rb") as f:
        if not file.endswith(".gz"):
            return f.seek(0, 2)
        f.seek(-4, 2)
        return struct.unpack("<I", f.read(4))[0]


_TYPE_NAME = re.compile(rb'"typeName"\s*:\s*"([^"]+)"')


def _schema_title(name: str, raw: bytes) -> str:
    """A resource schema (stored under a content hash) is shown by the type it
    describes, e.g. AWS::EC2::Instance; the others by their path."""
    if name.startswith("resources/"):
        m = _TYPE_NAME.search(raw)
        if m:
            return m.group(1).decode()
    return name.replace("/", ".")


FAMILIES = (
    Family("botocore", r"botocore/data/(?P<name>[^/]+)/(?P<version>[^/]+)/service-2\.json\.gz", 18),
    Family("cfn-lint", r"cfnlint/data/(?:schemas/)?(?P<name>.+)\.json", 18, _schema_title),
    Family("pycountry", r"pycountry/databases/(?P<name>[^/]+)\.json", 7),
)


def pick(candidates: Sequence[Candidate], count: int) -> List[Candidate]:
    """`count` candidates spread evenly over the logarithm of their sizes:
    for each of `count` sizes from the smallest to the largest candidate in
    equal ratios, the unpicked candidate nearest to it (by size ratio; ties
    to the smaller, then to the first path).  All of them if there are no
    more than `count`.  The result is sorted by size, then path."""
    ordered = sorted(candidates, key=lambda c: (c.size, c.path))
    if len(ordered) <= count:
        return ordered
    low, high = math.log(ordered[0].size), math.log(ordered[-1].size)
    chosen: List[Candidate] = []
    for i in range(count):
        goal = low + (high - low) * i / (count - 1)
        free = [c for c in ordered if c not in chosen]
        chosen.append(min(free, key=lambda c: (abs(math.log(c.size) - goal), c.size, c.path)))
    return sorted(chosen, key=lambda c: (c.size, c.path))


def quick_subset(picked: Sequence[Candidate]) -> List[Candidate]:
    """A third of one family's picks, across its range: every third from the
    smallest, and the largest."""
    return [c for i, c in enumerate(picked) if i % 3 == 0 or i == len(picked) - 1]


def selection(quick: bool = False, families: Sequence[Family] = FAMILIES
              ) -> Tuple[List[Candidate], List[Tuple[str, str]]]:
    """The documents of every family whose package is installed, family by
    family, each family's sorted by size; and (family, reason) for the others."""
    found: List[Candidate] = []
    missing: List[Tuple[str, str]] = []
    for family in families:
        try:
            candidates = family.candidates()
        except importlib.metadata.PackageNotFoundError:
            missing.append((family.distribution, "not installed (requirements/bench.txt)"))
            continue
        picked = pick(candidates, family.count)
        if not picked:
            missing.append((family.distribution, "no document within the size bounds"))
        found += quick_subset(picked) if quick else picked
    return found, missing


def scaling_source(family: Family = FAMILIES[0], limit: int = MB) -> Optional[Candidate]:
    """The document the real scaling series is made of: the largest of the
    family (botocore's service models) of at most `limit` bytes, or None."""
    try:
        fitting = [c for c in family.candidates() if c.size <= limit]
    except importlib.metadata.PackageNotFoundError:
        return None
    return fitting[-1] if fitting else None


@dataclasses.dataclass
class StringStats:
    """The string values of a document (dict keys not counted), and how many
    distinct texts there are among the short ones: where a cache of values
    would find repeats.  Lengths are in UTF-8 bytes."""

    total: int = 0
    short: int = 0  # up to 16 bytes
    short_distinct: int = 0
    medium: int = 0  # up to 64 bytes
    medium_distinct: int = 0

    def __add__(self, other: "StringStats") -> "StringStats":
        return StringStats(*(a + b for a, b in zip(dataclasses.astuple(self),
                                                  dataclasses.astuple(other))))


SHORT, MEDIUM = 16, 64


def string_stats(obj) -> StringStats:
    stats = StringStats()
    short, medium = set(), set()
    stack = [obj]
    while stack:
        value = stack.pop()
        if isinstance(value, str):
            stats.total += 1
            size = len(value.encode("utf-8", "surrogatepass"))
            if size <= MEDIUM:
                stats.medium += 1
                medium.add(value)
                if size <= SHORT:
                    stats.short += 1
                    short.add(value)
        elif isinstance(value, dict):
            stack.extend(value.values())
        elif isinstance(value, list):
            stack.extend(value)
    stats.short_distinct, stats.medium_distinct = len(short), len(medium)
    return stats
