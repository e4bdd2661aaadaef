"""A lens kept as a ROS camera_info YAML file: what `python -m quorvex
calibrate` writes and what `load_calibration` reads back as an `Intrinsics`.

The reader is this module's own (numpy and the standard library only), so a
board uses a calibration made elsewhere without a YAML library. It reads the
part of YAML these files use: nested mappings by indentation, numbers,
plain and quoted strings, comments, and sequences in flow (`[1, 2]`) or
block (`- 1`) style; anything else is refused with one line naming the
file and the line.
"""
import math
import os
import re

from .errors import CameraError
from .geometry import Intrinsics

# The model names ROS gives the distortion this package applies.
_MODELS = ("plumb_bob", "rational_polynomial")
_MAX_BYTES = 1 << 20


class CalibrationError(CameraError):
    """A calibration file that cannot be used; the message is one line."""


# Reading -----------------------------------------------------------------
_NUMBER = re.compile(r"[-+]?(\d+\.?\d*([eE][-+]?\d+)?|\.\d+([eE][-+]?\d+)?|\.inf|\.nan)$", re.I)


def _scalar(text):
    text = text.strip()
    if len(text) >= 2 and text[0] == text[-1] and text[0] in "'\"":
        return text[1:-1]
    if _NUMBER.match(text):
        low = text.lower()
        if low.endswith(".inf"):
            return -math.inf if low.startswith("-") else math.inf
        if low.endswith(".nan"):
            return math.nan
        return float(text) if any(c in text for c in ".eE") else int(text)
    return text


def _strip_comment(line):
    # A '#' starts a comment outside quotes, at the line's start or after
    # a space (YAML's rule).
    quote = None
    for i, c in enumerate(line):
        if quote:
            quote = None if c == quote else quote
        elif c in "'\"":
            quote = c
        elif c == "#" and (i == 0 or line[i - 1] in " \t"):
            return line[:i]
    return line


def _parse_yaml(text, where):
    """A dict of the YAML subset described above; `where(n)` names line n."""
    lines = []
    open_list = None  # (line, indent, text so far) of a flow list not yet closed
    for n, raw in enumerate(text.splitlines(), 1):
        body = _strip_comment(raw).rstrip()
        if open_list is not None:
            # A flow list may run over several lines (camera_calibration
            # writes its matrices a row per line).
            first, indent, so_far = open_list
            so_far += " " + body.strip()
            if so_far.count("[") > so_far.count("]"):
                open_list = (first, indent, so_far)
            else:
                lines.append((first, indent, so_far))
                open_list = None
            continue
        if "\t" in raw[:len(raw) - len(raw.lstrip())]:
            raise CalibrationError(f"{where(n)}: tabs indent nothing in YAML")
        if not body.strip() or body.strip() in ("---", "..."):
            continue
        if body.lstrip().startswith("%"):
            continue  # a directive (%YAML:1.0, as OpenCV's files begin)
        entry = (n, len(body) - len(body.lstrip()), body.strip())
        if entry[2].count("[") > entry[2].count("]"):
            open_list = entry
        else:
            lines.append(entry)
    if open_list is not None:
        raise CalibrationError(f"{where(open_list[0])}: a list that never closes (no ']')")

    pos = 0

    def block(indent):
        nonlocal pos
        if pos < len(lines) and lines[pos][2].startswith("- ") or (pos < len(lines) and lines[pos][2] == "-"):
            items = []
            while pos < len(lines) and lines[pos][1] == indent and (lines[pos][2].startswith("- ")
                                                                      or lines[pos][2] == "-"):
                n, _, body = lines[pos]
                value = body[1:].strip()
                pos += 1
                if not value:
                    raise CalibrationError(f"{where(n)}: a nested item is not a camera_info value")
                items.append(inline(value, n))
            return items
        out = {}
        while pos < len(lines) and lines[pos][1] == indent:
            n, _, body = lines[pos]
            m = re.match(r"""^("[^"]*"|'[^']*'|[^:'"\[\]{}]+?)\s*:(\s+(.*))?$""", body)
            if not m:
                raise CalibrationError(f"{where(n)}: expected 'key: value', got {body[:40]!r}")
            key = _scalar(m.group(1))
            value = (m.group(3) or "").strip()
            # A type tag before a nested mapping (OpenCV's !!opencv-matrix)
            # says nothing the keys below do not.
            if value.startswith("!") and " " not in value:
                value = ""
            pos += 1
            if key in out:
                raise CalibrationError(f"{where(n)}: {key!r} given twice")
            if value:
                out[key] = inline(value, n)
            elif pos < len(lines) and lines[pos][1] > indent:
                out[key] = block(lines[pos][1])
            elif pos < len(lines) and lines[pos][1] == indent and lines[pos][2].startswith("-"):
                out[key] = block(indent)  # a block sequence may sit at its key's indent
            else:
                out[key] = None
        if pos < len(lines) and lines[pos][1] > indent:
            n = lines[pos][0]
            raise CalibrationError(f"{where(n)}: indented more than the key before it")
        return out

    def inline(value, n):
        if value.startswith("["):
            if not value.endswith("]"):
                raise CalibrationError(f"{where(n)}: a list must close on its line (']')")
            inner = value[1:-1].strip()
            return [] if not inner else [_scalar(v) for v in inner.split(",") if v.strip()]
        if value.startswith(("{", "&", "*", "!", "|", ">")):
            raise CalibrationError(f"{where(n)}: YAML beyond what camera_info files use ({value[:20]!r})")
        return _scalar(value)

    if not lines:
        raise CalibrationError(f"{where(0)}: empty")
    doc = block(lines[0][1])
    if pos < len(lines):
        raise CalibrationError(f"{where(lines[pos][0])}: not part of the file's one mapping")
    return doc


def _matrix(doc, key, rows, cols, name, required=True):
    m = doc.get(key)
    if m is None:
        if required:
            raise CalibrationError(f"{name}: no {key}")
        return None
    if not isinstance(m, dict) or "data" not in m:
        raise CalibrationError(f"{name}: {key} must have rows, cols and data")
    data = m["data"]
    r, c = m.get("rows", rows), m.get("cols", cols)
    if not isinstance(data, list) or any(isinstance(v, (str, bool)) or not isinstance(v, (int, float))
                                         or not math.isfinite(v) for v in data):
        raise CalibrationError(f"{name}: {key} data must be finite numbers")
    if (r, c) != (rows, cols) or len(data) != r * c:
        want = f"{rows} x {cols}"
        raise CalibrationError(f"{name}: {key} must be {want} ({len(data)} values given as {r} x {c})")
    return [float(v) for v in data]


def parse_calibration(text, name="calibration"):
    """`Intrinsics` of a camera_info YAML text; CalibrationError (one line
    naming `name`) for anything this package cannot use."""
    doc = _parse_yaml(text, lambda n: f"{name}:{n}" if n else name)
    if not isinstance(doc, dict):
        raise CalibrationError(f"{name}: not a camera_info file (no mapping of keys)")
    for key in ("image_width", "image_height"):
        v = doc.get(key)
        if isinstance(v, bool) or not isinstance(v, int) or v <= 0:
            raise CalibrationError(f"{name}: {key} must be a positive whole number of pixels, not {v!r}")
    k = _matrix(doc, "camera_matrix", 3, 3, name)
    if k[1] != 0.0 or k[3] != 0.0 or k[6:] != [0.0, 0.0, 1.0]:
        raise CalibrationError(f"{name}: camera_matrix has skew or is not [fx 0 cx; 0 fy cy; 0 0 1]; "
                               "this package models no skew")
    model = doc.get("distortion_model", "plumb_bob")
    d = doc.get("distortion_coefficients")
    coeffs = []
    if isinstance(d, list):  # some writers give D as a bare list
        d = {"rows": 1, "cols": len(d), "data": d}
        doc = dict(doc, distortion_coefficients=d)
    if d is not None:
        data = d.get("data") if isinstance(d, dict) else None
        if not isinstance(data, list):
            raise CalibrationError(f"{name}: distortion_coefficients must have rows, cols and data")
        r, c = d.get("rows", 1), d.get("cols", len(data))
        # A vector either way round: some writers give D as a column.
        if 1 not in (r, c):
            raise CalibrationError(f"{name}: distortion_coefficients must be one row, not {r} x {c}")
        coeffs = _matrix(doc, "distortion_coefficients", r, c, name)
    if model not in _MODELS:
        raise CalibrationError(f"{name}: distortion_model {model!r} is not one this package applies "
                               "(plumb_bob)")
    # rational_polynomial's first five are plumb_bob's; it is accepted only
    # when its other three are zero (then it is the same lens).
    if len(coeffs) > 5 and (model != "rational_polynomial" or any(coeffs[5:])):
        raise CalibrationError(f"{name}: {len(coeffs)} distortion coefficients; plumb_bob has 5 "
                               "(k1, k2, p1, p2, k3)")
    coeffs = (coeffs + [0.0] * 5)[:5]
    _matrix(doc, "rectification_matrix", 3, 3, name, required=False)
    _matrix(doc, "projection_matrix", 3, 4, name, required=False)
    try:
        return Intrinsics(int(doc["image_width"]), int(doc["image_height"]), k[0], k[4], k[2], k[5], *coeffs)
    except ValueError as e:
        raise CalibrationError(f"{name}: {e}") from None


def load_calibration(path):
    """The lens a ROS camera_info YAML file describes (what `python -m
    quorvex calibrate` writes, or ROS's camera_calibration), as an
    `Intrinsics` with its distortion. CalibrationError (a CameraError) with
    one line naming the file when it cannot be read or used."""
    name = os.fspath(path)
    try:
        with open(path, "rb") as f:
            data = f.read(_MAX_BYTES + 1)
    except OSError as e:
        raise CalibrationError(f"{name}: cannot read the calibration: {e.strerror or e}") from None
    if len(data) > _MAX_BYTES:
        raise CalibrationError(f"{name}: larger than 1 MiB; not a camera_info file")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise CalibrationError(f"{name}: not a text file (not UTF-8); not a camera_info file") from None
    if "\0" in text:
        raise CalibrationError(f"{name}: not a text file (NUL bytes); not a camera_info file")
    return parse_calibration(text, name)


# Writing -----------------------------------------------------------------
def camera_info_dict(intrinsics, camera_name):
    """The camera_info YAML fields of a lens: K, D (plumb_bob), R the
    identity (a single camera) and P = [K | 0]."""
    k = intrinsics
    K = [k.fx, 0.0, k.cx, 0.0, k.fy, k.cy, 0.0, 0.0, 1.0]
    return {
        "image_width": int(k.width),
        "image_height": int(k.height),
        "camera_name": str(camera_name),
        "camera_matrix": {"rows": 3, "cols": 3, "data": [float(v) for v in K]},
        "distortion_model": "plumb_bob",
        "distortion_coefficients": {"rows": 1, "cols": 5, "data": [float(v) for v in k.distortion]},
        "rectification_matrix": {"rows": 3, "cols": 3, "data": [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]},
        "projection_matrix": {"rows": 3, "cols": 4,
                              "data": [k.fx, 0.0, k.cx, 0.0, 0.0, k.fy, k.cy, 0.0, 0.0, 0.0, 1.0, 0.0]},
    }


def dump_calibration(intrinsics, camera_name):
    """camera_info YAML text of a lens, through the YAML library (the
    `calibrate` extra), in the layout ROS's tools write: keys in their
    order, each matrix's data as one flow list."""
    import yaml

    class _Dumper(yaml.SafeDumper):
        pass

    def _flow_list(dumper, data):
        return dumper.represent_sequence("tag:yaml.org,2002:seq", data, flow_style=True)

    _Dumper.add_representer(list, _flow_list)
    return yaml.dump(camera_info_dict(intrinsics, camera_name), Dumper=_Dumper, sort_keys=False,
                     default_flow_style=False, width=1 << 16)
