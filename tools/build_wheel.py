#!/usr/bin/env python3
"""Cross-builds the Python extension for an ARM Linux board and packs it
into a wheel.

The extension is compiled with Debian's cross compiler for the architecture
(armhf: armv7l, hard-float; arm64: aarch64) against the target CPython's
headers unpacked by tools/debian-sysroot.sh, so its ABI is that of the
interpreter of that Debian release (bookworm: CPython 3.11, trixie: 3.13;
Raspberry Pi OS follows them). Whatever `cmake --install` stages is zipped
with the metadata a wheel needs; pip installs the result on the board like
any other wheel.

    tools/build_wheel.py --arch arm64 --sysroot build/sysroot-arm64-bookworm --dist-dir build/dist

Why not scikit-build-core, which builds the native wheel (`pip install .`):
it can cross-compile a wheel only for the interpreter it runs under. Given
the toolchain file, the target's headers and extension suffix as CMake
definitions and _PYTHON_HOST_PLATFORM=linux-armv7l, it does produce a sound
bookworm armhf wheel on a build machine whose Python is 3.11 (about a minute
on two shared cores); but it takes the cpXY interpreter and ABI tag from the
running interpreter and has no setting for another one (its py-api setting
only lowers the tag to abi3, which a pybind11 module is not), so the trixie
wheels (CPython 3.13) would come out tagged for 3.11 from a 3.11 build
machine, and every release would need its own CPython on the build machine.
Writing the few metadata files here keeps one recipe for every release.
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
# Debian architecture -> (GNU triple, wheel platform tag, toolchain file).
ARCHES = {
    "armhf": ("arm-linux-gnueabihf", "linux_armv7l", "cmake/toolchain-armhf.cmake"),
    "arm64": ("aarch64-linux-gnu", "linux_aarch64", "cmake/toolchain-arm64.cmake"),
}
# Wheels are zip files; a fixed date keeps two builds of the same tree
# byte-identical.
ZIP_DATE = (1980, 1, 1, 0, 0, 0)


def fail(message):
    print(f"build_wheel: {message}", file=sys.stderr)
    sys.exit(1)


def project_metadata():
    text = (ROOT / "pyproject.toml").read_text()
    if tomllib is not None:
        project = tomllib.loads(text)["project"]
    else:
        # Enough of TOML for the [project] table's plain strings and arrays
        # (an array may span lines).
        project = {}
        section = None
        pending = None
        for line in text.splitlines():
            if pending is not None:
                pending[1] += " " + line.split("#", 1)[0]
                if "]" in line:
                    project[pending[0]] = ast.literal_eval(pending[1].strip())
                    pending = None
                continue
            header = re.match(r"\s*\[([^\]]+)\]", line)
            if header:
                section = header.group(1)
            elif section == "project" and "=" in line:
                key, value = (part.strip() for part in line.split("=", 1))
                if value.startswith("[") and "]" not in value:
                    pending = [key, value]
                else:
                    project[key] = ast.literal_eval(value)
    if not project.get("version"):
        # A dynamic version comes from the top-level project() call.
        project["version"] = cmake_project_version()
    return project


def cmake_project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    # Comments out, then the first project( ... ) call, which may span lines.
    text = re.sub(r"#[^\n]*", "", text)
    call = re.search(r"\bproject\s*\(([^)]*)\)", text, re.IGNORECASE)
    version = call and re.search(r"\bVERSION\s+\"?([0-9]+(?:\.[0-9]+){0,3})\"?", call.group(1))
    if not version:
        fail("no version in pyproject.toml's [project] nor in CMakeLists.txt's project()")
    return version.group(1)


def target_python(sysroot, triple):
    """Returns (include dir, version 'X.Y', extension suffix) of the target."""
    includes = sorted(sysroot.glob("usr/include/python3.*/Python.h"))
    if len(includes) != 1:
        fail(f"expected one target Python's headers under {sysroot}/usr/include, found {len(includes)}")
    include_dir = includes[0].parent
    version = include_dir.name[len("python"):]
    # The build-time configuration of the target's interpreter is a Python
    # literal; read it rather than running the interpreter. Releases name it
    # _sysconfigdata__TRIPLE or _sysconfigdata__linux_TRIPLE (or both).
    names = [f"_sysconfigdata__{triple}.py", f"_sysconfigdata__linux_{triple}.py"]
    candidates = [sysroot / f"usr/lib/python{version}" / n for n in names]
    data = next((c for c in candidates if c.is_file()), None)
    if data is None:
        fail(f"none of {', '.join(names)} under {sysroot}/usr/lib/python{version}")
    tree = ast.parse(data.read_text())
    build_time_vars = None
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(
                isinstance(t, ast.Name) and t.id == "build_time_vars" for t in node.targets):
            build_time_vars = ast.literal_eval(node.value)
    if not build_time_vars or triple not in build_time_vars.get("EXT_SUFFIX", ""):
        fail(f"no {triple} extension suffix in {data}")
    return include_dir, version, build_time_vars["EXT_SUFFIX"]


def run(cmd):
    print("+", " ".join(str(c) for c in cmd), flush=True)
    subprocess.run([str(c) for c in cmd], check=True)


def record_entry(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def pack_wheel(stage, dist_dir, project, python_tag, platform_tag):
    name = project["name"]
    version = project["version"]
    # File and folder names use the normalised distribution name.
    normalised = re.sub(r"[-_.]+", "_", name).lower()
    tag = f"{python_tag}-{python_tag}-{platform_tag}"
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
    for extra, requirements in project.get("optional-dependencies", {}).items():
        metadata.append(f"Provides-Extra: {extra}")
        for requirement in requirements:
            metadata.append(f'Requires-Dist: {requirement}; extra == "{extra}"')
    wheel = [
        "Wheel-Version: 1.0",
        "Generator: tools/build_wheel.py",
        "Root-Is-Purelib: false",
        f"Tag: {tag}",
    ]

    entries = []
    for path in sorted(p for p in stage.rglob("*") if p.is_file()):
        entries.append((path.relative_to(stage).as_posix(), path.read_bytes(), path.stat().st_mode))
    if not any(e[0].endswith(".so") and e[0].startswith(name + ".") for e in entries):
        fail(f"the install step produced no {name} extension module")
    if not any(e[0].endswith(".so") and e[0].startswith("quorvex/_native.") for e in entries):
        fail("the install step produced no quorvex package with its native module")
    entries.append((f"{dist_info}/METADATA", ("\n".join(metadata) + "\n").encode(), 0o644))
    entries.append((f"{dist_info}/WHEEL", ("\n".join(wheel) + "\n").encode(), 0o644))

    record = [record_entry(path, data) for path, data, _ in entries]
    record.append(f"{dist_info}/RECORD,,")
    entries.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode(), 0o644))

    dist_dir.mkdir(parents=True, exist_ok=True)
    # A wheel of an older version left beside it would be picked up by a
    # glob in the next step; keep one wheel per interpreter and platform.
    for stale in dist_dir.glob(f"{normalised}-*-{tag}.whl"):
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
    parser.add_argument("--arch", choices=sorted(ARCHES), default="armhf", help="Debian architecture")
    parser.add_argument("--sysroot", type=pathlib.Path, required=True,
                        help="unpacked target packages (tools/debian-sysroot.sh)")
    parser.add_argument("--build-dir", type=pathlib.Path, required=True)
    parser.add_argument("--dist-dir", type=pathlib.Path, default=ROOT / "build/dist")
    parser.add_argument("--cmake", default=shutil.which("cmake", path=os.path.dirname(sys.executable)) or "cmake")
    parser.add_argument("--ninja", default=shutil.which("ninja", path=os.path.dirname(sys.executable)))
    parser.add_argument("--jobs", default=str(os.cpu_count() or 1))
    args = parser.parse_args()

    triple, platform_tag, toolchain = ARCHES[args.arch]
    sysroot = args.sysroot.resolve()
    build_dir = args.build_dir.resolve()
    include_dir, version, ext_suffix = target_python(sysroot, triple)
    python_tag = "cp" + version.replace(".", "")

    # Debian's pyconfig.h picks the per-architecture header through
    # <TRIPLE/python3.X/pyconfig.h>. Offering only that folder,
    # not the sysroot's whole /usr/include, keeps the sysroot's C library
    # headers out of the way of the cross compiler's own.
    multiarch = build_dir / "multiarch-include"
    multiarch.mkdir(parents=True, exist_ok=True)
    link = multiarch / triple
    if link.is_symlink() or link.exists():
        link.unlink()
    link.symlink_to(sysroot / "usr/include" / triple)

    import pybind11  # from the build environment; headers only

    configure = [
        args.cmake, "-S", ROOT, "-B", build_dir,
        f"-DCMAKE_TOOLCHAIN_FILE={ROOT / toolchain}",
        "-DCMAKE_BUILD_TYPE=Release",
        "-DQUORVEX_BUILD_PYTHON=ON",
        "-DQUORVEX_BUILD_TESTS=OFF",
        "-DQUORVEX_BUILD_BENCHES=OFF",
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

    wheel_path = pack_wheel(stage, args.dist_dir.resolve(), project_metadata(), python_tag, platform_tag)
    print(f"build_wheel: wrote {wheel_path}")


if __name__ == "__main__":
    main()
