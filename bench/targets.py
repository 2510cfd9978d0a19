"""The goals kestro is held to, each checked on the median over the runs."""

from __future__ import annotations

import dataclasses
from typing import Callable, Dict, List, Optional, Tuple

from .results import (Run, kestro_vs_floor, kestro_vs_peers, median_of, ratio, real_keys,
                      total_vs_peers)
from .scaling import MB, scratch_bytes
from .workloads import KEEP_NAME


@dataclasses.dataclass
class Target:
    label: str
    limit: float
    # The figure in one run (None if not measured); the target is judged on
    # its median over the runs.
    measure: Optional[Callable[[Run], Optional[float]]] = None
    strict: bool = False  # the figure must be below the limit, not merely at it
    unit: str = "x"
    at_least: bool = False  # the figure must reach the limit (a speed-up), not stay under it
    # Instead of `measure`: the figure taken over all the runs at once (the
    # worst of many medians, for instance), and a remark to print beside it.
    across: Optional[Callable[[List[Run]], Tuple[Optional[float], str]]] = None
    # A remark printed beside the figure, not judged (a reference figure).
    beside: Optional[Callable[[List[Run]], str]] = None

    @property
    def relation(self) -> str:
        return ">=" if self.at_least else "<" if self.strict else "<="

    def figure(self, runs: List[Run]) -> Optional[float]:
        if self.across is not None:
            return self.across(runs)[0]
        return median_of([self.measure(run) for run in runs])

    def remark(self, runs: List[Run]) -> str:
        parts = [self.across(runs)[1] if self.across is not None else "",
                 self.beside(runs) if self.beside is not None else ""]
        return "; ".join(p for p in parts if p)

    def verdict(self, runs: List[Run]):
        """(status, figure) where status is PASS, FAIL or n/a."""
        value = self.figure(runs)
        if value is None:
            return "n/a", None
        if self.at_least:
            held = value >= self.limit
        else:
            held = value < self.limit if self.strict else value <= self.limit
        return ("PASS" if held else "FAIL"), value


def _growth(run: Run, lib: str, direction: str, big: int, small: int,
            series: str = "scaling") -> Optional[float]:
    """How much lib's time per byte grows from the small size to the big one."""
    points = getattr(run, series)
    a, b = points.get(big), points.get(small)
    if a is None or b is None:
        return None
    x, y = a.per_byte(lib, direction), b.per_byte(lib, direction)
    return x / y if x is not None and y else None


def _growth_vs_floor(direction: str, big: int, small: int):
    """kestro's growth over marshal's in the same run: what the machine's
    memory costs both alike cancels out."""
    def measure(run: Run) -> Optional[float]:
        return ratio(_growth(run, "kestro", direction, big, small),
                     _growth(run, "marshal", direction, big, small))
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


def _every_real_document(direction: str, roles: Dict[str, str], limit: float):
    """The worst of the real documents' ratios to the fastest peer, each the
    median over the runs; the remark names it and counts those over `limit`."""
    def across(runs: List[Run]):
        keys = list(dict.fromkeys(k for run in runs for k in real_keys(run.cells, direction)))
        figures = {k: median_of([kestro_vs_peers(run, k, roles) for run in runs]) for k in keys}
        known = {k: v for k, v in figures.items() if v is not None}
        if not known:
            return None, ""
        worst = max(known, key=known.get)
        remark = (f"worst {worst.split('/')[1]}; {sum(v > limit for v in known.values())} "
                  f"of {len(known)} over")
        if len(known) < len(keys):
            remark += f"; {len(keys) - len(known)} without a figure"
        return known[worst], remark
    return across


def _real_total(direction: str, roles: Dict[str, str]):
    """kestro's time over all the real documents / the fastest peer's (among
    the peers that ran every one)."""
    return lambda run: total_vs_peers(run, real_keys(run.cells, direction), roles)


# The peers of the first round of targets, which keep their bounds against
# those libraries; the newer targets count every peer.
FIRST_PEERS = ("json", "ujson", "rapidjson", "simplejson")


def _vs(key: str, lib: str):
    """kestro's time over lib's on one workload."""
    return lambda run: ratio(run.seconds(key, "kestro"), run.seconds(key, lib))


def _speedup_over(key: str, lib: str):
    """How many times faster kestro is than lib on one workload."""
    return lambda run: ratio(run.seconds(key, lib), run.seconds(key, "kestro"))


def targets(roles: Dict[str, str]) -> List[Target]:
    out = []
    every = "every peer (kestro / fastest peer)"
    # Against the floor: marshal walks the same objects, or builds them, with no text.
    floor = {"dumps": {"twitter": 1.1, "citm_catalog": 0.8, "canada": 1.9},
             "loads": {"twitter": 1.4, "citm_catalog": 2.0, "canada": 1.75}}
    for direction, limits in floor.items():
        for doc, limit in limits.items():
            key = f"corpus/{doc}/{direction}/{'compact' if direction == 'dumps' else '-'}"
            out.append(Target(f"{direction} {doc}: kestro / marshal.{direction}", limit,
                              lambda run, key=key: kestro_vs_floor(run, key)))
    first = {name: role for name, role in roles.items() if name not in ("msgspec", "jiter")}
    for doc in ("twitter", "citm_catalog", "canada"):
        key = f"corpus/{doc}/dumps/compact"
        out.append(Target(f"dumps {doc}: at least 4x faster than {', '.join(FIRST_PEERS)}", 0.25,
                          lambda run, key=key: kestro_vs_peers(run, key, first)))
    # 10% ahead of the fastest peer, msgspec and jiter included, in every style
    # a peer writes (a peer that cannot write a style is not counted for it).
    for doc in ("twitter", "citm_catalog", "canada"):
        for direction, style in (("dumps", "compact"), ("dumps", "indent"), ("dumps", "sort_keys"),
                                 ("loads", "-")):
            key = f"corpus/{doc}/{direction}/{style}"
            what = f"{direction} {doc}" + (f" {style}" if direction == "dumps" else "")
            out.append(Target(f"{what}: 10% ahead of {every}", 0.9,
                              lambda run, key=key: kestro_vs_peers(run, key, roles)))
    # {"a":1} may stay within 5% of the fastest peer: the reader's fixed cost
    # is the floor of so small a call.
    for doc, what, limit in (("{a:1}", f"within 5% of {every}", 1.05),
                             ("record10", f"10% ahead of {every}", 0.9)):
        for direction in ("dumps", "loads"):
            key = f"tiny/{doc}/{direction}/{'compact' if direction == 'dumps' else '-'}"
            out.append(Target(f"tiny {doc} {direction}: {what}", limit,
                              lambda run, key=key: kestro_vs_peers(run, key, roles)))
    rich = "rich/rich records/dumps/compact"
    out.append(Target("rich records dumps: 10% ahead of msgspec (kestro / msgspec)", 0.9,
                      _vs(rich, "msgspec")))
    out.append(Target("rich records dumps: faster than json with its default (json / kestro)", 16,
                      _speedup_over(rich, "json"), at_least=True))
    for name in NUMPY_ARRAYS:
        key = f"numpy/{name}/dumps/compact"
        out.append(Target(f"numpy {name}: twice as fast as {every}", 0.5,
                          lambda run, key=key: kestro_vs_peers(run, key, roles)))
    for name, times in (("float64 1000000", 15), ("int64 1000x1000", 10)):
        out.append(Target(f"numpy {name}: faster than json.dumps(arr.tolist()) (json / kestro)",
                          times, _speedup_over(f"numpy/{name}/dumps/compact", "json"),
                          at_least=True))
    for direction in ("dumps", "loads"):
        out.append(Target(f"scaling {direction}: growth of time per byte from 1 MB to 256 MB, "
                          "kestro / marshal", 1.1, _growth_vs_floor(direction, 256 * MB, MB)))
    for size in (64 * MB, 256 * MB):
        out.append(Target(f"loads {size // MB} MB: peak beyond the objects / (scratch buffer + 1 MiB)",
                          1.0, _loads_memory_excess(size)))
    # Real documents (JSON that packages ship), each and in total, and a
    # program that keeps all it loads with the collector on.
    for direction, each in (("loads", 0.9), ("dumps", 0.85)):
        out.append(Target(f"real documents {direction}: every document, {every}", each,
                          across=_every_real_document(direction, roles, each)))
    out.append(Target(f"real documents loads: the total, {every}", 0.8,
                      _real_total("loads", roles)))
    keep = f"keep/{KEEP_NAME}/loads/-"
    out.append(Target(f"real documents loaded and kept in one loop, collector on: {every}", 0.8,
                      lambda run: kestro_vs_peers(run, keep, roles)))
    out.append(Target("real scaling loads: growth of kestro's time per byte from 1 MB to 64 MB",
                      1.25, lambda run: _growth(run, "kestro", "loads", 64 * MB, MB,
                                                "model_scaling"),
                      beside=_growth_beside("marshal", "loads", 64 * MB, MB, "model_scaling")))
    return out


def _growth_beside(lib: str, direction: str, big: int, small: int, series: str):
    """lib's growth over the same sizes, to print beside kestro's."""
    def remark(runs: List[Run]) -> str:
        value = median_of([_growth(run, lib, direction, big, small, series) for run in runs])
        return f"{lib} {value:.3f}x" if value is not None else ""
    return remark


# The arrays of the numpy workloads, as their documents are named.
NUMPY_ARRAYS = ("float64 1000000", "int64 1000x1000", "float32 100000x3", "bool 1000000")
