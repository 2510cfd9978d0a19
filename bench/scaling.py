"""The scaling series: one document shape from a kilobyte to hundreds of megabytes.

Two shapes: `records`, a list of generated records; and `model`, one real
document (the largest of botocore's service models up to 1 MiB, as shipped,
pretty-printed) repeated as the members of one object, as many as make the
size ("iot-001": {...}, "iot-002": {...}, ...).

Each size is timed in a fresh interpreter, and the peak memory of every
library and direction is measured in a fresh interpreter of its own, so that
nothing one measurement left in the heap hides what the next one takes.

Run as a module, this file is the child side of those measurements:

    python -m bench.scaling generate SIZE DIR [--shape model]
    python -m bench.scaling time DIR SIZE --libs kestro,json --reps 15 --min-seconds 0.02
                                          [--shape model] [--directions loads]
    python -m bench.scaling memory DIR SIZE LIB DIRECTION [--traced] [--shape model]
"""

from __future__ import annotations

import argparse
import gc
import json
import marshal
import os
import pathlib
import random
import resource
import subprocess
import sys
import tracemalloc
from typing import Any, Dict, List, Optional, Tuple

from . import libraries, realdocs, timing
from .workloads import REPO, json_text

KB, MB = 1 << 10, 1 << 20

# Words of several scripts, so that strings are a mix of ASCII and not.
WORDS = ("alpha", "Zürich", "naïve", "東京", "data", "stream", "café", "Ωmega", "value",
         "ledger", "Москва", "🙂", "north", "delta", "señal", "report", "北京", "kilo")


def record(i: int, rng: random.Random) -> dict:
    w = len(WORDS)
    return {
        "id": i,
        "uid": f"{rng.getrandbits(64):016x}",
        "name": f"{WORDS[i % w]} {WORDS[(i * 7 + 3) % w]}",
        "active": i % 3 == 0,
        "score": rng.random() * 1000.0,
        "count": rng.randrange(1 << 31),
        "tags": [WORDS[(i + k) % w] for k in range(i % 4)],
        "geo": {"lat": rng.uniform(-90.0, 90.0), "lon": rng.uniform(-180.0, 180.0)},
        "text": " ".join(WORDS[rng.randrange(w)] for _ in range(3 + i % 6)),
        "parent": None if i % 5 else i - 1,
    }


def scaling_document(target_bytes: int, seed: int = 20240601) -> List[dict]:
    """A list of records whose compact JSON text is about target_bytes long."""
    rng = random.Random(seed)
    sample = [record(i, rng) for i in range(64)]
    per_record = (len(json_text(sample)) - 2) / len(sample)
    count = max(1, round((target_bytes - 2) / per_record))
    rng = random.Random(seed)
    return [record(i, rng) for i in range(count)]


def scratch_bytes(length: int) -> int:
    """The one scratch buffer kestro.loads takes for an input of `length` bytes."""
    return max(4096, ((length // 2) * 24 + 4351) // 4096 * 4096)


SHAPES = ("records", "model")


def paths(directory: pathlib.Path, size: int, shape: str = "records"):
    stem = directory / f"{shape}-{size}"
    return stem.with_suffix(".json"), stem.with_suffix(".marshal")


def info_path(directory: pathlib.Path, size: int, shape: str) -> pathlib.Path:
    """What a generated document is made of, as JSON (for the report)."""
    return directory / f"{shape}-{size}.info"


def model_text(raw: bytes, name: str, size: int):
    """The text of `raw` repeated as the members of one object, as many as
    come nearest to `size` bytes (at least one); and that count."""
    count = max(1, round(size / (len(raw) + len(name) + 7)))
    text = b"{" + b",".join(b'"%s-%03d":%s' % (name.encode(), i + 1, raw)
                             for i in range(count)) + b"}"
    return text, count


def size_label(size: int) -> str:
    return f"{size // MB} MB" if size >= MB else f"{size // KB} KB"


# ---- child side --------------------------------------------------------------

def _generate(size: int, directory: pathlib.Path, shape: str = "records") -> None:
    text_path, objects_path = paths(directory, size, shape)
    if shape == "records":
        obj = scaling_document(size)
        text = json_text(obj)
        info = {"source": "generated records", "count": len(obj)}
    else:
        source = realdocs.scaling_source()
        if source is None:
            raise SystemExit("no botocore service model of at most 1 MiB "
                             "(botocore from requirements/bench.txt is not installed)")
        raw = source.read()
        text, count = model_text(raw, source.name, size)
        obj = json.loads(text)
        info = {"source": source.label(raw), "source_bytes": len(raw), "count": count}
    text_path.write_bytes(text)
    objects_path.write_bytes(marshal.dumps(obj))
    info_path(directory, size, shape).write_text(json.dumps(info))


class _Inputs:
    """The document of one size, read from the files on first use and shared
    by every library."""

    def __init__(self, directory: pathlib.Path, size: int, shape: str = "records"):
        self._paths = paths(directory, size, shape)
        self._cache: Dict[str, Any] = {}

    def _get(self, what: str) -> Any:
        if what not in self._cache:
            text_path, objects_path = self._paths
            if what == "objects":
                self._cache[what] = marshal.loads(self.get_marshalled())
            else:
                self._cache[what] = (text_path if what == "text" else objects_path).read_bytes()
        return self._cache[what]

    def get_text(self) -> bytes:
        return self._get("text")

    def get_marshalled(self) -> bytes:
        return self._get("marshalled")

    def call(self, lib, direction: str):
        """The callable and argument of one measurement."""
        if direction == "dumps":
            return lib.dumps(libraries.COMPACT), self._get("objects")
        if lib.name == "marshal":
            return lib.loads(), self.get_marshalled()
        return lib.loads(), self.get_text()


def _time(directory: pathlib.Path, size: int, names: List[str], reps: int,
          min_seconds: float, shape: str = "records",
          directions: Tuple[str, ...] = ("dumps", "loads")) -> Dict[str, Any]:
    libs, missing = libraries.available(names)
    inputs = _Inputs(directory, size, shape)
    cells, out = {}, {}
    for lib in libs:
        out[lib.name] = {}
        for direction in directions:
            try:
                fn, arg = inputs.call(lib, direction)
                fn(arg)
            except Exception as exc:
                out[lib.name][direction] = libraries.describe_failure(exc)
                continue
            cells[(lib.name, direction)] = (fn, arg)
    for name, reason in missing:
        out[name] = {d: reason for d in directions}
    best = timing.best_times(cells, reps, min_seconds)
    for (name, direction), seconds in best.items():
        out[name][direction] = seconds
    return {"bytes": len(inputs.get_text()), "results": out}


def _status_kb(field: str) -> Optional[int]:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return None


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _memory(directory: pathlib.Path, size: int, name: str, direction: str,
            traced: bool, shape: str = "records") -> Dict[str, Any]:
    (lib,), _ = libraries.available([name])
    fn, arg = _Inputs(directory, size, shape).call(lib, direction)
    gc.collect()
    gc.disable()
    result: Dict[str, Any] = {"input": len(arg) if isinstance(arg, bytes) else None}
    # Resident set: what the process really took, allocator overheads included;
    # and the page faults of the call, each a first touch of fresh memory.
    if _reset_peak():
        base = _status_kb("VmRSS")
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        value = fn(arg)
        result["faults"] = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
        result["rss_peak"] = _status_kb("VmHWM") - base
        result["rss_retained"] = _status_kb("VmRSS") - base
        del value
    if not traced:
        return result
    # Traced: every block from the interpreter's allocators (PyMem included),
    # live at the peak and still live afterwards.  Only worth its (large) cost
    # for libraries that take all their memory from those allocators.
    tracemalloc.start()
    value = fn(arg)
    retained, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del value
    result["traced_peak"], result["traced_retained"] = peak, retained
    return result


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(prog="python -m bench.scaling")
    sub = parser.add_subparsers(dest="command", required=True)
    g = sub.add_parser("generate")
    g.add_argument("size", type=int)
    g.add_argument("dir", type=pathlib.Path)
    t = sub.add_parser("time")
    t.add_argument("dir", type=pathlib.Path)
    t.add_argument("size", type=int)
    t.add_argument("--libs", required=True)
    t.add_argument("--reps", type=int, required=True)
    t.add_argument("--min-seconds", type=float, required=True)
    t.add_argument("--directions", default="dumps,loads")
    m = sub.add_parser("memory")
    m.add_argument("dir", type=pathlib.Path)
    m.add_argument("size", type=int)
    m.add_argument("lib")
    m.add_argument("direction", choices=("dumps", "loads"))
    m.add_argument("--traced", action="store_true")
    for p in (g, t, m):
        p.add_argument("--shape", choices=SHAPES, default="records")
    args = parser.parse_args(argv)
    if args.command == "generate":
        _generate(args.size, args.dir, args.shape)
        return
    if args.command == "time":
        answer = _time(args.dir, args.size, args.libs.split(","), args.reps, args.min_seconds,
                       args.shape, tuple(args.directions.split(",")))
    else:
        answer = _memory(args.dir, args.size, args.lib, args.direction, args.traced, args.shape)
    json.dump(answer, sys.stdout)


# ---- parent side -------------------------------------------------------------

def child(*args: str, timeout: float = 3600) -> Any:
    """Runs `python -m bench.scaling ARGS` and returns what it printed as JSON."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(REPO), env.get("PYTHONPATH")) if p)
    # A parent started without its site-packages (-S) keeps its children so.
    interpreter = [sys.executable] + (["-S"] if sys.flags.no_site else [])
    proc = subprocess.run([*interpreter, "-m", "bench.scaling", *args], cwd=REPO, env=env,
                          capture_output=True, text=True, timeout=timeout)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        raise RuntimeError(f"child {' '.join(args[:1])} failed: {tail}")
    return json.loads(proc.stdout) if proc.stdout.strip() else None


if __name__ == "__main__":
    main()
