"""`python -m quorvex info FILE`: what a recording holds, and whether it is
whole."""
import os

import mcap  # noqa: F401 -- the record extra: without it the command reports itself missing

from ..depthcoding import DEFLATE_FORMAT, DEPTH_FORMAT
from ..recording import METADATA_NAME, open_recording, scan_recording


def add_arguments(parser):
    parser.add_argument("file", metavar="FILE", help="a recording (.mcap)")


def _compression(meta, report):
    chunks = ", ".join(sorted(report.compressions)) or meta.get("chunk_compression",
                                                               meta.get("compression", "?"))
    if meta.get("compression") == "depth":
        planes = meta.get("plane_format", DEFLATE_FORMAT)
        return (f"depth (depth {DEPTH_FORMAT}, whole mm; other planes {planes}, 16-bit), "
                f"chunks {chunks}, {report.chunks} chunks")
    return f"{chunks}, {report.chunks} chunks"


def summarise(path):
    """The lines `info` prints about a recording."""
    rec = open_recording(path)
    report, counts, stamps = scan_recording(path)
    info, meta = rec.info, rec.metadata
    i = info.intrinsics
    lines = [
        f"file:         {path} ({os.path.getsize(path) / 1e6:.1f} MB)",
        f"camera:       {info.variant} {info.width} x {info.height}, {info.output}, from {meta['source']}",
        f"intrinsics:   fx {i.fx:.2f}  fy {i.fy:.2f}  cx {i.cx:.2f}  cy {i.cy:.2f}" + (
            f"  k1 {i.k1:.4f}  k2 {i.k2:.4f}  p1 {i.p1:.5f}  p2 {i.p2:.5f}  k3 {i.k3:.4f}"
            if getattr(i, "distorted", False) else ""),
        f"controls:     {', '.join(f'{k} {v}' for k, v in sorted(info.controls.items())) or '-'}",
        f"filters:      {_filters(info.filters)}",
        f"library:      {meta.get('library_version', '?')}",
        f"compression:  {_compression(meta, report)}",
    ]
    frames = len(stamps)
    if frames:
        span = (stamps[-1] - stamps[0]) / 1000.0
        rate = f", {(frames - 1) / span:.2f} fps" if span > 0 else ""
        lines.append(f"frames:       {frames} over {span:.3f} s of module clock{rate} "
                     f"(stamps {stamps[0]} .. {stamps[-1]} ms)")
    else:
        lines.append("frames:       0")
    summary = report.metadata.get(METADATA_NAME + ".summary")
    if summary:
        lines.append(f"dropped:      {summary.get('dropped_by_source', '?')} by the camera, "
                     f"{summary.get('dropped_by_recorder', '?')} by the recorder")
    topics = ", ".join(f"{t} {n}" for t, n in sorted(counts.items()))
    lines.append(f"topics:       {topics or '-'}")
    if report.finished and summary:
        lines.append("state:        complete (summary and index written)")
    else:
        lines.append("state:        not finished (the recorder was stopped before closing the file); "
                     "every complete frame reads back")
    for p in report.problems:
        lines.append(f"problem:      {p}")
    return lines


def run(args):
    print("\n".join(summarise(args.file)))
    return 0


def _filters(described):
    if described is None:
        return "none (raw depth; filter on playback with quorvex.Filters or --filters)"
    params = described.get("params") or {}
    return described.get("preset", "?") + "".join(f", {k} {v}" for k, v in sorted(params.items()))
