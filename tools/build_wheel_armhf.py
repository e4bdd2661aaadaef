#!/usr/bin/env python3
"""Cross-builds the Python extension for 32-bit ARM (armv7l, hard-float) and
packs it into a wheel.

The extension is compiled with Debian's arm-linux-gnueabihf cross compiler
against the armhf CPython headers unpacked by tools/armhf-sysroot.sh, so its
ABI is that of the target's interpreter (Debian bookworm / Raspberry Pi OS:
CPython 3.11). The installed files are zipped with the metadata a wheel
needs; pip installs the result on the board like any other wheel.

    tools/build_wheel_armhf.py --sysroot build/armhf-sysroot --dist-dir build/dist
"""
import argparse
import ast
import base64
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import sys
import zipfile

try:
    import tomllib
except ImportError:  # Python < 3.11 on the build machine
    tomllib = None

ROOT = pathlib.Path(__file__).resolve().parent.parent
TRIPLE = "arm-linux-gnueabihf"
PLATFORM_TAG = "linux_armv7l"
# Wheels are zip files; a fixed date keeps two builds of the same tree
# byte-identical.
ZIP_DATE = (1980, 1, 1, 0, 0, 0)


def fail(message):
    print(f"build_wheel_armhf: {message}", file=sys.stderr)
    sys.exit(1)


def project_metadata():
    text = (ROOT / "pyproject.toml").read_text()
    if tomllib is not None:
        project = tomllib.loads(text)["project"]
    else:
        # Enough of TOML for the [project] table's plain strings and arrays.
        project = {}
        section = None
        for line in text.splitlines():
            header = re.match(r"\s*\[([^\]]+)\]", line)
            if header:
                section = header.group(1)
            elif section == "project" and "=" in line:
                key, value = line.split("=", 1)
                project[key.strip()] = ast.literal_eval(value.strip())
    return project


def target_python(sysroot):
    """Returns (include dir, version 'X.Y', extension suffix) of the target."""
    includes = sorted(sysroot.glob("usr/include/python3.*/Python.h"))
    if len(includes) != 1:
        fail(f"expected one armhf Python's headers under {sysroot}/usr/include, found {len(includes)}")
    include_dir = includes[0].parent
    version = include_dir.name[len("python"):]
    # The build-time configuration of the target's interpreter is a Python
    # literal; read it rather than running the interpreter.
    data = sysroot / f"usr/lib/python{version}/_sysconfigdata__{TRIPLE}.py"
    if not data.is_file():
        fail(f"missing {data}")
    tree = ast.parse(data.read_text())
    build_time_vars = None
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(
                isinstance(t, ast.Name) and t.id == "build_time_vars" for t in node.targets):
            build_time_vars = ast.literal_eval(node.value)
    if not build_time_vars or TRIPLE not in build_time_vars.get("EXT_SUFFIX", ""):
        fail(f"no {TRIPLE} extension suffix in {data}")
    return include_dir, version, build_time_vars["EXT_SUFFIX"]


def run(cmd):
    print("+", " ".join(str(c) for c in cmd), flush=True)
    subprocess.run([str(c) for c in cmd], check=True)


def record_entry(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def pack_wheel(stage, dist_dir, project, python_tag):
    name = project["name"]
    version = project["version"]
    # File and folder names use the normalised distribution name.
    normalised = re.sub(r"[-_.]+", "_", name).lower()
    tag = f"{python_tag}-{python_tag}-{PLATFORM_TAG}"
    dist_info = f"{normalised}-{version}.dist-info"

    metadata = [
        "Metadata-Version: 2.1",
        f"Name: {name}",
        f"Version: {version}",
    ]
    if project.get("description"):
        metadata.append(f"Summary: {project['description']}")
    # An SPDX identifier, as in pyproject.toml.
    if isinstance(project.get("license"), str):
        metadata.append(f"License: {project['license']}")
    if project.get("requires-python"):
        metadata.append(f"Requires-Python: {project['requires-python']}")
    for requirement in project.get("dependencies", []):
        metadata.append(f"Requires-Dist: {requirement}")
    wheel = [
        "Wheel-Version: 1.0",
        "Generator: tools/build_wheel_armhf.py",
        "Root-Is-Purelib: false",
        f"Tag: {tag}",
    ]

    entries = []
    for path in sorted(p for p in stage.rglob("*") if p.is_file()):
        entries.append((path.relative_to(stage).as_posix(), path.read_bytes(), path.stat().st_mode))
    if not any(e[0].endswith(".so") and e[0].startswith(name + ".") for e in entries):
        fail(f"the install step produced no {name} extension module")
    entries.append((f"{dist_info}/METADATA", ("\n".join(metadata) + "\n").encode(), 0o644))
    entries.append((f"{dist_info}/WHEEL", ("\n".join(wheel) + "\n").encode(), 0o644))

    record = [record_entry(path, data) for path, data, _ in entries]
    record.append(f"{dist_info}/RECORD,,")
    entries.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode(), 0o644))

    dist_dir.mkdir(parents=True, exist_ok=True)
    # A wheel of an older version left beside it would be picked up by a
    # glob in the next step; keep one armv7l wheel per distribution.
    for stale in dist_dir.glob(f"{normalised}-*-{PLATFORM_TAG}.whl"):
        stale.unlink()
    wheel_path = dist_dir / f"{normalised}-{version}-{tag}.whl"
    tmp = wheel_path.with_suffix(".tmp")
    with zipfile.ZipFile(tmp, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        for path, data, mode in entries:
            info = zipfile.ZipInfo(path, ZIP_DATE)
            info.external_attr = (0o100000 | (mode & 0o777)) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
    tmp.replace(wheel_path)
    return wheel_path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sysroot", type=pathlib.Path, default=ROOT / "build/armhf-sysroot")
    parser.add_argument("--build-dir", type=pathlib.Path, default=ROOT / "build/wheel-armhf")
    parser.add_argument("--dist-dir", type=pathlib.Path, default=ROOT / "build/dist")
    parser.add_argument("--cmake", default=shutil.which("cmake", path=os.path.dirname(sys.executable)) or "cmake")
    parser.add_argument("--ninja", default=shutil.which("ninja", path=os.path.dirname(sys.executable)))
    parser.add_argument("--jobs", default=str(os.cpu_count() or 1))
    args = parser.parse_args()

    sysroot = args.sysroot.resolve()
    build_dir = args.build_dir.resolve()
    include_dir, version, ext_suffix = target_python(sysroot)
    python_tag = "cp" + version.replace(".", "")

    # Debian's pyconfig.h picks the per-architecture header through
    # <arm-linux-gnueabihf/python3.X/pyconfig.h>. Offering only that folder,
    # not the sysroot's whole /usr/include, keeps the sysroot's C library
    # headers out of the way of the cross compiler's own.
    multiarch = build_dir / "multiarch-include"
    multiarch.mkdir(parents=True, exist_ok=True)
    link = multiarch / TRIPLE
    if link.is_symlink() or link.exists():
        link.unlink()
    link.symlink_to(sysroot / "usr/include" / TRIPLE)

    import pybind11  # from the build environment; headers only

    configure = [
        args.cmake, "-S", ROOT, "-B", build_dir,
        f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'cmake/toolchain-armhf.cmake'}",
        "-DCMAKE_BUILD_TYPE=Release",
        "-DQUORVEX_BUILD_PYTHON=ON",
        "-DQUORVEX_BUILD_TESTS=OFF",
        # A wheel holds no symbolic links: no versioned soname, no SDK files.
        "-DQUORVEX_WHEEL=ON",
        f"-DPython_INCLUDE_DIR={include_dir}",
        f"-DPYTHON_MODULE_EXT_SUFFIX={ext_suffix}",
        f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
        f"-DCMAKE_CXX_FLAGS=-isystem {multiarch}",
    ]
    if args.ninja:
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={args.ninja}"]
    run(configure)
    run([args.cmake, "--build", build_dir, "-j", args.jobs])

    stage = build_dir / "wheel-root"
    shutil.rmtree(stage, ignore_errors=True)
    run([args.cmake, "--install", build_dir, "--prefix", stage, "--strip"])

    wheel_path = pack_wheel(stage, args.dist_dir.resolve(), project_metadata(), python_tag)
    print(f"build_wheel_armhf: wrote {wheel_path}")


if __name__ == "__main__":
    main()
