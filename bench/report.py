"""Turning runs into the printed report, a text chart, an SVG chart and JSON."""

from __future__ import annotations

import dataclasses
import os
import platform
import sys
from typing import Dict, List, Optional, Tuple
from xml.sax.saxutils import escape

from . import libraries, realdocs, scaling
from .results import (Cell, Run, ScalingPoint, fastest_peer, fastest_total_peer, kestro_vs_floor,
                      kestro_vs_peers, median_of, ratio, real_keys, total_seconds, total_vs_peers)
from .targets import Target


@dataclasses.dataclass
class Settings:
    reps: int
    min_seconds: float
    runs: int
    peers_max: int
    quick: bool = False
    command: str = "python -m bench"
    elapsed: float = 0.0


def fmt_time(seconds: Optional[float]) -> str:
    if seconds is None:
        return "n/a"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def fmt_ratio(value: Optional[float]) -> str:
    return "n/a" if value is None else f"{value:.2f}"


def fmt_bytes(n: Optional[float]) -> str:
    if n is None:
        return "n/a"
    if abs(n) >= scaling.MB:
        return f"{n / scaling.MB:.1f} MiB"
    return f"{n / scaling.KB:.0f} KiB"


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    mem = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f
                        if line.startswith("model name")), cpu)
        with open("/proc/meminfo") as f:
            kb = int(next(line.split()[1] for line in f if line.startswith("MemTotal")))
            mem = f", {kb / (1 << 20):.0f} GiB"
    except (OSError, StopIteration, ValueError):
        pass
    return (f"{cpu} ({os.cpu_count()} CPUs{mem}), {platform.system()} {platform.release()}, "
            f"{platform.python_implementation()} {platform.python_version()} ({sys.executable})")


def library_line(lib: libraries.Library) -> str:
    role = {libraries.SUBJECT: "", libraries.FLOOR: " (floor)"}.get(lib.role, "")
    return f"{lib.name} {lib.version}{role}".replace("  ", " ")


class Notes:
    """Numbered footnotes for n/a cells and warnings."""

    def __init__(self):
        self.items: List[str] = []

    def mark(self, text: str) -> str:
        if text not in self.items:
            self.items.append(text)
        return f"[{self.items.index(text) + 1}]"

    def render(self) -> List[str]:
        return [f"  [{i + 1}] {t}" for i, t in enumerate(self.items)]


def _cell_text(runs: List[Run], key: str, name: str, notes: Notes) -> str:
    cells = [run.cells.get(key, {}).get(name) for run in runs]
    cells = [c for c in cells if c is not None]
    if not cells:
        return "-"
    value = median_of([c.seconds for c in cells])
    if value is None:
        return "n/a" + notes.mark(f"{name}: {cells[0].reason}")
    warning = next((c.warning for c in cells if c.warning), "")
    return fmt_time(value) + (notes.mark(f"{name}: {warning}") if warning else "")


def _table(header: List[str], rows: List[List[str]], left: int = 1) -> List[str]:
    """Columns padded to their widest cell; the first `left` columns are text."""
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
    line = lambda r: "  ".join(c.ljust(w) if i < left else c.rjust(w)  # noqa: E731
                               for i, (c, w) in enumerate(zip(r, widths)))
    return [line(header), "-" * len(line(header))] + [line(r) for r in rows]


def _row_label(w) -> str:
    return f"{w.document.name} {w.direction}" + (f" {w.variant}" if w.direction == "dumps" else "")


# Headings of the groups whose timing differs from the rest.
GROUP_TITLES = {
    "keep": "keep (every real document loaded in one loop that keeps the results; "
            "collector on; best time per loop)",
}


def workload_tables(runs, chosen, libs, roles, notes: Notes) -> List[str]:
    out = []
    names = [lib.name for lib in libs]
    for group in dict.fromkeys(w.group for w in chosen):
        if group == "real":
            out += real_tables(runs, chosen, libs, roles, notes)
            continue
        rows = []
        for w in (w for w in chosen if w.group == group):
            row = [_row_label(w)] + [_cell_text(runs, w.key, n, notes) for n in names]
            best = [fastest_peer(run.cells.get(w.key, {}), roles)[0] for run in runs]
            best_name = max(set(best), key=best.count) if any(best) else None
            row += [fmt_ratio(median_of([kestro_vs_floor(r, w.key) for r in runs])),
                    fmt_ratio(median_of([kestro_vs_peers(r, w.key, roles) for r in runs])),
                    best_name or "-"]
            rows.append(row)
        out += ["", f"== {GROUP_TITLES.get(group, group + ' (best time per call)')}", ""]
        out += _table([group] + names + ["k/marshal", "k/peer", "fastest peer"], rows)
    return out


def _mode(names: List[Optional[str]]) -> str:
    present = [n for n in names if n]
    return max(set(present), key=present.count) if present else "-"


def real_tables(runs, chosen, libs, roles, notes: Notes) -> List[str]:
    """The real documents: per direction, one row per document and a total;
    then the string values of each document."""
    names = [lib.name for lib in libs]
    real = [w for w in chosen if w.group == "real"]
    out = []
    for direction in ("loads", "dumps"):
        ws = [w for w in real if w.direction == direction]
        if not ws:
            continue
        keys = [w.key for w in ws]
        rows = []
        for w in ws:
            rows.append([w.document.name, str(len(w.document.raw))]
                        + [_cell_text(runs, w.key, n, notes) for n in names]
                        + [fmt_ratio(median_of([kestro_vs_floor(r, w.key) for r in runs])),
                           fmt_ratio(median_of([kestro_vs_peers(r, w.key, roles) for r in runs])),
                           _mode([fastest_peer(r.cells.get(w.key, {}), roles)[0] for r in runs])])
        total = [f"total ({len(ws)} documents)", str(sum(len(w.document.raw) for w in ws))]
        total += [fmt_time(median_of([total_seconds(r, keys, n) for r in runs])) for n in names]
        total += [fmt_ratio(median_of([ratio(total_seconds(r, keys, "kestro"),
                                             total_seconds(r, keys, "marshal")) for r in runs])),
                  fmt_ratio(median_of([total_vs_peers(r, keys, roles) for r in runs])),
                  _mode([fastest_total_peer(r, keys, roles)[0] for r in runs])]
        what = ("loads of the text as shipped" if direction == "loads"
                else "compact dumps of the loaded objects")
        out += ["", f"== real documents, {direction} ({what}; best time per call)", ""]
        out += _table(["document", "bytes"] + names + ["k/marshal", "k/peer", "fastest peer"],
                      rows + [total])
    docs = list(dict.fromkeys(w.document for w in real))
    if docs:
        out += ["", "== real documents: string values (dict keys not counted), and the distinct",
                "   texts among those of up to 16 and up to 64 UTF-8 bytes (distinct / count: the",
                "   smaller, the more a cache of values finds repeats)", ""]
        rows, total = [], realdocs.StringStats()
        for doc in docs:
            stats = realdocs.string_stats(doc.obj)
            total += stats
            rows.append(_strings_row(doc.name, stats))
        rows.append(_strings_row(f"total ({len(docs)} documents)", total))
        out += _table(["document", "strings", "<=16 B", "distinct", "share", "<=64 B", "distinct",
                       "share"], rows)
    return out


def _strings_row(label: str, s: "realdocs.StringStats") -> List[str]:
    return [label, str(s.total), str(s.short), str(s.short_distinct),
            fmt_ratio(ratio(s.short_distinct, s.short)), str(s.medium), str(s.medium_distinct),
            fmt_ratio(ratio(s.medium_distinct, s.medium))]


def scaling_tables(runs: List[Run], libs, settings: Settings, series: str = "scaling",
                   title: str = "scaling (a list of records; compact dumps of the objects, "
                                "loads of the text)",
                   directions=("dumps", "loads")) -> List[str]:
    """The table of one scaling series (`series` names its attribute of a
    Run), the growth of time per byte and the peak memory table."""
    def points_of(run):
        return getattr(run, series)

    sizes = sorted({size for run in runs for size in points_of(run)})
    if not sizes:
        return []
    out = ["", f"== {title}", ""]
    rows, notes = [], []
    for size in sizes:
        points = [points_of(run)[size] for run in runs if size in points_of(run)]
        first = points[0]
        if first.note:
            notes.append(f"  {scaling.size_label(size)}: {first.note}")
        count = first.info.get("count", 0)
        copies = (f", {count} cop{'y' if count == 1 else 'ies'}"
                  if series == "model_scaling" and count else "")
        label = f"{scaling.size_label(size)} ({first.length} B{copies}, {first.reps} reps)"
        for lib in libs:
            if lib.name not in first.time:
                continue
            row = [label, lib.name]
            label = ""
            for direction in directions:
                per_byte = median_of([p.per_byte(lib.name, direction) for p in points])
                cell = first.time[lib.name].get(direction, Cell(reason="not run"))
                row += ([fmt_time(per_byte * first.length), f"{per_byte * 1e9:.2f}"]
                        if per_byte is not None else ["n/a", "n/a"])
                if per_byte is None and cell.reason:
                    notes.append(f"  {scaling.size_label(size)} {lib.name} {direction}: {cell.reason}")
            rows.append(row)
        if not first.time:
            rows.append([label, "-"] + ["n/a", "n/a"] * len(directions))
    out += _table(["size", "library"] + [c for d in directions for c in (d, "ns/byte")],
                  rows, left=2)
    out += notes
    small, big = sizes[0], sizes[-1]
    if scaling.MB in sizes and big > scaling.MB:
        small = scaling.MB
    if big > small:
        out.append(f"time per byte at {scaling.size_label(big)} / at {scaling.size_label(small)}:")
        for direction in directions:
            figures = []
            for lib in libs:
                ratios = [ratio(points_of(r)[big].per_byte(lib.name, direction),
                                points_of(r)[small].per_byte(lib.name, direction))
                          for r in runs if big in points_of(r) and small in points_of(r)]
                value = median_of(ratios)
                if value is not None:
                    figures.append(f"{lib.name} {value:.2f}")
            out.append(f"  {direction}: " + (", ".join(figures) or "n/a"))
    mrows = []
    for size in sizes:
        point = points_of(runs[0]).get(size)
        if point is None:
            continue
        for lib in libs:
            for direction in directions:
                mem = point.memory.get(lib.name, {}).get(direction)
                if mem is None:
                    continue
                label = f"{scaling.size_label(size)} {lib.name} {direction}"
                if not isinstance(mem, dict):
                    mrows.append([label, "n/a", "", "", "", "", "", ""])
                    continue
                scratch = (fmt_bytes(scaling.scratch_bytes(point.length))
                           if lib.name == "kestro" and direction == "loads" else "")
                row = [label, str(mem.get("faults", "n/a")), fmt_bytes(mem.get("rss_peak")),
                       fmt_bytes(mem.get("rss_retained"))]
                if "traced_peak" in mem:
                    row += [fmt_bytes(mem["traced_peak"]), fmt_bytes(mem["traced_retained"]),
                            fmt_bytes(mem["traced_peak"] - mem["traced_retained"]), scratch]
                else:
                    row += ["-", "-", "-", scratch]
                mrows.append(row)
    if mrows:
        out += ["",
                "peak memory (first run, 1 MB and up; each in a fresh interpreter).  page faults: of",
                "one call, each a first touch of fresh memory.  RSS: resident set above the input.",
                "traced: blocks from the interpreter's allocators, PyMem included (tracemalloc; only",
                "for kestro and marshal, the peers take memory from malloc too).  transient = traced",
                "peak - traced retained; kestro.loads should hold at most its scratch buffer beyond",
                "the objects it returns.", ""]
        out += _table(["size library direction", "page faults", "RSS peak", "RSS retained", "traced peak",
                       "traced retained", "transient", "scratch"], mrows)
    return out


def model_scaling_tables(runs: List[Run], libs, settings: Settings) -> List[str]:
    info = next((p.info for run in runs for p in run.model_scaling.values() if p.info), {})
    source = (f"{info['source']}, {info['source_bytes']} B as shipped" if "source_bytes" in info
              else "a botocore service model")
    return scaling_tables(runs, libs, settings, "model_scaling",
                          f"scaling of one real document ({source}, repeated as the members "
                          "of one object; loads of the text)", ("loads",))


def target_lines(runs: List[Run], goals: List[Target], settings: Settings) -> List[str]:
    basis = f"median of {settings.runs} runs" if settings.runs > 1 else "one run; use --runs 3"
    out = ["", f"== targets ({basis})", ""]
    for goal in goals:
        status, value = goal.verdict(runs)
        shown = ("n/a (not measured)" if value is None
                 else f"{value:.3f}{goal.unit} {goal.relation} {goal.limit}{goal.unit}")
        remark = goal.remark(runs)
        out.append(f"{status:4}  {goal.label}: {shown}" + (f" ({remark})" if remark else ""))
    return out


def panels(runs: List[Run], chosen, libs):
    """(title, {library: median seconds or None}) for each bar group of the
    charts: one per workload, but the real documents as two totals (loads,
    dumps) rather than a panel per document."""
    out = []
    for w in chosen:
        if w.group != "real":
            title = _row_label(w) + (" (kept, collector on)" if w.collector else "")
            out.append((title, {lib.name: median_of([r.seconds(w.key, lib.name)
                                                             for r in runs]) for lib in libs}))
    for direction in ("loads", "dumps"):
        keys = real_keys([w.key for w in chosen], direction)
        if keys:
            out.append((f"{len(keys)} real documents {direction} (total)",
                        {lib.name: median_of([total_seconds(r, keys, lib.name) for r in runs])
                         for lib in libs}))
    return out


def text_chart(runs: List[Run], chosen, libs, roles, width: int = 40) -> List[str]:
    """Horizontal bars of time per call, each workload scaled to its slowest library."""
    out = ["", "== chart (time per call, scaled to the slowest library of each workload)"]
    for title, times in panels(runs, chosen, libs):
        timed = {k: v for k, v in times.items() if v is not None}
        out += ["", title]
        top = max(timed.values(), default=None)
        floor = timed.get("marshal")
        for lib in libs:
            t = times[lib.name]
            if t is None:
                out.append(f"  {lib.name:<11} n/a")
                continue
            eighths = max(1, round(t / top * width * 8))
            bar = "█" * (eighths // 8) + ("", "▏", "▎", "▍", "▌", "▋", "▊", "▉")[eighths % 8]
            rel = f"  ({t / floor:.2f}x marshal)" if floor and lib.name != "marshal" else ""
            out.append(f"  {lib.name:<11} {bar:<{width + 1}} {fmt_time(t)}{rel}")
    return out


def render(runs, chosen, libs, missing, roles, settings: Settings, goals,
           absent: Optional[Dict[str, List[str]]] = None) -> str:
    """The whole report; `absent` tells why a group has fewer workloads
    than it could (group -> reasons)."""
    absent = absent or {}
    notes = Notes()
    lines = ["kestro benchmark", "",
             f"machine:   {machine()}",
             "libraries: " + ", ".join(library_line(lib) for lib in libs)]
    if missing:
        lines.append("absent:    " + "; ".join(f"{n} ({why})" for n, why in missing))
    lines += [
        f"method:    best of {settings.reps} repetitions per cell, each at least "
        f"{settings.min_seconds * 1e3:g} ms of back-to-back calls; garbage collector off;",
        "           the libraries of a workload take turns repetition by repetition;",
        f"           {'median over ' + str(settings.runs) + ' runs' if settings.runs > 1 else 'one run'}"
        "; k/marshal = kestro / marshal, k/peer = kestro / fastest peer.",
        "           kestro writes bytes, the peers their native str (UTF-8, compact or indent=2).",
        f"command:   {settings.command}",
    ]
    lines += workload_tables(runs, chosen, libs, roles, notes)
    if notes.items:
        lines += ["", "notes:"] + notes.render()
    for group, reasons in absent.items():
        lines += ["", f"{group}: left out: " + "; ".join(reasons)]
    lines += scaling_tables(runs, libs, settings)
    lines += model_scaling_tables(runs, libs, settings)
    lines += target_lines(runs, goals, settings)
    lines += text_chart(runs, chosen, libs, roles)
    lines += ["", f"finished in {settings.elapsed:.0f} s"]
    return "\n".join(lines)


def as_json(runs: List[Run], libs, settings: Settings, chosen=()) -> dict:
    def cell(c: Cell):
        return {"seconds": c.seconds, "reason": c.reason, "warning": c.warning}

    def points(series: Dict[int, ScalingPoint]):
        return {str(size): {"bytes": p.length, "reps": p.reps, "note": p.note, "info": p.info,
                            "time": {n: {d: cell(c) for d, c in by.items()}
                                     for n, by in p.time.items()},
                            "memory": p.memory}
                for size, p in series.items()}

    real = dict.fromkeys(w.document for w in chosen if w.group == "real")

    return {
        "machine": machine(),
        "settings": dataclasses.asdict(settings),
        "libraries": {lib.name: {"version": lib.version, "role": lib.role} for lib in libs},
        "runs": [{
            "cells": {k: {n: cell(c) for n, c in row.items()} for k, row in run.cells.items()},
            "scaling": points(run.scaling),
            "model_scaling": points(run.model_scaling),
        } for run in runs],
        "real_documents": {doc.name: {"family": doc.family, "bytes": len(doc.raw),
                                      "strings": dataclasses.asdict(realdocs.string_stats(doc.obj))}
                           for doc in real},
    }


COLOURS = {"kestro": "#d9480f", "marshal": "#868e96", "json": "#1c7ed6", "ujson": "#37b24d",
           "rapidjson": "#ae3ec9", "simplejson": "#f59f00"}


def svg_chart(runs: List[Run], chosen, libs, roles) -> str:
    """One panel per workload, a bar per library, scaled to the slowest of the panel."""
    bar_h, gap, title_h, left, bar_w, right = 13, 2, 20, 92, 420, 150
    width = left + bar_w + right
    parts: List[str] = []
    y = 30
    for title, times in panels(runs, chosen, libs):
        top = max((t for t in times.values() if t is not None), default=None)
        floor = times.get("marshal")
        parts.append(f'<text x="4" y="{y + 14}" font-weight="bold">{escape(title)}</text>')
        y += title_h
        for lib in libs:
            t = times[lib.name]
            parts.append(f'<text x="{left - 6}" y="{y + bar_h - 3}" text-anchor="end">'
                         f'{escape(lib.name)}</text>')
            if t is None or not top:
                parts.append(f'<text x="{left + 4}" y="{y + bar_h - 3}" fill="#868e96">n/a</text>')
            else:
                length = max(1.0, t / top * bar_w)
                label = fmt_time(t) + (f"  {t / floor:.2f}x marshal"
                                       if floor and lib.name != "marshal" else "")
                parts.append(f'<rect x="{left}" y="{y}" width="{length:.1f}" height="{bar_h}" '
                             f'fill="{COLOURS.get(lib.name, "#495057")}"/>')
                parts.append(f'<text x="{left + length + 4:.1f}" y="{y + bar_h - 3}">'
                             f'{escape(label)}</text>')
            y += bar_h + gap
        y += 8
    head = (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{y + 10}" '
            f'font-family="sans-serif" font-size="11">'
            f'<rect width="100%" height="100%" fill="white"/>'
            f'<text x="4" y="16" font-size="13" font-weight="bold">kestro and its peers: '
            f'time per call (shorter is faster; marshal is the floor)</text>')
    return head + "".join(parts) + "</svg>\n"
