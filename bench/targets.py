"""The goals kestro is held to, each checked on the median over the runs."""

from __future__ import annotations

import dataclasses
from typing import Callable, Dict, List, Optional

from .results import Run, kestro_vs_floor, kestro_vs_peers, median_of
from .scaling import MB, scratch_bytes


@dataclasses.dataclass
class Target:
    label: str
    limit: float
    measure: Callable[[Run], Optional[float]]  # the figure in one run; None if not measured
    strict: bool = False  # the figure must be below the limit, not merely at it
    unit: str = "x"

    def verdict(self, runs: List[Run]):
        """(status, median figure) where status is PASS, FAIL or n/a."""
        value = median_of([self.measure(run) for run in runs])
        if value is None:
            return "n/a", None
        held = value < self.limit if self.strict else value <= self.limit
        return ("PASS" if held else "FAIL"), value


def _scaling_ratio(direction: str, big: int, small: int):
    def measure(run: Run) -> Optional[float]:
        a, b = run.scaling.get(big), run.scaling.get(small)
        if a is None or b is None:
            return None
        x, y = a.per_byte("kestro", direction), b.per_byte("kestro", direction)
        return x / y if x is not None and y else None
    return measure


def _loads_memory_excess(size: int):
    """What kestro.loads held at its peak beyond the objects it returned, over
    its scratch buffer plus 1 MiB of slack: at most 1.0 means the peak is the
    scratch buffer plus the objects, nothing more."""
    def measure(run: Run) -> Optional[float]:
        point = run.scaling.get(size)
        mem = point.memory.get("kestro", {}).get("loads") if point else None
        if not isinstance(mem, dict) or not point.length:
            return None
        scratch = scratch_bytes(point.length)
        transient = mem["traced_peak"] - mem["traced_retained"]
        return transient / (scratch + MB)
    return measure


def targets(roles: Dict[str, str]) -> List[Target]:
    out = []
    floor = {"dumps": {"twitter": 1.1, "citm_catalog": 0.8, "canada": 1.9},
             "loads": {"twitter": 1.4, "citm_catalog": 2.0, "canada": 1.75}}
    for direction, limits in floor.items():
        for doc, limit in limits.items():
            key = f"corpus/{doc}/{direction}/{'compact' if direction == 'dumps' else '-'}"
            out.append(Target(f"{direction} {doc}: kestro / marshal.{direction}", limit,
                              lambda run, key=key: kestro_vs_floor(run, key)))
    for doc in ("twitter", "citm_catalog", "canada"):
        for direction, limit, strict in (("dumps", 0.25, False), ("loads", 1.0, True)):
            key = f"corpus/{doc}/{direction}/{'compact' if direction == 'dumps' else '-'}"
            what = "at least 4x faster than" if direction == "dumps" else "faster than"
            out.append(Target(f"{direction} {doc}: {what} every peer (kestro / fastest peer)",
                              limit, lambda run, key=key: kestro_vs_peers(run, key, roles),
                              strict=strict))
    for doc in ("{a:1}", "record10"):
        for direction in ("dumps", "loads"):
            key = f"tiny/{doc}/{direction}/{'compact' if direction == 'dumps' else '-'}"
            out.append(Target(f"tiny {doc} {direction}: faster than every peer", 1.0,
                              lambda run, key=key: kestro_vs_peers(run, key, roles), strict=True))
    out.append(Target("rich records dumps: 10% ahead of every peer (kestro / fastest peer)", 0.9,
                      lambda run: kestro_vs_peers(run, "rich/rich records/dumps/compact", roles)))
    for direction in ("dumps", "loads"):
        out.append(Target(f"scaling {direction}: time per byte at 256 MB / at 1 MB", 1.5,
                          _scaling_ratio(direction, 256 * MB, MB)))
    for size in (64 * MB, 256 * MB):
        out.append(Target(f"loads {size // MB} MB: peak beyond the objects / (scratch buffer + 1 MiB)",
                          1.0, _loads_memory_excess(size)))
    return out
