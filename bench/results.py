"""What one run of the suite found, and the figures derived from it."""

from __future__ import annotations

import dataclasses
from typing import Any, Dict, List, Optional

from . import libraries
from .timing import median


@dataclasses.dataclass
class Cell:
    """One library on one workload: best seconds per call, or why there is none."""

    seconds: Optional[float] = None
    reason: str = ""  # why seconds is missing
    warning: str = ""  # the library ran but its result differs from the reference

    @property
    def ok(self) -> bool:
        return self.seconds is not None


@dataclasses.dataclass
class ScalingPoint:
    size: int  # nominal size
    length: int = 0  # bytes of JSON text actually generated
    reps: int = 0
    time: Dict[str, Dict[str, Cell]] = dataclasses.field(default_factory=dict)  # lib -> direction
    memory: Dict[str, Dict[str, Any]] = dataclasses.field(default_factory=dict)  # lib -> direction
    note: str = ""
    info: Dict[str, Any] = dataclasses.field(default_factory=dict)  # what the document is made of

    def per_byte(self, lib: str, direction: str) -> Optional[float]:
        cell = self.time.get(lib, {}).get(direction)
        if cell is None or not cell.ok or not self.length:
            return None
        return cell.seconds / self.length


@dataclasses.dataclass
class Run:
    cells: Dict[str, Dict[str, Cell]] = dataclasses.field(default_factory=dict)  # key -> lib
    scaling: Dict[int, ScalingPoint] = dataclasses.field(default_factory=dict)
    # The real scaling series: one real document repeated (scaling.py, shape "model").
    model_scaling: Dict[int, ScalingPoint] = dataclasses.field(default_factory=dict)

    def seconds(self, key: str, lib: str) -> Optional[float]:
        cell = self.cells.get(key, {}).get(lib)
        return cell.seconds if cell is not None else None


def peer_names(row: Dict[str, Cell], roles: Dict[str, str]) -> List[str]:
    return [name for name in row if roles.get(name) == libraries.PEER]


def fastest_peer(row: Dict[str, Cell], roles: Dict[str, str]):
    """(name, seconds) of the fastest peer that ran, or (None, None)."""
    timed = [(row[n].seconds, n) for n in peer_names(row, roles) if row[n].ok]
    if not timed:
        return None, None
    seconds, name = min(timed)
    return name, seconds


def ratio(a: Optional[float], b: Optional[float]) -> Optional[float]:
    return a / b if a is not None and b else None


def kestro_vs_floor(run: Run, key: str) -> Optional[float]:
    return ratio(run.seconds(key, "kestro"), run.seconds(key, "marshal"))


def kestro_vs_peers(run: Run, key: str, roles: Dict[str, str]) -> Optional[float]:
    row = run.cells.get(key, {})
    return ratio(run.seconds(key, "kestro"), fastest_peer(row, roles)[1])


def median_of(values: List[Optional[float]]) -> Optional[float]:
    present = [v for v in values if v is not None]
    return median(present) if present else None


def real_keys(keys, direction: str) -> List[str]:
    """The keys of the real-document workloads of one direction, in order."""
    return [k for k in keys if k.startswith("real/") and k.rsplit("/", 2)[1] == direction]


def total_seconds(run: Run, keys: List[str], lib: str) -> Optional[float]:
    """lib's time over all of `keys`, if it ran every one."""
    times = [run.seconds(k, lib) for k in keys]
    return sum(times) if times and all(t is not None for t in times) else None


def fastest_total_peer(run: Run, keys: List[str], roles: Dict[str, str]):
    """(name, seconds) of the peer fastest over all of `keys` (among those that
    ran every one), or (None, None)."""
    names = {n for k in keys for n in run.cells.get(k, {}) if roles.get(n) == libraries.PEER}
    timed = [(t, n) for n in names for t in [total_seconds(run, keys, n)] if t is not None]
    if not timed:
        return None, None
    seconds, name = min(timed)
    return name, seconds


def total_vs_peers(run: Run, keys: List[str], roles: Dict[str, str]) -> Optional[float]:
    return ratio(total_seconds(run, keys, "kestro"), fastest_total_peer(run, keys, roles)[1])
