"""Throughput with threads: the work two threads do in a fixed time, against
one thread, loading and dumping the corpus documents, for kestro and msgspec
on the same interpreter.

    PYTHON_GIL=0 PYTHONPATH=<build for it> python3.13t -m bench.threads [--seconds 1] [--reps 5]

On a free-threaded interpreter with the GIL off, threads run at once and the
ratio (calls by two threads / calls by one, in the same time) approaches 2 on
a machine with two idle cores; with a GIL they take turns and it stays near
1.  Each thread works on its own copy of the document, made in that thread.
Runs of one and two threads alternate; a cell is the median over `reps`
such pairs.
"""

from __future__ import annotations

import argparse
import json
import platform
import sys
import sysconfig
import threading
import time
from typing import Dict, List, Optional

from . import libraries
from .timing import collector_off, median
from .workloads import COMPACT, CORPUS_NAMES, corpus_document

LIBS = ("kestro", "msgspec")


def interpreter() -> str:
    text = f"CPython {platform.python_version()}"
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        return text + (" free-threaded, GIL " + ("on" if sys._is_gil_enabled() else "off"))
    return text + " (with a GIL)"


def calls_in(threads: int, make_call, seconds: float) -> int:
    """Calls completed by `threads` threads together in `seconds`."""
    counts = [0] * threads
    deadline: List[float] = []
    # The clock starts once every thread has made its copy of the document.
    ready = threading.Barrier(threads, action=lambda: deadline.append(time.perf_counter() + seconds))

    def worker(i):
        call = make_call()  # the thread's own copy of the document
        ready.wait()
        end, n = deadline[0], 0
        clock = time.perf_counter
        while clock() < end:
            call()
            n += 1
        counts[i] = n

    pool = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return sum(counts)


def cell_maker(lib, direction: str, raw: bytes):
    """A function that, in the calling thread, makes the document and returns
    the call to time."""
    def make():
        if direction == "loads":
            fn, arg = lib.loads(), lib.loads_input(raw, None)
        else:
            fn, arg = lib.dumps(COMPACT), json.loads(raw)
        return lambda: fn(arg)
    return make


def check(make, direction: str, expected) -> None:
    result = make()()
    if (result if direction == "loads" else json.loads(result)) != expected:
        raise AssertionError("result differs from the reference")


def measure(names=CORPUS_NAMES, libs=LIBS, seconds: float = 1.0, reps: int = 5) -> Dict:
    """{(document, direction): {library: (one thread calls/s, two threads calls/s, ratio) or reason}}."""
    found, missing = libraries.available(list(libs))
    rows: Dict = {}
    with collector_off():
        for name in names:
            raw = corpus_document(name).raw
            expected = json.loads(raw)
            for direction in ("loads", "dumps"):
                row = rows.setdefault((name, direction), {})
                for lib_name, reason in missing:
                    row[lib_name] = reason
                for lib in found:
                    make = cell_maker(lib, direction, raw)
                    try:
                        check(make, direction, expected)
                    except Exception as exc:  # cannot do it: the reason instead
                        row[lib.name] = libraries.describe_failure(exc)
                        continue
                    one, two = [], []
                    for _ in range(reps):
                        one.append(calls_in(1, make, seconds) / seconds)
                        two.append(calls_in(2, make, seconds) / seconds)
                    row[lib.name] = (median(one), median(two), median([b / a for a, b in zip(one, two)]))
    return rows


def render(rows: Dict, seconds: float, reps: int) -> str:
    out = [f"== threads: calls per second, one thread and two ({interpreter()}, "
           f"{seconds:g} s a run, median of {reps})", ""]
    header = f"{'document':<14}{'direction':<11}{'library':<10}{'1 thread':>10}{'2 threads':>11}{'ratio':>7}"
    out += [header, "-" * len(header)]
    notes = []
    for (name, direction), row in rows.items():
        for lib_name, value in row.items():
            if isinstance(value, tuple):
                one, two, ratio = value
                out.append(f"{name:<14}{direction:<11}{lib_name:<10}{one:>10.1f}{two:>11.1f}{ratio:>7.2f}")
            else:
                notes.append(f"{name} {direction} {lib_name}: {value}")
                out.append(f"{name:<14}{direction:<11}{lib_name:<10}{'n/a':>10}{'n/a':>11}{'':>7}")
    ratios: Dict[str, List[float]] = {}
    for row in rows.values():
        for lib_name, value in row.items():
            if isinstance(value, tuple):
                ratios.setdefault(lib_name, []).append(value[2])
    out.append("")
    out += [f"ratio, median over the workloads: {lib_name} {median(r):.2f}" for lib_name, r in ratios.items()]
    if notes:
        out += ["", "not measured:"] + [f"  {n}" for n in sorted(set(notes))]
    return "\n".join(out)


def main(argv: Optional[List[str]] = None) -> int:
    p = argparse.ArgumentParser(prog="python -m bench.threads", description=__doc__.split("\n")[0])
    p.add_argument("--seconds", type=float, default=1.0, help="length of one run (default 1)")
    p.add_argument("--reps", type=int, default=5, help="pairs of runs per cell (default 5)")
    p.add_argument("--docs", default=",".join(CORPUS_NAMES), help="corpus documents")
    p.add_argument("--libs", default=",".join(LIBS), help="libraries (default kestro,msgspec)")
    args = p.parse_args(argv)
    rows = measure(args.docs.split(","), args.libs.split(","), args.seconds, args.reps)
    print(render(rows, args.seconds, args.reps))
    return 0


if __name__ == "__main__":
    sys.exit(main())
