#!/usr/bin/env python3
"""Checks an installed tree of the C++ library, or one Debian package of it
unpacked, against the layout users and packagers rely on: exactly the
expected files (the native interface's headers and nothing of the kernel
layer, the simulation or the tests), the versioned soname and its links, the
no run path and no closed vendor library among the core's needs, and ELF files of the
target's architecture.

    check_tree.py ROOT --triple x86_64-linux-gnu --version 0.1.0 \
        --components Runtime,Development,Simulation [--deb-control FILE] \
        [--top usr] [--libdir lib/TRIPLE]

ROOT is the folder that holds the installed prefix, `--top` (usr/ by
default: a tree installed with `cmake --install --prefix ROOT/TOP` names its
own), whose library folder is `--libdir`.
"""
import argparse
import pathlib
import re
import subprocess
import sys

HEADERS = [
    "camera/QuorvexTOFCamera.h",
    "camera/CaptureClock.h",
    "camera/QuorvexFrameBuffer.h",
    "camera/TofTypes.h",
    "common/CpuBackend.h",
    "filters/FilterChain.h",
    "sensor/BoardKind.h",
    "sensor/i2c_helpers.h",
]
STANDINS = ["libsi4c.so", "libquorvex_evk_sdk.so"]
MACHINES = {
    "x86_64-linux-gnu": "X86-64",
    "arm-linux-gnueabihf": "ARM",
    "aarch64-linux-gnu": "AArch64",
}
DEB_ARCH = {
    "x86_64-linux-gnu": "amd64",
    "arm-linux-gnueabihf": "armhf",
    "aarch64-linux-gnu": "arm64",
}


def soversion(version):
    major, minor, _ = version.split(".")
    return f"{major}.{minor}" if major == "0" else major


def expected(triple, version, components, lib=None):
    """{path under usr/: symlink target or None for a regular file}"""
    so = soversion(version)
    lib = lib or f"lib/{triple}"
    runtime_pkg, dev_pkg, sim_pkg = f"libquorvex{so}", "libquorvex-dev", "libquorvex-simulated"
    files = {}
    if "Runtime" in components:
        files[f"{lib}/libquorvex.so.{version}"] = None
        files[f"{lib}/libquorvex.so.{so}"] = f"libquorvex.so.{version}"
        files[f"share/doc/{runtime_pkg}/copyright"] = None
    if "Development" in components:
        files[f"{lib}/libquorvex.so"] = f"libquorvex.so.{so}"
        for h in HEADERS:
            files[f"include/quorvex/{h}"] = None
        for name in ("QuorvexDepthCameraConfig.cmake", "QuorvexDepthCameraConfigVersion.cmake",
                     "QuorvexDepthCameraTargets.cmake", "QuorvexDepthCameraTargets-release.cmake"):
            files[f"{lib}/cmake/QuorvexDepthCamera/{name}"] = None
        files[f"{lib}/pkgconfig/quorvex.pc"] = None
        files[f"share/doc/{dev_pkg}/copyright"] = None
        files[f"share/doc/{dev_pkg}/examples/CMakeLists.txt"] = None
        files[f"share/doc/{dev_pkg}/examples/depth_stream.cpp"] = None
    if "Simulation" in components:
        for name in STANDINS:
            files[f"{lib}/quorvex/simulated/{name}"] = None
        files[f"share/doc/{sim_pkg}/copyright"] = None
    return files


def readelf(args, path):
    return subprocess.run(["readelf", *args, str(path)], check=True,
                          capture_output=True, text=True).stdout


def dynamic(path, tag):
    values = []
    for line in readelf(["-d"], path).splitlines():
        if f"({tag})" in line and "[" in line:
            values.append(line[line.index("[") + 1:line.rindex("]")])
    return values


def version_key(version):
    return tuple(int(part) for part in version.split("."))


def symbol_versions(path, prefix):
    """Highest version with `prefix` among the symbols `path` imports."""
    found = re.findall(re.escape(prefix) + r"([0-9][0-9.]*[0-9])", readelf(["--dyn-syms", "-W"], path))
    return max(found, key=version_key, default="0")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root", type=pathlib.Path)
    parser.add_argument("--triple", required=True, choices=sorted(MACHINES))
    parser.add_argument("--version", required=True)
    parser.add_argument("--components", required=True)
    parser.add_argument("--deb-control", type=pathlib.Path,
                        help="control file of the package, to check its architecture")
    parser.add_argument("--top", default="usr", help="the prefix's folder under ROOT")
    parser.add_argument("--libdir", help="the library folder under the prefix (default lib/TRIPLE)")
    args = parser.parse_args()
    components = set(args.components.split(","))
    usr = args.root / args.top
    libdir = args.libdir or f"lib/{args.triple}"
    problems = []

    want = expected(args.triple, args.version, components, libdir)
    have = {}
    for path in sorted(usr.rglob("*")):
        if path.is_symlink():
            have[path.relative_to(usr).as_posix()] = str(path.readlink())
        elif path.is_file():
            have[path.relative_to(usr).as_posix()] = None
    outside = [p.relative_to(args.root).as_posix() for p in args.root.rglob("*")
               if (p.is_file() or p.is_symlink()) and not p.is_relative_to(usr)]
    for path in sorted(set(have) - set(want)):
        problems.append(f"unexpected file usr/{path}")
    for path in sorted(set(want) - set(have)):
        problems.append(f"missing usr/{path}")
    for path in sorted(set(want) & set(have)):
        if want[path] != have[path]:
            problems.append(f"{args.top}/{path}: expected {'a link to ' + want[path] if want[path] else 'a file'}, "
                            f"found {'a link to ' + have[path] if have[path] else 'a file'}")
    problems += [f"file outside {args.top}/: {p}" for p in outside]

    # Each installed header includes only the standard library and other
    # installed headers: no kernel, vendor or simulation header reaches users.
    include = usr / "include/quorvex"
    for header in sorted(include.rglob("*.h")) if include.is_dir() else []:
        for line in header.read_text().splitlines():
            words = line.split()
            if len(words) < 2 or words[0] != "#include":
                continue
            name = words[1][1:-1]
            own = [include / name, header.parent / name]
            if words[1][0] == '"' or "/" in name:
                if not any(p.is_file() for p in own):
                    problems.append(f"{header.relative_to(usr)} includes {words[1]}, which is not installed")

    lib = usr / libdir
    machine = MACHINES[args.triple]
    elf_files = [p for p in (usr / rel for rel, link in have.items() if link is None)
                 if p.read_bytes()[:4] == b"\x7fELF"]
    for path in elf_files:
        header = readelf(["-h"], path)
        if machine not in next((l for l in header.splitlines() if "Machine:" in l), ""):
            problems.append(f"{path.relative_to(args.root)}: not an {machine} ELF file")
        if "DYN (Shared object file)" not in header:
            problems.append(f"{path.relative_to(args.root)}: not a shared library (a program or test?)")

    core = lib / f"libquorvex.so.{args.version}"
    if "Runtime" in components and core.is_file():
        so = soversion(args.version)
        if dynamic(core, "SONAME") != [f"libquorvex.so.{so}"]:
            problems.append(f"soname of the core is {dynamic(core, 'SONAME')}, not libquorvex.so.{so}")
        # The stand-ins' folder on a run path would be searched before the
        # system's folders, hiding a vendor's library.
        if dynamic(core, "RUNPATH") or dynamic(core, "RPATH"):
            problems.append(f"the core has a run path: {dynamic(core, 'RUNPATH') + dynamic(core, 'RPATH')}")
        needed = dynamic(core, "NEEDED")
        for name in STANDINS:
            if name in needed:
                problems.append(f"the core needs the closed library {name}: it must open it at run time")
    if "Simulation" in components:
        for name in STANDINS:
            path = lib / "quorvex/simulated" / name
            if path.is_file() and dynamic(path, "SONAME") != [name]:
                problems.append(f"{name} has soname {dynamic(path, 'SONAME')}")

    if args.deb_control:
        control = args.deb_control.read_text()
        if f"Architecture: {DEB_ARCH[args.triple]}\n" not in control:
            problems.append(f"control file does not say Architecture: {DEB_ARCH[args.triple]}")
        if f"Version: {args.version}" not in control:
            problems.append(f"control file does not say Version: {args.version}")

        # The declared minimum versions of the C runtime and the unwinder
        # cover every symbol version the package's libraries ask for.
        depends = dict(re.findall(r"([a-z0-9.+-]+) \(>= ([0-9.]+)\)", control))
        for package, prefix in (("libc6", "GLIBC_"), ("libgcc-s1", "GCC_")):
            asked = max((symbol_versions(p, prefix) for p in elf_files), key=version_key, default="0")
            if version_key(asked) > version_key(depends.get(package, "0")):
                problems.append(f"the libraries ask for {prefix}{asked}, the package depends on "
                                f"{package} (>= {depends.get(package)})")

    for problem in problems:
        print(f"check_tree: {args.root}: {problem}", file=sys.stderr)
    if problems:
        return 1
    print(f"check_tree: {args.root}: {len(have)} files as expected ({','.join(sorted(components))}, {args.triple})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
