"""The benchmark suite: every workload, every library, in one process.

    PYTHONPATH=build/bench /usr/bin/python3 -m bench [--quick] [--runs 3]
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys
import tempfile
import time
from typing import Callable, Dict, List, Optional

from . import libraries, report, scaling, targets, timing
from .libraries import FLOOR, Library
from .results import Cell, Run, ScalingPoint
from .workloads import ABSENT, REPO, Batch, Workload, keep_all, workloads

MIN_REPS = 15
Log = Callable[[str], None]


def _quiet(_: str) -> None:
    pass


def prepare(workload: Workload, lib: Library):
    """The callable and argument that make one cell."""
    doc = workload.document
    if workload.direction == "dumps":
        return lib.dumps(workload.style), doc.obj
    if isinstance(doc, Batch):
        return keep_all(lib.loads()), [lib.loads_input(d.raw, d.obj) for d in doc.parts]
    return lib.loads(), lib.loads_input(doc.raw, doc.obj)


def mismatch(workload: Workload, lib: Library, result, expected) -> str:
    """Why result is not what the library should have produced, or ""."""
    if lib.role == FLOOR:
        return ""
    try:
        got = json.loads(result) if workload.direction == "dumps" else result
    except ValueError as exc:
        return f"output is not JSON: {exc}"
    got = workload.document.comparable(got)
    return "" if got == expected else "result differs from the reference"


def measure_workload(workload: Workload, libs: List[Library], reps: int,
                     min_seconds: float) -> Dict[str, Cell]:
    row: Dict[str, Cell] = {}
    cells = {}
    expected = workload.document.parsed()
    for lib in libs:
        try:
            fn, arg = prepare(workload, lib)
            result = fn(arg)
        except Exception as exc:  # the library cannot do it (yet): n/a, with the reason
            row[lib.name] = Cell(reason=libraries.describe_failure(exc))
            continue
        row[lib.name] = Cell(warning=mismatch(workload, lib, result, expected))
        cells[lib.name] = (fn, arg)
    for name, seconds in timing.best_times(cells, reps, min_seconds,
                                           collector=workload.collector).items():
        row[name].seconds = seconds
    return row


def measure_workloads(chosen: List[Workload], libs: List[Library], reps: int,
                      min_seconds: float, log: Log = _quiet) -> Dict[str, Dict[str, Cell]]:
    out = {}
    for workload in chosen:
        log(f"  {workload.key}")
        out[workload.key] = measure_workload(workload, libs, reps, min_seconds)
    return out


def scaling_reps(size: int, reps: int, big: int = 3) -> int:
    """Repetitions at one size: the full count up to a few megabytes, `big`
    for the big documents, where one call of a peer takes seconds."""
    return reps if size <= 8 * scaling.MB else big


# The real scaling series: loads only, kestro beside marshal.
MODEL_LIBS = ("kestro", "marshal")
MODEL_REPS_BIG = 5


# Libraries whose every allocation goes through the interpreter's allocators,
# so that tracemalloc sees all they take.
TRACED = ("kestro", "marshal")


def measure_scaling(sizes: List[int], libs: List[Library], reps: int, min_seconds: float,
                    peers_max: int, directory: pathlib.Path, memory: bool,
                    log: Log = _quiet, memory_from: int = scaling.MB, shape: str = "records",
                    directions=("dumps", "loads"), reps_big: int = 3) -> Dict[int, ScalingPoint]:
    """Times every size in a child interpreter; with `memory`, measures the
    peak memory of each library and direction from `memory_from` bytes up."""
    points = {}
    directory.mkdir(parents=True, exist_ok=True)
    what = "document" if shape == "records" else "real document"
    for size in sizes:
        point = ScalingPoint(size, reps=scaling_reps(size, reps, reps_big))
        text_path, _ = scaling.paths(directory, size, shape)
        try:
            if not text_path.exists():
                log(f"  generating the {scaling.size_label(size)} {what}")
                scaling.child("generate", str(size), str(directory), "--shape", shape)
            point.info = json.loads(scaling.info_path(directory, size, shape).read_text())
        except (RuntimeError, ValueError, OSError) as exc:
            point.note = str(exc)
            points[size] = point
            continue
        chosen = [lib for lib in libs if lib.role != libraries.PEER or size <= peers_max]
        if len(chosen) < len(libs):
            point.note = f"peers skipped above {scaling.size_label(peers_max)}"
        log(f"  timing {scaling.size_label(size)} {what} ({point.reps} repetitions)")
        try:
            answer = scaling.child("time", str(directory), str(size),
                                   "--libs", ",".join(lib.name for lib in chosen),
                                   "--reps", str(point.reps), "--min-seconds", str(min_seconds),
                                   "--shape", shape, "--directions", ",".join(directions))
        except (RuntimeError, ValueError) as exc:
            point.note = str(exc)
            points[size] = point
            continue
        point.length = answer["bytes"]
        for name, by_direction in answer["results"].items():
            point.time[name] = {d: Cell(seconds=v) if isinstance(v, float) else Cell(reason=str(v))
                                for d, v in by_direction.items()}
        if memory and size >= memory_from:
            for lib in chosen:
                for direction in directions:
                    if not point.time.get(lib.name, {}).get(direction, Cell()).ok:
                        continue
                    log(f"  peak memory {scaling.size_label(size)} {lib.name} {direction}")
                    try:
                        point.memory.setdefault(lib.name, {})[direction] = scaling.child(
                            "memory", str(directory), str(size), lib.name, direction,
                            "--shape", shape, *(["--traced"] if lib.name in TRACED else []))
                    except (RuntimeError, ValueError) as exc:
                        point.memory.setdefault(lib.name, {})[direction] = str(exc)
        points[size] = point
    return points


def parse_size(text: str) -> int:
    text = text.strip().upper().rstrip("B")
    factor = {"K": scaling.KB, "M": scaling.MB}.get(text[-1:], 1)
    return int(float(text.rstrip("KM")) * factor)


def arguments(argv=None) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog="python -m bench", description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true",
                   help="short run: shorter repetitions, a third of the real documents, "
                        "scaling up to 64 MB, peers up to 1 MB")
    p.add_argument("--runs", type=int, default=1,
                   help="run the whole suite this many times; figures are medians over runs")
    p.add_argument("--reps", type=int, default=MIN_REPS,
                   help=f"repetitions per cell (at least {MIN_REPS})")
    p.add_argument("--min-seconds", type=float, default=None,
                   help="shortest repetition in seconds (default 0.02, 0.005 with --quick)")
    p.add_argument("--groups", help="comma-separated workload groups (corpus,tiny,...)")
    p.add_argument("--only", help="only workloads whose key contains this text")
    p.add_argument("--libs", help="comma-separated libraries (default: all installed)")
    p.add_argument("--sizes", help="scaling sizes, e.g. 1K,1M,64M,256M; 'none' to skip")
    p.add_argument("--model-sizes",
                   help="sizes of the real scaling series (a botocore service model repeated), "
                        "default 1M,2M,4M,8M,16M,32M,64M (1M,8M,64M with --quick); 'none' to skip")
    p.add_argument("--peers-max", default=None,
                   help="largest scaling size the peers are timed at (default 64M, 1M with --quick)")
    p.add_argument("--no-memory", action="store_true", help="skip the peak memory measurements")
    p.add_argument("--json", type=pathlib.Path, help="write every measurement here")
    p.add_argument("--svg", type=pathlib.Path, help="write the chart here")
    args = p.parse_args(argv)
    if args.reps < MIN_REPS:
        p.error(f"--reps must be at least {MIN_REPS}")
    if args.min_seconds is None:
        args.min_seconds = 0.005 if args.quick else 0.02
    if args.sizes is None:
        args.sizes = "1K,1M,64M" if args.quick else "1K,1M,64M,256M"
    args.sizes = [] if args.sizes == "none" else [parse_size(s) for s in args.sizes.split(",")]
    if args.model_sizes is None:
        args.model_sizes = "1M,8M,64M" if args.quick else "1M,2M,4M,8M,16M,32M,64M"
    args.model_sizes = ([] if args.model_sizes == "none"
                        else [parse_size(s) for s in args.model_sizes.split(",")])
    args.peers_max = parse_size(args.peers_max or ("1M" if args.quick else "64M"))
    return args


def main(argv=None) -> int:
    args = arguments(argv)
    started = time.time()
    log: Log = lambda line: print(f"[{time.time() - started:6.0f} s] {line}",  # noqa: E731
                                  file=sys.stderr, flush=True)
    libs, missing = libraries.available(args.libs.split(",") if args.libs else None)
    roles = {lib.name: lib.role for lib in libs}
    chosen = workloads(args.groups.split(",") if args.groups else None, args.only, args.quick)
    runs: List[Run] = []
    with tempfile.TemporaryDirectory(prefix="kestro-bench-") as tmp:
        for i in range(args.runs):
            log(f"run {i + 1} of {args.runs}")
            run = Run(cells=measure_workloads(chosen, libs, args.reps, args.min_seconds, log))
            if args.sizes:
                run.scaling = measure_scaling(args.sizes, libs, args.reps, args.min_seconds,
                                              args.peers_max, pathlib.Path(tmp),
                                              memory=(i == 0 and not args.no_memory), log=log)
            if args.model_sizes:
                model_libs = [lib for lib in libs if lib.name in MODEL_LIBS]
                run.model_scaling = measure_scaling(
                    args.model_sizes, model_libs, args.reps, args.min_seconds, 0,
                    pathlib.Path(tmp), memory=(i == 0 and not args.no_memory), log=log,
                    shape="model", directions=("loads",), reps_big=MODEL_REPS_BIG)
            runs.append(run)
    settings = report.Settings(reps=args.reps, min_seconds=args.min_seconds, runs=args.runs,
                               peers_max=args.peers_max, quick=args.quick,
                               command=" ".join(["python -m bench", *(argv or sys.argv[1:])]),
                               elapsed=time.time() - started)
    groups = args.groups.split(",") if args.groups else None
    absent = {g: why for g, why in ABSENT.items() if groups is None or g in groups}
    text = report.render(runs, chosen, libs, missing, roles, settings,
                         targets.targets(roles), absent)
    print(text)
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(report.as_json(runs, libs, settings, chosen), indent=1))
    if args.svg:
        args.svg.parent.mkdir(parents=True, exist_ok=True)
        args.svg.write_text(report.svg_chart(runs, chosen, libs, roles))
        print(f"chart written to {args.svg}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
