"""Timing: best of many repetitions, garbage collector off, libraries interleaved.

One repetition calls a function n times in a tight loop, n chosen once so that
a repetition lasts at least `min_seconds`.  Each result is released before the
next call, as most callers do: the allocator reuses warm memory, and freeing
the objects, the same work for every library that builds them, is part of the
time.  (Keeping every result of a repetition alive instead makes the time that
of first touches of fresh memory, which on a virtual machine costs several
times the work itself and varies from run to run.)  The libraries of one
workload take turns repetition by repetition, so that drift of a shared
machine falls on all of them alike.

A workload about the collector's cost (a loop that keeps what it loads) runs
with the collector on instead; see `collector_on`.
"""

from __future__ import annotations

import contextlib
import gc
import itertools
import time
from typing import Any, Callable, Dict, List, Optional

Call = Callable[[Any], Any]


@contextlib.contextmanager
def collector_off():
    was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


@contextlib.contextmanager
def collector_on():
    """The collector enabled, as a program that keeps what it loads has it.
    What exists before (the suite itself, the reference documents of every
    workload) is frozen first (gc.freeze), so that collections traverse only
    what the measured calls make, whatever else the suite holds.  The
    collector's state (on or off, thresholds, nothing frozen) is restored
    after."""
    was_enabled = gc.isenabled()
    threshold = gc.get_threshold()
    frozen = gc.get_freeze_count() == 0  # never thaw what others froze
    gc.collect()
    if frozen:
        gc.freeze()
    gc.enable()
    try:
        yield
    finally:
        if frozen:
            gc.unfreeze()
        gc.set_threshold(*threshold)
        if not was_enabled:
            gc.disable()


def run_once(fn: Call, arg: Any, n: int) -> float:
    """Seconds for n calls of fn(arg)."""
    loop = itertools.repeat(arg, n)
    clock = time.perf_counter
    start = clock()
    for a in loop:
        fn(a)
    return clock() - start


def calibrate(fn: Call, arg: Any, min_seconds: float, max_calls: int = 1 << 24) -> int:
    """The number of calls that makes one repetition last min_seconds."""
    n = 1
    while True:
        t = run_once(fn, arg, n)
        if t >= min_seconds or n >= max_calls:
            return n
        # aim 20% past the mark so that one more round is rarely needed
        n = min(max_calls, max(n * 2, int(n * 1.2 * min_seconds / max(t, 1e-9))))


def best_times(cells: Dict[str, tuple], reps: int, min_seconds: float,
               calls: Optional[Dict[str, int]] = None,
               collector: bool = False) -> Dict[str, float]:
    """Best seconds per call of each cell {name: (fn, arg)}, over `reps`
    interleaved repetitions.  `calls` fixes the calls per repetition of some
    cells (for instance 1 for documents of hundreds of megabytes).  With
    `collector`, the calls run with the garbage collector on, each repetition
    starting from a full collection (not timed)."""
    counts = dict(calls or {})
    best: Dict[str, float] = {}
    with collector_on() if collector else collector_off():
        for name, (fn, arg) in cells.items():
            if name not in counts:
                counts[name] = calibrate(fn, arg, min_seconds)
        for _ in range(reps):
            for name, (fn, arg) in cells.items():
                n = counts[name]
                if collector:
                    gc.collect()
                per_call = run_once(fn, arg, n) / n
                if name not in best or per_call < best[name]:
                    best[name] = per_call
    return best


def median(values: List[float]) -> float:
    ordered = sorted(values)
    mid = len(ordered) // 2
    return ordered[mid] if len(ordered) % 2 else (ordered[mid - 1] + ordered[mid]) / 2
